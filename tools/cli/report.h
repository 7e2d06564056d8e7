// What the commands print: the text and JSON forms of an audit's result.
//
// Text is for people: a first line "FILE: intact: ..." or "FILE: broken at
// line N ...", indented detail lines, and one "hint: ..." line per hint.
// JSON is one object on one line, with the same facts under fixed names.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "cli/audit.h"
#include "cli/checkpoint.h"
#include "cli/diagnose.h"
#include "cli/walk.h"

namespace ledger::cli {

inline constexpr std::string_view kProgram = "quorvel-ledger";

// What an internal fault is called in the reports.
inline constexpr std::string_view kInternalError = "internal error";

// What an exception of the library (out of memory, a thread that could not be
// started) says as an internal fault. Allocates nothing, so that it can report
// running out of memory.
const char* fault_text(const std::exception& e);

// Machine names ("link-broken") and human titles ("link broken") of the kinds.
std::string_view break_name(BreakKind kind);
std::string_view break_title(BreakKind kind);
std::string_view hint_name(HintKind kind);
std::string_view error_name(ErrorKind kind);

// The report of an intact or broken audit, one line feed after each line.
std::string audit_text(std::string_view file, const Audit& audit,
                       const std::optional<Checkpoint>& since);

// The report of any audit as JSON; `command` is "verify" or "checkpoint".
// A checkpoint command's intact report adds the new checkpoint.
std::string audit_json(std::string_view command, std::string_view file, const Audit& audit,
                       const std::optional<Checkpoint>& since,
                       const std::optional<Checkpoint>& made = std::nullopt);

// The one-line message of an audit that ended in an error, without the
// program name.
std::string audit_error_text(std::string_view file, const Audit& audit,
                             const std::optional<Checkpoint>& since);

}  // namespace ledger::cli
