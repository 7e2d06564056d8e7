// What the text and the JSON reports share (report.cpp, report_json.cpp).
#pragma once

#include <string>
#include <string_view>

#include "audit/audit.h"
#include "audit/walk.h"
#include "cli/report.h"
#include "ledger/failure.h"

namespace ledger::cli {

inline constexpr std::string_view kLineFormNotice =
    "a checkpoint line of the earlier form binds only its last entry, not the bytes of the "
    "entries below it; make a new checkpoint";

inline constexpr std::string_view kOtherLedgerText = "the checkpoint is of another ledger";

// The name of a rollback's reason in JSON.
std::string_view rollback_name(audit::RollbackReason reason);
// Why a torn tail is not an entry: the parser's reason, or bytes that are not UTF-8.
std::string_view torn_reason(const audit::Break& b);
// Whether a break was found walking lines (else it is a checkpoint's own check).
bool walk_break(const audit::Break& b);
// Whether the --since note carries signatures that no --pub key checked.
bool signature_not_checked(const SinceCheckpoint& since);
// Unlike an audit's, the message of head's error says what could not be done:
// a recorder would open such a file as a new chain.
std::string head_error_message(audit::ErrorKind kind, const Failure& failure);

}  // namespace ledger::cli
