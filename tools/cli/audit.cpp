#include "cli/audit.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "cli/encoding.h"
#include "cli/parallel.h"
#include "cli/proof.h"
#include "cli/range_reader.h"
#include "ledger/platform.h"

namespace ledger::cli {
namespace {

void set_error(Audit& audit, ErrorKind kind, Failure failure) {
  audit.outcome = Outcome::kError;
  audit.error = std::move(failure);
  audit.error_kind = kind;
}

// A failure while reading the ledger: a read error, or an internal fault.
void set_failure(Audit& audit, Failure failure) {
  const ErrorKind kind =
      failure.kind() == FailureKind::kIo ? ErrorKind::kCannotRead : ErrorKind::kInternal;
  set_error(audit, kind, std::move(failure));
}

void set_break(Audit& audit, Break brk) {
  audit.outcome = Outcome::kBroken;
  audit.brk = std::move(brk);
}

// Diagnoses a break found by walking; a diagnosis that cannot read the file
// leaves the break standing and says why the hints are missing.
void set_walk_break(Audit& audit, const platform::File& file, Break brk,
                    const LinePosition& search_from, std::uint64_t end) {
  auto hints = diagnose(file, brk, audit.chain, search_from, end);
  if (hints) {
    audit.hints = std::move(*hints);
  } else {
    audit.diagnosis_error = hints.error().message();
  }
  set_break(audit, std::move(brk));
}

Break rollback(RollbackReason reason, const Checkpoint& cp, std::uint64_t offset) {
  Break b = Break::at(BreakKind::kRolledBack, cp.lines, offset);
  b.expected = cp.head;
  b.covered = cp.bytes;
  b.rollback = reason;
  return b;
}

// Walks the file up to its first entry, which must be the checkpoint's first
// entry. Returns false when the audit ends here.
bool same_ledger(const platform::File& file, const Checkpoint& cp, std::uint64_t end,
                 Audit& audit) {
  WalkOutcome first = walk_first_entry(file, end);
  audit.chain = first.chain;
  if (first.failure) {
    set_failure(audit, *first.failure);
    return false;
  }
  if (first.brk) {
    // Where a full walk would stop too.
    set_walk_break(audit, file, std::move(*first.brk), LinePosition{}, end);
    return false;
  }
  if (first.chain.entries == 1 && first.chain.first != cp.first) {
    set_error(audit, ErrorKind::kOtherLedger, Failure::invalid_argument(first.chain.first));
    return false;
  }
  audit.chain = Chain{};
  return true;
}

// Finds the checkpoint's last entry on the line that ends at its byte length
// and sets the chain up to continue from it. Returns false when the audit ends here.
bool holds_checkpoint_entry(const platform::File& file, const Checkpoint& cp, Audit& audit,
                            LinePosition& search_from) {
  if (audit.bytes < cp.bytes) {
    Break b = Break::at(BreakKind::kTruncated, 0, audit.bytes);
    b.covered = cp.bytes;
    set_break(audit, std::move(b));
    return false;
  }
  auto terminated = platform::line_ends_at(file, cp.bytes);
  if (!terminated) {
    set_failure(audit, terminated.error());
    return false;
  }
  if (!*terminated) {
    set_break(audit, rollback(RollbackReason::kNoLineEnd, cp, cp.bytes));
    return false;
  }
  auto start = platform::line_start_before(file, cp.bytes - 1);
  if (!start) {
    set_failure(audit, start.error());
    return false;
  }
  auto check = check_line(file, *start);
  if (!check) {
    set_failure(audit, check.error());
    return false;
  }
  if (check->status != LineStatus::kLine || check->blank || check->parse_failure) {
    set_break(audit, rollback(RollbackReason::kNotEntry, cp, *start));
    return false;
  }
  const LogEntry& entry = check->entry;
  if (entry.signature != cp.head || check->bad_timestamp || check->digest != entry.signature) {
    const bool other = entry.signature != cp.head;
    const BreakKind kind = check->bad_timestamp ? BreakKind::kBadTimestamp : BreakKind::kContentAltered;
    Break b = other ? rollback(RollbackReason::kOtherEntry, cp, *start) : Break::at(kind, cp.lines, *start);
    b.index = entry.index;
    b.prev_hash = entry.prev_hash;
    b.signature = entry.signature;
    if (!other && check->bad_timestamp) b.timestamp = entry.timestamp;
    if (!other && !check->bad_timestamp) b.expected = check->digest;
    set_break(audit, std::move(b));
    return false;
  }
  Chain& chain = audit.chain;
  chain.lines = cp.lines;
  chain.entries = cp.entries;
  chain.end = cp.bytes;
  chain.head = cp.head;
  chain.first = cp.first;
  chain.last = EntryMark{cp.lines, *start, cp.bytes, entry.index, true};
  search_from = LinePosition{*start, cp.lines};
  return true;
}

// Proves that the file still holds the checkpoint's prefix and sets up the
// walk from its end, reading nothing at or past `end`. Returns false when the
// audit ends here. A checkpoint's entry ends with a line feed, so it lies
// before a live end whenever the file still holds it: the checks against the
// file's size hold for what a live audit reads too.
bool resume_from(const platform::File& file, const Checkpoint& cp, std::uint64_t end,
                 Audit& audit, LinePosition& search_from) {
  if (cp.entries == 0) return true;  // an empty ledger's checkpoint: everything follows it
  return same_ledger(file, cp, end, audit) && holds_checkpoint_entry(file, cp, audit, search_from);
}

// The entry lines below a checkpoint note need no chain check when their tree
// gives the note's root: they are the bytes that were checked when it was
// made. Reads only them (as leaves) and the note's first and last entry, and
// sets the chain up to continue from the last. Returns false when they do not
// give the root (or cannot be read): the whole file is then walked, which
// finds and names what differs.
bool holds_note(const platform::File& file, const Checkpoint& cp, std::uint64_t end,
                unsigned jobs, Audit& audit, LinePosition& search_from, TreeBuilder& tree) {
  const TreeNote& note = *cp.note;
  if (note.size == 0) return false;
  auto prefix = scan_leaf_prefix(file, note.size, end, jobs);
  if (!prefix || prefix->found < note.size || prefix->root != note.root) return false;
  const auto entry_at = [&file](std::uint64_t offset) -> std::optional<LogEntry> {
    auto check = check_line(file, offset);
    if (!check || check->status != LineStatus::kLine || check->blank || check->parse_failure) {
      return std::nullopt;
    }
    return std::move(check->entry);
  };
  const auto first = entry_at(prefix->first_offset);
  const auto last = entry_at(prefix->last_offset);
  if (!first || !last || (!cp.first.empty() && first->signature != cp.first)) return false;
  Chain& chain = audit.chain;
  chain.lines = prefix->last_line;
  chain.entries = note.size;
  chain.end = prefix->last_end;
  chain.head = last->signature;
  chain.first = first->signature;
  chain.last = EntryMark{prefix->last_line, prefix->last_offset, prefix->last_end, last->index, true};
  search_from = LinePosition{prefix->last_offset, prefix->last_line};
  tree = std::move(prefix->tree);
  return true;
}

// Compares the walk with a checkpoint note. Returns false when the audit ends here.
bool matches_note(const Checkpoint& cp, const WalkOutcome& out, Audit& audit) {
  const TreeNote& note = *cp.note;
  if (!cp.first.empty() && !audit.chain.first.empty() && audit.chain.first != cp.first) {
    set_error(audit, ErrorKind::kOtherLedger, Failure::invalid_argument(audit.chain.first));
    return false;
  }
  if (const auto& root = out.tree.watched_root()) {
    if (*root == note.root) return true;
    Break b = Break::at(BreakKind::kRewritten, 0, 0);
    b.covered = note.size;
    b.expected = base64_encode(note.root);
    b.signature = base64_encode(*root);
    set_break(audit, std::move(b));
    return false;
  }
  // The walk stopped before the checkpoint's last entry line: its own break
  // (or read error) is the verdict.
  if (out.brk || out.failure) return true;
  Break b = Break::at(BreakKind::kTruncated, 0, out.tree.size());
  b.covered = note.size;
  b.tree = true;
  set_break(audit, std::move(b));
  return false;
}

// Walks the ranges; with a progress callback, on threads of their own while
// this one reports (on this one, without progress, when no thread can be
// started). A range's fault is the walk's outcome.
void run_walk(RangedWalk& walk, const WalkControl& control, const AuditOptions& options,
              std::uint64_t start, std::uint64_t total) {
  if (!options.progress) {
    walk_ranges(walk, options.walk.jobs);
    return;
  }
  total = total > start ? total - start : 0;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  const auto walk_and_tell = [&] {
    walk_ranges(walk, options.walk.jobs);
    const std::lock_guard lock(mutex);
    done = true;
    finished.notify_one();
  };
  WorkerThreads worker;
  if (!worker.start(walk_and_tell)) {
    walk_ranges(walk, options.walk.jobs);
    return;
  }
  bool shown = false;
  {
    std::unique_lock lock(mutex);
    while (!finished.wait_for(lock, options.progress_interval, [&] { return done; })) {
      options.progress(control.bytes_done.load(std::memory_order_relaxed), total, false);
      shown = true;
    }
  }
  // walk_and_tell throws nothing: walk_ranges keeps every fault in the walk.
  static_cast<void>(worker.join());
  if (shown) options.progress(control.bytes_done.load(std::memory_order_relaxed), total, true);
}

}  // namespace

Audit fault_audit(Failure fault) {
  Audit audit;
  set_error(audit, ErrorKind::kInternal, std::move(fault));
  return audit;
}

FileAudit::FileAudit(std::string_view path, const AuditOptions& options) : options_(options) {
  auto file = platform::open_regular_for_read(path);
  if (!file) {
    set_error(audit_, ErrorKind::kCannotOpen, std::move(file).error());
    return;
  }
  file_.emplace(std::move(*file));
  auto size = platform::file_size(*file_);
  if (!size) {
    set_failure(audit_, size.error());
    return;
  }
  audit_.bytes = *size;
  // Live, the walk ends just past the last line feed within that size, taken
  // once: lines appended later are not read, nor is a line being written.
  if (options.live) {
    auto end = platform::line_start_before(*file_, *size);
    if (!end) {
      set_failure(audit_, end.error());
      return;
    }
    options_.walk.end = *end;
  }
  if (options.size_taken) options.size_taken();
  const std::uint64_t end = options_.walk.end;
  const bool note_since = options.since && options.since->note;
  if (options.since && !note_since && !resume_from(*file_, *options.since, end, audit_, search_from_)) {
    return;
  }
  // Since a note, the lines below it are only hashed when they give its root
  // (a new checkpoint's tree goes on from theirs); otherwise every line is
  // walked, into the tree, and the tree of the note's size compared with it.
  TreeBuilder below;
  const bool below_hashed =
      note_since && holds_note(*file_, *options.since, end, options.walk.jobs, audit_, search_from_, below);
  compare_note_ = note_since && !below_hashed;
  if (options.tree || compare_note_) {
    options_.walk.tree = true;
    if (below_hashed) options_.walk.tree_base = &below;
    if (compare_note_) options_.walk.tree_watch = options.since->note->size;
  }
  walk_start_ = audit_.chain.end;
  walk_.emplace(*file_, std::move(audit_.chain), options_.walk, control_);
  options_.walk.tree_base = nullptr;  // the walk has taken it over
}

FileAudit::~FileAudit() = default;

Audit FileAudit::finish() {
  if (!walk_) return std::move(audit_);
  WalkOutcome out = walk_->finish();
  walk_.reset();
  audit_.chain = std::move(out.chain);
  if (options_.walk.tree) {
    audit_.tree_size = out.tree.size();
    audit_.tree_root = out.tree.root();
  }
  if (compare_note_ && !matches_note(*options_.since, out, audit_)) return std::move(audit_);
  const std::uint64_t end = options_.walk.end;
  if (out.failure) {
    set_failure(audit_, *out.failure);
  } else if (out.brk) {
    set_walk_break(audit_, *file_, std::move(*out.brk), search_from_, end);
  } else {
    audit_.outcome = Outcome::kIntact;
    if (options_.live && end < audit_.bytes) {
      audit_.unfinished = Unfinished{audit_.chain.lines + 1, end, audit_.bytes - end};
    }
  }
  return std::move(audit_);
}

Audit audit_ledger(std::string_view path, const AuditOptions& options) {
  FileAudit audit(path, options);
  if (RangedWalk* walk = audit.walk()) {
    run_walk(*walk, audit.control(), options, audit.walk_start(),
             std::min(audit.size(), audit.walk_end()));
  }
  return audit.finish();
}

}  // namespace ledger::cli
