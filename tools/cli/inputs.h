// The inputs the commands read besides the ledger: keys, checkpoints and
// checkpoint notes, each a file of bounded length, "-" being standard input.
#pragma once

#include <string>
#include <string_view>

#include "audit/checkpoint.h"
#include "ledger/failure.h"
#include "tlog/note.h"
#include "tlog/signing.h"

namespace ledger::cli {

// Read a file ("-": standard input). A failure of kind kIo means it could not
// be read; kInvalidArgument, that it is not what was asked for.
Result<tlog::SignerKey> load_signer(std::string_view path);
Result<tlog::VerifierKey> load_verifier(std::string_view path);
Result<audit::Checkpoint> load_any_checkpoint(std::string_view path);

// What the verifier key `key` says of the signature of a --since checkpoint:
// a checkpoint line of the earlier form holds none (kMissing). A failure is an
// internal fault.
Result<tlog::SignatureCheck> since_signature(const audit::Checkpoint& checkpoint,
                                             const tlog::VerifierKey& key);

// The checkpoint note at `path`; a failure's message is the whole line to
// print: "PATH: ...", a legacy checkpoint line included.
Result<tlog::TreeNote> load_tree_note(std::string_view path);

// "PATH: cannot read the WHAT: ..." or "PATH: malformed WHAT: ...".
std::string input_error_text(std::string_view what, std::string_view path, const Failure& failure);
// An unusable input as a JSON report of `command` on `file`.
std::string input_error_json(std::string_view command, std::string_view file,
                             std::string_view message);

}  // namespace ledger::cli
