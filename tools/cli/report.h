// What the commands print: the text and JSON forms of an audit's result, of
// `head`, and of every error.
//
// Text is for people: a first line "FILE: intact: ..." or "FILE: broken at
// line N ...", indented detail lines, and one "hint: ..." line per hint.
// JSON is one object on one line, with the same facts under fixed names.
//
// Texts that the command prints to standard error come without the program
// name and without a line feed; the printer adds both.
#pragma once

#include <string>
#include <string_view>

#include "audit/audit.h"
#include "audit/checkpoint.h"
#include "audit/diagnose.h"
#include "audit/walk.h"
#include "ledger/failure.h"
#include "ledger/open.h"

namespace ledger::cli {

inline constexpr std::string_view kProgram = "quorvel-ledger";

// What an internal fault is called in the reports.
inline constexpr std::string_view kInternalError = "internal error";

// Machine names ("link-broken") and human titles ("link broken") of the kinds.
std::string_view break_name(audit::BreakKind kind);
std::string_view break_title(audit::BreakKind kind);
std::string_view hint_name(audit::HintKind kind);
std::string_view error_name(audit::ErrorKind kind);

// The first line of a break's report, "FILE: broken at line N (...): title",
// without its line feed.
std::string break_summary(std::string_view file, const audit::Break& break_found);

// The --since checkpoint of an audit as the reports show it. A signed note
// whose signature was not checked (no --pub) is said to be so.
struct SinceCheckpoint {
  audit::Checkpoint checkpoint;
  bool signature_checked = false;
};

// The report of an intact or broken audit, one line feed after each line.
std::string audit_text(std::string_view file, const audit::Audit& audit,
                       const std::optional<SinceCheckpoint>& since);

// The report of any audit as JSON; `command` is "verify" or "checkpoint".
// A checkpoint command's intact report adds the new checkpoint.
std::string audit_json(std::string_view command, std::string_view file, const audit::Audit& audit,
                       const std::optional<SinceCheckpoint>& since,
                       const std::optional<audit::Checkpoint>& made = std::nullopt);

// The one-line message of an audit that ended in an error.
std::string audit_error_text(std::string_view file, const audit::Audit& audit,
                             const std::optional<SinceCheckpoint>& since);

// The note after a checkpoint `made` of an intact audit when the file's last
// line, without a line feed yet, is left out of it (an entry, or with --live
// whatever follows the last line feed); empty otherwise.
std::string checkpoint_note(std::string_view file, const audit::Audit& audit,
                            const audit::Checkpoint& made);

// The note, after a checkpoint or an export, on entries that verify on lines
// other than the writer's line for them; empty when there are none.
std::string non_canonical_note(std::string_view file, const audit::Chain& chain);

// The note after an export that stopped before a line without a line feed (--live).
std::string export_unfinished_note(std::string_view file, const audit::Unfinished& unfinished);

// The progress line of a run over several files.
std::string files_progress_text(std::size_t done, std::size_t total);
// The note that a --since checkpoint at `path` is a legacy checkpoint line.
std::string line_form_notice(std::string_view path);

// The --since checkpoint at `path` holds no signature (`missing`) or no valid
// signature by the verifier key named `key`. In JSON a checkpoint given as
// text rather than read from a file has no path (null).
std::string signature_text(std::string_view path, std::string_view key, bool missing);
std::string signature_json(std::string_view command, std::string_view file,
                           std::optional<std::string_view> path, std::string_view key, bool missing);

// A --since checkpoint at `path` that cannot be used: `failure` of kind kIo
// when it cannot be read, otherwise it is malformed. The JSON form names the
// ledger `file` the command was given.
std::string bad_checkpoint_text(std::string_view path, const Failure& failure);
std::string bad_checkpoint_json(std::string_view command, std::string_view file,
                                std::string_view path, const Failure& failure);

// The chain head that a recorder opened on `file` would continue from;
// `command` is "head".
std::string head_text(std::string_view file, const ChainHead& head);
std::string head_json(std::string_view command, std::string_view file, const ChainHead& head);

// `head` on a file that cannot be opened (kCannotOpen) or read (kCannotRead).
std::string head_error_text(std::string_view file, audit::ErrorKind kind, const Failure& failure);
std::string head_error_json(std::string_view command, std::string_view file, audit::ErrorKind kind,
                            const Failure& failure);

// A command line that cannot be run, `failure` saying why.
std::string usage_error_text(const Failure& failure);

// What the progress line of an audit of `file` starts with.
std::string progress_label(std::string_view file);

// Standard output could not be written; `reason` is the system's text.
std::string output_error_text(std::string_view reason);

}  // namespace ledger::cli
