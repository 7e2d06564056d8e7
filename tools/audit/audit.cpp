#include "audit/audit.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "audit/parallel.h"
#include "audit/range_reader.h"
#include "ledger/platform.h"
#include "tlog/encoding.h"

namespace ledger::audit {

using tlog::Hash;
using tlog::TreeNote;
using tlog::base64_encode;

namespace {

void set_error(Audit& audit, ErrorKind kind, Failure failure) {
  audit.outcome = Outcome::kError;
  audit.error = std::move(failure);
  audit.error_kind = kind;
}

// The checkpoint names a first entry that is not the file's, whose signature
// is `file_first`: it is of another ledger, and proves nothing about this one.
void set_other_ledger(Audit& audit, const Checkpoint& checkpoint, const std::string& file_first) {
  set_error(audit, ErrorKind::kOtherLedger,
            Failure::invalid_argument("the checkpoint is of another ledger: its first entry has signature " +
                                      checkpoint.first + ", this file's first entry " + file_first));
  audit.other_first = file_first;
}

// A failure while reading the ledger: a read error, or an internal fault.
void set_failure(Audit& audit, Failure failure) {
  const ErrorKind kind =
      failure.kind() == FailureKind::kIo ? ErrorKind::kCannotRead : ErrorKind::kInternal;
  set_error(audit, kind, std::move(failure));
}

void set_break(Audit& audit, Break break_found) {
  audit.outcome = Outcome::kBroken;
  audit.break_found = std::move(break_found);
}

// Diagnoses a break found by walking; a diagnosis that cannot read the file
// leaves the break standing and says why the hints are missing. A cancelled
// one ends the audit as the cancelled walk does.
void set_walk_break(Audit& audit, const platform::File& file, Break break_found, std::uint64_t end,
                    const std::atomic<bool>* cancel) {
  auto hints = diagnose(file, break_found, audit.chain, LinePosition{}, end, cancel);
  if (!hints && is_cancelled(hints.error())) {
    set_failure(audit, std::move(hints).error());
    return;
  }
  if (hints) {
    audit.hints = std::move(*hints);
  } else {
    audit.diagnosis_error = hints.error().message();
  }
  set_break(audit, std::move(break_found));
}

Break rollback(RollbackReason reason, const Checkpoint& checkpoint, std::uint64_t offset) {
  Break b = Break::at(BreakKind::kRolledBack, checkpoint.lines, offset);
  b.expected = checkpoint.head;
  b.covered = checkpoint.bytes;
  b.rollback = reason;
  return b;
}

// Walks the file up to its first entry, which must be the checkpoint's first
// entry. Returns false when the audit ends here.
bool same_ledger(const platform::File& file, const Checkpoint& checkpoint, std::uint64_t end,
                 const std::atomic<bool>* cancel, Audit& audit) {
  WalkOutcome first = walk_first_entry(file, end);
  audit.chain = first.chain;
  if (first.failure) {
    set_failure(audit, *first.failure);
    return false;
  }
  if (first.break_found) {
    // Where a full walk would stop too.
    set_walk_break(audit, file, std::move(*first.break_found), end, cancel);
    return false;
  }
  if (first.chain.entries == 1 && first.chain.first != checkpoint.first) {
    set_other_ledger(audit, checkpoint, first.chain.first);
    return false;
  }
  audit.chain = Chain{};
  return true;
}

// Finds the checkpoint's last entry on the line that ends at its byte length.
// Returns false when the audit ends here.
bool holds_checkpoint_entry(const platform::File& file, const Checkpoint& checkpoint, Audit& audit) {
  if (audit.bytes < checkpoint.bytes) {
    Break b = Break::at(BreakKind::kTruncated, 0, audit.bytes);
    b.covered = checkpoint.bytes;
    set_break(audit, std::move(b));
    return false;
  }
  auto terminated = platform::line_ends_at(file, checkpoint.bytes);
  if (!terminated) {
    set_failure(audit, terminated.error());
    return false;
  }
  if (!*terminated) {
    set_break(audit, rollback(RollbackReason::kNoLineEnd, checkpoint, checkpoint.bytes));
    return false;
  }
  auto start = platform::line_start_before(file, checkpoint.bytes - 1);
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
    set_break(audit, rollback(RollbackReason::kNotEntry, checkpoint, *start));
    return false;
  }
  const LogEntry& entry = check->entry;
  if (entry.signature != checkpoint.head || check->bad_timestamp || check->digest != entry.signature) {
    const bool other = entry.signature != checkpoint.head;
    const BreakKind kind = check->bad_timestamp ? BreakKind::kBadTimestamp : BreakKind::kContentAltered;
    Break b = other ? rollback(RollbackReason::kOtherEntry, checkpoint, *start) : Break::at(kind, checkpoint.lines, *start);
    b.index = entry.index;
    b.prev_hash = entry.prev_hash;
    b.signature = entry.signature;
    if (!other && check->bad_timestamp) b.timestamp = entry.timestamp;
    if (!other && !check->bad_timestamp) b.expected = check->digest;
    set_break(audit, std::move(b));
    return false;
  }
  return true;
}

// Proves that the file still holds the first and the last entry of a
// checkpoint line where they stood, reading nothing at or past `end`. Returns
// false when the audit ends here. A checkpoint's entry ends with a line feed,
// so it lies before a live end whenever the file still holds it: the checks
// against the file's size hold for what a live audit reads too.
bool holds_checkpoint_line(const platform::File& file, const Checkpoint& checkpoint, std::uint64_t end,
                           const std::atomic<bool>* cancel, Audit& audit) {
  if (checkpoint.entries == 0) return true;  // an empty ledger's checkpoint: everything follows it
  return same_ledger(file, checkpoint, end, cancel, audit) &&
         holds_checkpoint_entry(file, checkpoint, audit);
}

// The chain head after the entry line at `offset` (the head of a tree of no
// leaves when `size` is 0).
Result<std::string> head_after(const platform::File& file, std::uint64_t size, std::uint64_t offset) {
  if (size == 0) return std::string(GENESIS_BLOCK_HASH);
  auto check = check_line(file, offset);
  if (!check) return fail(std::move(check).error());
  return std::move(check->entry.signature);
}

// Compares the walk with a checkpoint note: the tree of the note's size
// must have its root, and the chain head after that many entry lines the
// head its chain-head line names. A break or a read error before the
// tree reached that size is the verdict instead. Returns false when the
// audit ends here.
bool matches_note(const platform::File& file, const Checkpoint& checkpoint, const WalkOutcome& out,
                  Audit& audit) {
  const TreeNote& note = *checkpoint.note;
  if (!checkpoint.first.empty() && !audit.chain.first.empty() && audit.chain.first != checkpoint.first) {
    set_other_ledger(audit, checkpoint, audit.chain.first);
    return false;
  }
  if (out.tree.watched_root()) {
    const Hash root = *out.tree.watched_root();
    if (root != note.root) {
      Break b = Break::at(BreakKind::kRewritten, 0, 0);
      b.covered = note.size;
      b.expected = base64_encode(note.root);
      b.signature = base64_encode(root);
      set_break(audit, std::move(b));
      return false;
    }
    if (checkpoint.head.empty()) return true;  // the note names no head
    auto head = head_after(file, note.size, *out.watched_offset);
    if (!head) {
      set_failure(audit, std::move(head).error());
      return false;
    }
    if (*head == checkpoint.head) return true;
    Break b = Break::at(BreakKind::kWrongHead, 0, 0);
    b.covered = note.size;
    b.expected = checkpoint.head;
    b.signature = std::move(*head);
    set_break(audit, std::move(b));
    return false;
  }
  // The walk stopped before the checkpoint's last entry line: its own break
  // (or read error) is the verdict.
  if (out.break_found || out.failure) return true;
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
              std::uint64_t total) {
  if (!options.progress) {
    walk_ranges(walk, options.walk.jobs);
    return;
  }
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
  // Every line is walked from the start of the file, whatever the
  // checkpoint: a checkpoint adds its checks to the chain's, never replaces them.
  const bool note_since = options.since && options.since->note;
  if (options.since && !note_since &&
      !holds_checkpoint_line(*file_, *options.since, options_.walk.end, options.walk.cancel, audit_)) {
    return;
  }
  compare_note_ = note_since;
  if (options.tree || compare_note_) {
    options_.walk.tree = true;
    if (compare_note_) options_.walk.tree_watch = options.since->note->size;
  }
  walk_.emplace(*file_, Chain{}, options_.walk, control_);
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
  if (compare_note_ && !matches_note(*file_, *options_.since, out, audit_)) return std::move(audit_);
  const std::uint64_t end = options_.walk.end;
  if (out.failure) {
    set_failure(audit_, *out.failure);
  } else if (out.break_found) {
    set_walk_break(audit_, *file_, std::move(*out.break_found), end, options_.walk.cancel);
  } else {
    audit_.outcome = Outcome::kIntact;
    if (options_.live && end < audit_.bytes) {
      audit_.unfinished = Unfinished{audit_.chain.lines + 1, end, audit_.bytes - end};
    }
  }
  return std::move(audit_);
}

Result<bool> chain_intact(std::string_view path, unsigned jobs, const std::atomic<bool>* cancel) {
  auto file = platform::open_regular_for_read(path);
  if (!file) return false;
  WalkOptions options;
  options.jobs = jobs;
  options.cancel = cancel;
  WalkControl control;
  WalkOutcome out = walk_file(*file, Chain{}, options, control);
  if (out.failure) return fail(std::move(*out.failure));
  return !out.break_found;
}

Audit audit_ledger(std::string_view path, const AuditOptions& options) {
  FileAudit audit(path, options);
  if (RangedWalk* walk = audit.walk()) {
    run_walk(*walk, audit.control(), options,
             std::min(audit.size(), audit.walk_end()));
  }
  return audit.finish();
}

}  // namespace ledger::audit
