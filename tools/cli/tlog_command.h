// The commands of checkpoint notes and proofs (keygen, prove, check-proof),
// and the loading of keys and checkpoints that `verify` and `checkpoint` share
// with them.
//
//   quorvel-ledger keygen      --name NAME --key FILE --pub FILE
//   quorvel-ledger prove       --entry N --checkpoint CHECKPOINT FILE
//   quorvel-ledger prove       --from OLD --checkpoint NEW FILE
//   quorvel-ledger check-proof PROOF --checkpoint CHECKPOINT [--from OLD] [--pub FILE]
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "audit/audit.h"
#include "audit/checkpoint.h"
#include "cli/command.h"
#include "ledger/failure.h"
#include "tlog/note.h"
#include "tlog/signing.h"

namespace ledger::cli {

// Runs `args` when its first word names one of these commands; nullopt otherwise.
std::optional<int> run_tlog_command(std::span<const std::string_view> args, const Io& io);

// Read a file ("-": standard input). A failure of kind kIo means it could not
// be read; kInvalidArgument, that it is not what was asked for.
Result<tlog::SignerKey> load_signer(std::string_view path);
Result<tlog::VerifierKey> load_verifier(std::string_view path);
Result<audit::Checkpoint> load_any_checkpoint(std::string_view path);

// "PATH: cannot read the WHAT: ..." or "PATH: malformed WHAT: ...".
std::string input_error_text(std::string_view what, std::string_view path, const Failure& failure);
// An unusable input as a JSON report of `command` on `file`.
std::string input_error_json(std::string_view command, std::string_view file,
                             std::string_view message);

// The checkpoint note of the intact audit whose line-form checkpoint is
// `made`: `origin` or the default one, signed by `key` when given.
Result<tlog::TreeNote> make_checkpoint_note(const audit::Audit& audit,
                                            const audit::Checkpoint& made,
                                            const std::optional<std::string>& origin,
                                            const std::optional<tlog::SignerKey>& key);

}  // namespace ledger::cli
