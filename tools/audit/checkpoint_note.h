// The checkpoint that an intact audit of a ledger makes: what `checkpoint`
// prints, for every caller that makes checkpoints.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "audit/audit.h"
#include "audit/checkpoint.h"
#include "ledger/failure.h"
#include "tlog/signing.h"

namespace ledger::audit {

// Whether `origin` may stand on the first line of a new checkpoint note:
// tlog::is_origin, and not starting with kCheckpointTag, so that the note is
// never taken for a checkpoint line of the earlier form.
bool is_checkpoint_origin(std::string_view origin);

// The checkpoint of `audit`, intact and made with AuditOptions::tree: its line
// form (checkpoint_of) with the note set, whose origin is `origin` or else the
// default one of the ledger's first entry, signed by `key` when given. A
// ledger without entries has no default origin: without `origin` that fails
// with kind kInvalidArgument, the message ending "; give " `origin_option`
// (what the caller calls the choice of origin).
Result<Checkpoint> make_checkpoint(const Audit& audit, const std::optional<std::string>& origin,
                                   const std::optional<tlog::SignerKey>& key,
                                   std::string_view origin_option);

}  // namespace ledger::audit
