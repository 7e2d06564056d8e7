// Walking a ledger's hash chain with the rules of verification, in ranges.
//
// The walk judges lines by the core's chain rule (ChainCheck, ledger/chain.h),
// as the core's verify_ledger_file does: every line must be valid UTF-8, and
// the first line that breaks the chain ends the walk. Unlike the core it says
// where and why.
//
// A file can be walked as several ranges at once: each range is walked with
// the link into it unknown, recording its first entry's prev_hash, and the
// links between ranges are checked afterwards, in file order. The result,
// first failing line included, is the same for every number of ranges.
//
// Only the file's last line can lack a line feed, and while a writer appends,
// the last line read can be one it has not finished. Such a line that is not a
// whole entry is a torn tail, its own class of break: a write in progress or
// interrupted, never an edit. A whole entry there that fails its link or its
// digest is judged as any other entry.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "audit/range_reader.h"
#include "ledger/failure.h"
#include "ledger/parser.h"
#include "ledger/platform.h"
#include "tlog/merkle.h"

namespace ledger::audit {

enum class BreakKind : std::uint8_t {
  kInvalidUtf8,     // a line's bytes are not valid UTF-8
  kNotEntry,        // a line does not parse as a ledger entry
  kLinkBroken,      // an entry's prev_hash is not the previous entry's signature
  kContentAltered,  // an entry's signature is not the digest of its content
  kTruncated,       // the file is shorter than a checkpoint of it
  kRolledBack,      // the file no longer holds a checkpoint's last entry where it stood
  kTornTail,        // the last line has no line feed and is not a whole entry
  kBadTimestamp,    // an entry's timestamp is not in the writer's form
  kNonCanonical,    // an entry that passes, on a line that is not the writer's line for it
  kRewritten,       // the entry lines below a checkpoint note no longer give its root
  kWrongHead,       // they do, but the note's chain-head line names another head
  kCount_,          // number of kinds; not a kind
};

// Why a checkpoint's last entry was not found where the checkpoint puts it.
enum class RollbackReason : std::uint8_t {
  kNoLineEnd,   // no line ends at the checkpoint's byte length
  kNotEntry,    // the line that ends there is not a ledger entry
  kOtherEntry,  // the entry there has another signature
  kCount_,      // number of reasons; not a reason
};

// The first failing line, or the checkpoint the file no longer matches.
struct Break {
  BreakKind kind = BreakKind::kNotEntry;
  std::uint64_t line = 0;              // 1-based line number; 0 for kTruncated
  std::uint64_t offset = 0;            // byte offset of the line; the file size for kTruncated
  std::optional<std::uint64_t> index;  // the entry's index, when the line parsed
  std::size_t column = 0;  // kInvalidUtf8, kNotEntry, kTornTail: 1-based byte column;
                           // kNonCanonical: the first column that differs from the writer's line
  ParseError parse_error = ParseError::kNoValue;  // kNotEntry; kTornTail unless `invalid_utf8`
  bool invalid_utf8 = false;   // kTornTail: the line is not valid UTF-8 (from `column` on)
  std::uint64_t length = 0;    // kTornTail: the bytes of the line read
  std::string prev_hash;                          // the entry's prev_hash, when the line parsed
  std::string signature;      // the entry's stored signature, when the line parsed
  std::string timestamp;      // kBadTimestamp: the entry's timestamp
  std::string expected;       // kLinkBroken: the expected prev_hash;
                              // kContentAltered: the recomputed signature;
                              // kRolledBack: the checkpoint's head
  std::uint64_t covered = 0;  // kTruncated, kRolledBack: the checkpoint's byte length
  RollbackReason rollback = RollbackReason::kNoLineEnd;  // kRolledBack
  // kTruncated below a checkpoint note: `offset` is the number of entry lines
  // the file holds, `covered` the note's tree size. kRewritten: `covered` is
  // the tree size, `expected` the note's root and `signature` the file's (base64).
  // kWrongHead: `covered` is the tree size, `expected` the note's chain head and
  // `signature` the file's head after that many entry lines.
  bool tree = false;

  static Break at(BreakKind kind, std::uint64_t line, std::uint64_t offset) {
    Break b;
    b.kind = kind;
    b.line = line;
    b.offset = offset;
    return b;
  }

  bool operator==(const Break&) const = default;
};

// Where an entry that passed stands in the file.
struct EntryMark {
  std::uint64_t line = 0;    // 1-based line number
  std::uint64_t offset = 0;  // byte offset of its line
  std::uint64_t end = 0;     // byte offset just past its line's terminator
  std::uint64_t index = 0;   // its index member
  bool terminated = false;   // its line ended with a line feed

  bool operator==(const EntryMark&) const = default;
};

// The part of a ledger that a walk has proven, from the start of the file.
struct Chain {
  std::uint64_t lines = 0;               // lines read (the number of the last one)
  std::uint64_t entries = 0;             // entries that passed
  std::uint64_t end = 0;                 // byte offset just past the last line read
  std::string head{GENESIS_BLOCK_HASH};  // signature of the last entry that passed
  std::string first;              // signature of the file's first entry; empty when none passed
  std::optional<EntryMark> last;  // the last entry that passed
  std::optional<EntryMark> before_last;  // the one before it
  std::string head_before_last;          // the last entry's prev_hash, when its line has no
                                         // line feed (the head a checkpoint stops at)
  // Entries that passed on lines other than the writer's line for their
  // values (see WalkOptions::strict), and the line of the first of them.
  std::uint64_t non_canonical = 0;
  std::uint64_t first_non_canonical = 0;  // 0 when none

  bool operator==(const Chain&) const = default;
};

struct WalkOutcome {
  Chain chain;                     // what passed before the walk ended
  std::optional<Break> break_found;        // the first failing line, if any
  std::optional<Failure> failure;  // a read error or an internal fault: nothing proven past `chain`
  // With WalkOptions::tree: the Merkle tree (tlog/merkle.h) of the entry lines that
  // passed and end with a line feed.
  tlog::TreeBuilder tree;
  // With WalkOptions::tree_watch: the offset of the line whose leaf made the
  // tree reach the watched size, once it did (0 for a watched size of 0).
  std::optional<std::uint64_t> watched_offset;
};

// Shared by the threads of one walk.
struct WalkControl {
  static constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

  std::atomic<std::uint64_t> bytes_done{0};       // bytes walked so far, for progress
  std::atomic<std::uint64_t> first_break{kNone};  // lowest offset of a break found so far
};

struct WalkOptions {
  unsigned jobs = 1;                                          // ranges walked at once
  std::size_t buffer_size = RangeReader::kDefaultBufferSize;  // read buffer of each range
  std::uint64_t min_range_bytes = 4 << 20;                    // no range is made smaller
  // No byte at or past this offset is read: the walk takes the file to end
  // here. Without it the walk reads on to wherever the file ends as it reads.
  std::uint64_t end = RangeReader::kNoLimit;
  // Every entry that passes is also compared with the line the writer
  // (append_entry_json) writes for its values; a line that differs was not
  // written by a recorder. Such entries are counted in the chain; with
  // `strict` the first of them is a break (kNonCanonical) instead.
  bool strict = false;
  // No line after the line of this number is read: the walk takes the file
  // to end after it. A walk with it is one range on one thread.
  std::uint64_t last_line = std::numeric_limits<std::uint64_t>::max();
  // Called for each entry that passes, in file order, with where it stands
  // (line number, offset...), its fields and its line; returning false ends the walk there, as if the
  // file ended after that line. A walk with it is one range on one thread.
  std::function<bool(const EntryMark& mark, const EntryFields& entry, std::string_view text)>
      on_entry{};
  // Hash the entry lines that pass and end with a line feed into
  // WalkOutcome::tree, keeping the root at `tree_watch` leaves. Only for a walk
  // from the start of the file. With several ranges each first counts its
  // entry lines (leaf_count.h), so that it hashes its leaves into the whole
  // tree's subtrees as it walks: a few hundred bytes a range.
  bool tree = false;
  std::optional<std::uint64_t> tree_watch = std::nullopt;
  // Called for each leaf (an entry line that passes and ends with a line
  // feed), in file order, with its hash and its line; returning false ends the
  // walk there, as if the file ended after that line. A walk with it is one
  // range on one thread.
  std::function<bool(const tlog::Hash& leaf, std::string_view text)> on_leaf{};
  // Once this flag (if not null) is set, the walk stops at its ranges' next
  // read and ends in the failure cancelled_failure() (range_reader.h), which
  // says nothing of the file: for a caller that gave up waiting.
  const std::atomic<bool>* cancel = nullptr;
};

// The break of the line `reader` read last, line number `line`, which is not
// valid UTF-8 (kInvalidUtf8) or not an entry (kNotEntry; the caller sets its
// parse_error), failing at byte `column` (1-based). A line without a line feed
// is the last one read; when it is not a whole entry, a writer may not have
// finished it (or was stopped): a torn tail, whose length it gives.
Break unparsed_line_break(const RangeReader& reader, std::uint64_t line, BreakKind kind,
                          std::size_t column);

// Walks `file` from byte `chain.end` (a line start) to its end, or to
// `options.end`, continuing `chain`: its head is the link the first entry must
// carry, and line numbers continue from `chain.lines`.
WalkOutcome walk_file(const platform::File& file, Chain chain, const WalkOptions& options,
                      WalkControl& control);

// A walk of one file split into ranges that the caller runs, on threads of its
// own, so that the ranges of several files can share the same workers.
// walk_file is this with threads of the walk's own.
class RangedWalk {
 public:
  // Plans the ranges of the walk walk_file(file, chain, options, control)
  // would make. `file`, `options` and `control` must outlive the walk.
  RangedWalk(const platform::File& file, Chain chain, const WalkOptions& options,
             WalkControl& control);
  RangedWalk(RangedWalk&&) = delete;
  ~RangedWalk();

  std::size_t ranges() const;
  // Walks range `k`; safe from any thread, each range at most once.
  void walk(std::size_t k);
  // Once every range has been walked (or skipped, with no walk(k) running):
  // the outcome, as walk_file gives it.
  WalkOutcome finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Walks every range of `walk` on up to `jobs` threads (on this one for a single range).
void walk_ranges(RangedWalk& walk, unsigned jobs);

// Walks from the start of `file` up to and including its first entry only,
// reading no byte at or past `end`.
WalkOutcome walk_first_entry(const platform::File& file,
                             std::uint64_t end = RangeReader::kNoLimit);

// What one line, read on its own, holds.
struct LineCheck {
  LineStatus status = LineStatus::kEnd;       // kEnd: no line starts at the offset
  bool blank = false;                         // for kLine
  std::optional<ParseFailure> parse_failure;  // for a kLine that is not blank and does not parse
  LogEntry entry;                             // when it parses
  bool bad_timestamp = false;                 // when it parses: the timestamp is not the writer's
  std::string digest;                         // when it parses, unless bad_timestamp: the digest
                                              // of its content
};

// Reads the line that starts at `offset` and checks it as an entry, apart from its link.
Result<LineCheck> check_line(const platform::File& file, std::uint64_t offset);

}  // namespace ledger::audit
