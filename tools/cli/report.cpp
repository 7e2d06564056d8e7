#include "cli/report.h"

#include <array>
#include <cstddef>

#include "cli/report_parts.h"
#include "ledger/parser.h"
#include "tlog/encoding.h"
#include "tlog/enum_table.h"
#include "tlog/json.h"

namespace ledger::cli {

using audit::Audit;
using audit::Break;
using audit::BreakKind;
using audit::Chain;
using audit::Checkpoint;
using audit::ErrorKind;
using audit::Hint;
using audit::HintKind;
using audit::Outcome;
using audit::RollbackReason;
using audit::Unfinished;
using audit::format_checkpoint;
using tlog::EnumTable;
using tlog::JsonWriter;
using tlog::all_filled;
using tlog::base64_encode;
using tlog::display;
using tlog::text_of;

namespace {

constexpr EnumTable<BreakKind> kBreakNames = {"invalid-utf8",    "not-an-entry", "link-broken",
                                              "content-altered", "truncated",    "rolled-back",
                                              "torn-tail",       "bad-timestamp",
                                              "non-canonical", "rewritten",
                                              "wrong-chain-head"};
constexpr EnumTable<BreakKind> kBreakTitles = {"not valid UTF-8", "not a ledger entry",
                                               "link broken",     "content altered",
                                               "truncated",       "rolled back",
                                               "torn tail",       "bad timestamp",
                                               "not the writer's line", "rewritten",
                                               "wrong chain head"};
constexpr EnumTable<HintKind> kHintNames = {"torn-tail",   "torn-then-appended", "fork",
                                            "duplicate",   "index-gap",          "index-repeat",
                                            "write-in-progress"};
constexpr EnumTable<ErrorKind> kErrorNames = {"cannot-open", "cannot-read", "other-ledger",
                                              "internal", "bad-checkpoint"};
constexpr EnumTable<RollbackReason> kRollbackNames = {"no-line-end", "not-an-entry", "other-entry"};
static_assert(all_filled(kBreakNames) && all_filled(kBreakTitles) && all_filled(kHintNames) &&
              all_filled(kErrorNames) && all_filled(kRollbackNames));

std::string number(std::uint64_t n) { return std::to_string(n); }

std::string plural(std::uint64_t n, std::string_view one, std::string_view many) {
  return number(n) + " " + std::string(n == 1 ? one : many);
}

std::string hint_text(const Hint& h) {
  const std::string line = number(h.line);
  switch (h.kind) {
    case HintKind::kTornTail:
      return "line " + line +
             ", the last line, has no line feed and is cut short: an interrupted write (a crash), "
             "not an edit";
    case HintKind::kTornThenAppended:
      return "line " + line + " holds a cut-short entry and, from column " + number(h.column) +
             ", a complete one: an interrupted write, then a later append";
    case HintKind::kFork:
      return "the entries on lines " + number(h.other_line) + " and " + line +
             " have the same prev_hash: a fork, two writers appending to the same chain head";
    case HintKind::kDuplicate:
      return "the entry on line " + line + " repeats the entry on line " + number(h.other_line);
    case HintKind::kIndexGap:
      return "line " + line + " has index " + number(h.found) + " where " + number(h.expected) +
             " was due: " + plural(h.found - h.expected, "entry is", "entries are") +
             " missing before it";
    case HintKind::kIndexRepeat:
      return "line " + line + " has index " + number(h.found) + " where " + number(h.expected) +
             " was due: the index repeats or goes back";
    case HintKind::kWriteInProgress:
      return "line " + line +
             " has no line feed yet: a write may still be in progress there, or one was "
             "interrupted; run again, or use --live to check everything before it";
    case HintKind::kCount_:
      break;
  }
  return {};
}

std::string rollback_text(const Break& b) {
  const std::string where = "byte " + number(b.covered) + " (line " + number(b.line) + ")";
  switch (b.rollback) {
    case RollbackReason::kNoLineEnd:
      return "no line ends at " + where + ", where the checkpoint's last entry ended";
    case RollbackReason::kNotEntry:
      return "the line that ends at " + where + " is not a ledger entry";
    case RollbackReason::kOtherEntry:
      return "the entry that ends at " + where + " is not the checkpoint's last entry";
    case RollbackReason::kCount_:
      break;
  }
  return {};
}

// What follows "FILE: broken below the checkpoint: title: " for a break a
// checkpoint's own checks found, and its detail lines.
std::string checkpoint_break_text(const Break& b) {
  const std::string lines = plural(b.covered, "entry line", "entry lines");
  switch (b.kind) {
    case BreakKind::kRewritten:
      return "its first " + lines +
             " no longer give its root hash: an entry below it was changed, removed or inserted\n" +
             "  checkpoint root: " + display(b.expected) + "\n  file root:       " +
             display(b.signature) + "\n";
    case BreakKind::kWrongHead:
      return "its chain-head line is not the chain head after its " + lines +
             "\n  checkpoint head: " + display(b.expected) + "\n  file head:       " +
             display(b.signature) + "\n";
    case BreakKind::kTruncated:
      return "the file holds " +
             (b.tree ? plural(b.offset, "entry line", "entry lines") : plural(b.offset, "byte", "bytes")) +
             ", the checkpoint covers " + number(b.covered) + "\n";
    default:
      break;
  }
  std::string out = rollback_text(b) + "\n";
  if (b.rollback == RollbackReason::kOtherEntry) {
    out += "  checkpoint head:  " + display(b.expected) + "\n";
    out += "  found signature:  " + display(b.signature) + " (index " + number(*b.index) + ")\n";
  }
  return out;
}

// "FILE: broken at line N (byte B, index I): title" and the detail lines.
std::string break_text(std::string_view file, const Break& b) {
  std::string out = display(file) + ": broken ";
  if (!walk_break(b)) {
    return out + "below the checkpoint: " + std::string(break_title(b.kind)) + ": " +
           checkpoint_break_text(b);
  }
  out += "at line " + number(b.line) + " (byte " + number(b.offset);
  if (b.index) out += ", index " + number(*b.index);
  out += "): " + std::string(break_title(b.kind));
  switch (b.kind) {
    case BreakKind::kInvalidUtf8:
      out += " at column " + number(b.column) + "\n";
      break;
    case BreakKind::kNotEntry:
      out += ": " + std::string(describe(b.parse_error)) + " at column " + number(b.column) + "\n";
      break;
    case BreakKind::kLinkBroken:
      out += "\n  expected prev_hash: " + display(b.expected) + "\n";
      out += "  found prev_hash:    " + display(b.prev_hash) + "\n";
      break;
    case BreakKind::kBadTimestamp:
      out += ": the timestamp is not in the writer's form\n  timestamp: " + display(b.timestamp) + "\n";
      break;
    case BreakKind::kContentAltered:
      out += "\n  stored signature:     " + display(b.signature) + "\n";
      out += "  recomputed signature: " + display(b.expected) + "\n";
      break;
    case BreakKind::kNonCanonical:
      out += ": the entry verifies, but a recorder writes other bytes for its values, from "
             "column " + number(b.column) + " on\n";
      break;
    case BreakKind::kTornTail:
      out += ": the last line has no line feed and is not a whole entry\n";
      out += "  " + plural(b.length, "byte", "bytes") + " read: " + std::string(torn_reason(b)) +
             " at column " + number(b.column) + "\n";
      break;
    default:
      break;
  }
  return out;
}

// The line a live audit left unread.
std::string unfinished_text(const Unfinished& u) {
  return "line " + number(u.line) + " (" + plural(u.bytes, "byte", "bytes") + " from byte " +
         number(u.offset) + ") has no line feed yet: a write may be in progress";
}

// The detail line on entries that verify but are not on the writer's line.
std::string non_canonical_text(const Chain& chain) {
  if (chain.non_canonical == 0) return {};
  return "  not the writer's line: " + plural(chain.non_canonical, "entry", "entries") +
         ", the first on line " + number(chain.first_non_canonical) +
         " (made or edited by hand; --strict makes it a break)\n";
}

}  // namespace

std::string_view rollback_name(RollbackReason reason) { return text_of(kRollbackNames, reason); }

// Why a torn tail is not an entry: the parser's reason, or bytes that are not UTF-8.
std::string_view torn_reason(const Break& b) {
  return b.invalid_utf8 ? break_title(BreakKind::kInvalidUtf8) : describe(b.parse_error);
}

bool walk_break(const Break& b) {
  return b.kind != BreakKind::kTruncated && b.kind != BreakKind::kRolledBack &&
         b.kind != BreakKind::kRewritten && b.kind != BreakKind::kWrongHead;
}

// Whether the --since note carries signatures that no --pub key checked.
bool signature_not_checked(const SinceCheckpoint& since) {
  const auto& note = since.checkpoint.note;
  return note && !note->signatures.empty() && !since.signature_checked;
}

// Unlike an audit's, the message of head's error says what could not be done:
// a recorder would open such a file as a new chain.
std::string head_error_message(ErrorKind kind, const Failure& failure) {
  if (kind == ErrorKind::kCannotOpen) return "cannot open: " + failure.message();
  return "cannot read: " + failure.message() + "; a recorder opened on it would start a new chain";
}

std::string break_summary(std::string_view file, const Break& break_found) {
  std::string text = break_text(file, break_found);
  return text.substr(0, text.find('\n'));
}

std::string_view break_name(BreakKind kind) { return text_of(kBreakNames, kind); }
std::string_view break_title(BreakKind kind) { return text_of(kBreakTitles, kind); }
std::string_view hint_name(HintKind kind) { return text_of(kHintNames, kind); }
std::string_view error_name(ErrorKind kind) { return text_of(kErrorNames, kind); }

std::string audit_text(std::string_view file, const Audit& audit,
                       const std::optional<SinceCheckpoint>& since) {
  const Chain& chain = audit.chain;
  if (audit.outcome == Outcome::kIntact) {
    std::string out = display(file) + ": intact";
    const Checkpoint* checkpoint = since ? &since->checkpoint : nullptr;
    if (checkpoint && !checkpoint->note && checkpoint->entries > 0) {
      out += " since the checkpoint at line " + number(checkpoint->lines);
    }
    out += ": " + plural(chain.entries, "entry", "entries") + ", last line " +
           number(chain.lines) + ", head " + display(chain.head) + "\n";
    if (checkpoint && checkpoint->note) {
      out += "  checkpoint: its " +
             plural(checkpoint->note->size, "entry line gives", "entry lines give") +
             " its root hash " + display(base64_encode(checkpoint->note->root)) + "\n";
    }
    if (since && signature_not_checked(*since)) {
      out += "  checkpoint: its signature was not checked (no --pub)\n";
    }
    if (audit.unfinished) out += "  not checked: " + unfinished_text(*audit.unfinished) + "\n";
    out += non_canonical_text(chain);
    return out;
  }
  const Break& b = *audit.break_found;
  std::string out = break_text(file, b);
  if (walk_break(b)) {
    out += "  verified before it: " + plural(chain.entries, "entry", "entries") + ", head " +
           display(chain.head) + "\n";
    out += non_canonical_text(chain);
  }
  for (const Hint& h : audit.hints) out += "hint: " + hint_text(h) + "\n";
  if (!audit.diagnosis_error.empty()) out += "note: no hints: " + audit.diagnosis_error + "\n";
  return out;
}

std::string audit_error_text(std::string_view file, const Audit& audit,
                             const std::optional<SinceCheckpoint>& since) {
  const std::string& message = audit.error->message();
  std::string out = display(file) + ": ";
  switch (audit.error_kind) {
    case ErrorKind::kCannotOpen:
      return out + "cannot open: " + message;
    case ErrorKind::kCannotRead:
      return out + "cannot read: " + message;
    case ErrorKind::kInternal:
      return out.append(kInternalError).append(": ").append(message);
    case ErrorKind::kOtherLedger:
      return out + std::string(kOtherLedgerText) + ": its first entry has signature " +
             display(since ? since->checkpoint.first : std::string()) + ", this file's first entry " +
             display(audit.other_first);
    case ErrorKind::kBadCheckpoint:
    case ErrorKind::kCount_:
      break;
  }
  return out + message;
}

std::string checkpoint_note(std::string_view file, const Audit& audit, const Checkpoint& made) {
  if (audit.unfinished) {
    return "note: " + display(file) + ": not checked: " + unfinished_text(*audit.unfinished) +
           "; the checkpoint stops before it";
  }
  const Chain& chain = audit.chain;
  if (made.lines >= chain.lines || !chain.last || chain.last->terminated) return {};
  return "note: " + display(file) + ": line " + number(chain.last->line) +
         " has no line feed yet; the checkpoint stops before it";
}

std::string non_canonical_note(std::string_view file, const Chain& chain) {
  if (chain.non_canonical == 0) return {};
  return "note: " + display(file) + ": " + plural(chain.non_canonical, "entry is", "entries are") +
         " not on the writer's line, the first on line " + number(chain.first_non_canonical) +
         " (made or edited by hand; --strict makes it a break)";
}

std::string export_unfinished_note(std::string_view file, const Unfinished& unfinished) {
  return "note: " + display(file) + ": not exported: " + unfinished_text(unfinished);
}

std::string files_progress_text(std::size_t done, std::size_t total) {
  return std::string(kProgram) + ": verifying: " + number(done) + " of " +
         plural(total, "file", "files") + " done";
}

std::string line_form_notice(std::string_view path) {
  return "note: " + display(path) + ": " + std::string(kLineFormNotice);
}

std::string signature_text(std::string_view path, std::string_view key, bool missing) {
  return display(path) + ": checkpoint not proven: " +
         (missing ? "it holds no signature by " : "its signature by ") + display(key) +
         (missing ? "\n" : " does not verify\n");
}

std::string bad_checkpoint_text(std::string_view path, const Failure& failure) {
  return display(path) +
         (failure.kind() == FailureKind::kIo ? ": cannot read the checkpoint: "
                                             : ": malformed checkpoint: ") +
         failure.message();
}

std::string head_text(std::string_view file, const ChainHead& head) {
  return display(file) + ": head " + display(head.head) + ", next index " + number(head.count) +
         "\n";
}

std::string head_error_text(std::string_view file, ErrorKind kind, const Failure& failure) {
  return display(file) + ": " + head_error_message(kind, failure);
}

std::string usage_error_text(const Failure& failure) {
  return failure.message() + " (see '" + std::string(kProgram) + " --help')";
}

std::string progress_label(std::string_view file) {
  return std::string(kProgram) + ": verifying " + display(file);
}

std::string output_error_text(std::string_view reason) {
  return "cannot write the output: " + std::string(reason);
}

}  // namespace ledger::cli
