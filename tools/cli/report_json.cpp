// The JSON forms of the reports (report.h): one object on one line.
#include "cli/report.h"

#include "cli/report_parts.h"
#include "ledger/parser.h"
#include "tlog/encoding.h"
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
using audit::format_checkpoint;
using tlog::JsonWriter;
using tlog::base64_encode;
using tlog::display;

namespace {

// The members after a break's class: the whole object, closed, for a break
// that a checkpoint's own checks found (true); for a break found walking
// lines only its line and offset (false), the caller adding the rest.
bool add_checkpoint_break_json(JsonWriter& w, const Break& b) {
  if (b.kind == BreakKind::kRewritten) {
    w.field("checkpoint_size", b.covered)
        .field("checkpoint_root", b.expected)
        .field("found_root", b.signature)
        .end_object();
    return true;
  }
  if (b.kind == BreakKind::kWrongHead) {
    w.field("checkpoint_size", b.covered)
        .field("checkpoint_head", b.expected)
        .field("found_head", b.signature)
        .end_object();
    return true;
  }
  if (b.kind == BreakKind::kTruncated && b.tree) {
    w.field("entries", b.offset).field("checkpoint_size", b.covered).end_object();
    return true;
  }
  if (b.kind == BreakKind::kTruncated) {
    w.field("size", b.offset).field("checkpoint_bytes", b.covered);
    w.end_object();
    return true;
  }
  w.field("line", b.line).field("offset", b.offset);
  if (b.kind == BreakKind::kRolledBack) {
    w.field("checkpoint_bytes", b.covered)
        .field("reason", rollback_name(b.rollback))
        .field("checkpoint_head", b.expected);
    if (b.rollback == RollbackReason::kOtherEntry) {
      w.field("found_index", b.index).field("found_signature", b.signature);
    }
    w.end_object();
    return true;
  }
  return false;
}

void add_break_json(JsonWriter& w, const Break& b) {
  w.begin_object("break").field("class", break_name(b.kind));
  if (add_checkpoint_break_json(w, b)) return;
  w.field("index", b.index);
  switch (b.kind) {
    case BreakKind::kInvalidUtf8:
      w.field("column", b.column);
      break;
    case BreakKind::kNotEntry:
      w.field("column", b.column).field("reason", describe(b.parse_error));
      break;
    case BreakKind::kLinkBroken:
      w.field("expected_prev_hash", b.expected).field("found_prev_hash", b.prev_hash);
      break;
    case BreakKind::kContentAltered:
      w.field("stored_signature", b.signature).field("recomputed_signature", b.expected);
      break;
    case BreakKind::kBadTimestamp:
      w.field("timestamp", b.timestamp);
      break;
    case BreakKind::kNonCanonical:
      w.field("column", b.column);
      break;
    case BreakKind::kTornTail:
      w.field("bytes", b.length).field("column", b.column).field("reason", torn_reason(b));
      break;
    default:
      break;
  }
  w.end_object();
}

void add_non_canonical_json(JsonWriter& w, const Chain& chain) {
  if (chain.non_canonical == 0) return;
  w.begin_object("non_canonical")
      .field("entries", chain.non_canonical)
      .field("first_line", chain.first_non_canonical)
      .end_object();
}

void add_hint_json(JsonWriter& w, const Hint& h) {
  w.begin_object().field("kind", hint_name(h.kind)).field("line", h.line);
  switch (h.kind) {
    case HintKind::kTornThenAppended:
      w.field("column", h.column);
      break;
    case HintKind::kFork:
    case HintKind::kDuplicate:
      w.field("other_line", h.other_line);
      break;
    case HintKind::kIndexGap:
    case HintKind::kIndexRepeat:
      w.field("expected", h.expected).field("found", h.found);
      break;
    default:
      break;
  }
  w.end_object();
}

void add_checkpoint_json(JsonWriter& w, std::string_view name, const Checkpoint& checkpoint,
                         bool signature_unchecked = false) {
  if (checkpoint.note) {
    w.begin_object(name)
        .field("origin", checkpoint.note->origin)
        .field("size", checkpoint.note->size)
        .field("root", base64_encode(checkpoint.note->root));
    if (const auto head = checkpoint.note->chain_head()) w.field("head", *head);
    if (signature_unchecked) w.field("signature", "not-checked");
    w.end_object();
    return;
  }
  w.begin_object(name)
      .field("lines", checkpoint.lines)
      .field("bytes", checkpoint.bytes)
      .field("index", checkpoint.index)
      .field("head", checkpoint.head)
      .field("entries", checkpoint.entries);
  if (checkpoint.first.empty()) {
    w.null_field("first");
  } else {
    w.field("first", checkpoint.first);
  }
  if (name == "since") w.field("notice", kLineFormNotice);
  w.end_object();
}

// An error reported instead of a result: its class by name, and what is wrong.
std::string error_json(std::string_view command, std::string_view file, ErrorKind kind,
                       std::string_view message) {
  JsonWriter w;
  w.field("command", command)
      .field("file", file)
      .field("status", "error")
      .field("error", error_name(kind))
      .field("message", message);
  return w.finish() + "\n";
}

}  // namespace

std::string signature_json(std::string_view command, std::string_view file,
                           std::optional<std::string_view> path, std::string_view key, bool missing) {
  JsonWriter w;
  w.field("command", command).field("file", file).field("status", "broken");
  w.begin_object("break").field("class", "checkpoint-signature");
  if (path) {
    w.field("checkpoint", *path);
  } else {
    w.null_field("checkpoint");
  }
  w.field("key", key)
      .field("reason", missing ? "missing" : "invalid")
      .end_object();
  return w.finish() + "\n";
}

std::string bad_checkpoint_json(std::string_view command, std::string_view file,
                                std::string_view path, const Failure& failure) {
  return error_json(command, file, ErrorKind::kBadCheckpoint, bad_checkpoint_text(path, failure));
}

std::string head_json(std::string_view command, std::string_view file, const ChainHead& head) {
  JsonWriter w;
  w.field("command", command)
      .field("file", file)
      .field("status", "ok")
      .field("head", head.head)
      .field("next_index", head.count);
  return w.finish() + "\n";
}

std::string head_error_json(std::string_view command, std::string_view file, ErrorKind kind,
                            const Failure& failure) {
  return error_json(command, file, kind, head_error_message(kind, failure));
}

std::string audit_json(std::string_view command, std::string_view file, const Audit& audit,
                       const std::optional<SinceCheckpoint>& since,
                       const std::optional<Checkpoint>& made) {
  JsonWriter w;
  w.field("command", command).field("file", file);
  if (since) add_checkpoint_json(w, "since", since->checkpoint, signature_not_checked(*since));
  const Chain& chain = audit.chain;
  switch (audit.outcome) {
    case Outcome::kIntact:
      w.field("status", "intact")
          .field("entries", chain.entries)
          .field("last_line", chain.lines)
          .field("bytes", chain.end)
          .field("head", chain.head);
      if (audit.unfinished) {
        w.begin_object("unfinished")
            .field("line", audit.unfinished->line)
            .field("offset", audit.unfinished->offset)
            .field("bytes", audit.unfinished->bytes)
            .end_object();
      }
      add_non_canonical_json(w, chain);
      if (made) {
        w.field("checkpoint", made->note ? made->note->text : format_checkpoint(*made));
        add_checkpoint_json(w, "checkpoint_fields", *made);
      }
      break;
    case Outcome::kBroken:
      w.field("status", "broken");
      add_break_json(w, *audit.break_found);
      if (walk_break(*audit.break_found)) {
        w.begin_object("verified")
            .field("entries", chain.entries)
            .field("head", chain.head)
            .end_object();
        add_non_canonical_json(w, chain);
      }
      w.begin_array("hints");
      for (const Hint& h : audit.hints) add_hint_json(w, h);
      w.end_array();
      if (!audit.diagnosis_error.empty()) w.field("hints_error", audit.diagnosis_error);
      break;
    case Outcome::kError:
      w.field("status", "error").field("error", error_name(audit.error_kind));
      if (audit.error_kind == ErrorKind::kOtherLedger) {
        w.field("message", kOtherLedgerText).field("file_first", audit.other_first);
      } else {
        w.field("message", audit.error->message());
      }
      break;
  }
  return w.finish() + "\n";
}

}  // namespace ledger::cli
