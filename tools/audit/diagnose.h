// Hints about a break that the file alone can tell apart.
//
// The break itself is a fact; these are readings of the evidence around it,
// gathered only after the walk has failed:
//   - a torn tail, the break itself: a write still in progress, or interrupted;
//   - a torn last line (no line feed, cut short) after a break elsewhere: an
//     interrupted write, a crash;
//   - a cut-short entry with a complete one after it on the same line: an
//     interrupted write, after which the ledger was appended to again;
//   - a fork (two entries with the same prev_hash): two writers on one head;
//     a duplicate when the second entry is the first one again;
//   - an index gap or repeat between the break and the entry before it.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audit/range_reader.h"
#include "audit/walk.h"
#include "ledger/failure.h"
#include "ledger/platform.h"

namespace ledger::audit {

enum class HintKind : std::uint8_t {
  kTornTail,          // the last line has no line feed and is not an entry
  kTornThenAppended,  // a line holds a cut-short entry, then a complete one
  kFork,              // the break entry and an earlier one share their prev_hash
  kDuplicate,         // the break entry repeats an earlier entry exactly
  kIndexGap,          // the break entry's index skips ahead of the one before
  kIndexRepeat,       // the break entry's index does not move ahead
  kWriteInProgress,   // the break is a torn tail: a writer may not have finished the line
  kCount_,            // number of kinds; not a kind
};

struct Hint {
  HintKind kind = HintKind::kTornTail;
  std::uint64_t line = 0;        // the line the hint is about
  std::uint64_t other_line = 0;  // kFork, kDuplicate: the earlier entry's line
  std::uint64_t expected = 0;    // kIndexGap, kIndexRepeat: the index due
  std::uint64_t found = 0;       // kIndexGap, kIndexRepeat: the index found
  std::uint64_t column = 0;  // kTornThenAppended: 1-based column where the complete entry starts

  static Hint about(HintKind kind, std::uint64_t line) {
    Hint h;
    h.kind = kind;
    h.line = line;
    return h;
  }

  bool operator==(const Hint&) const = default;
};

// A line start and its line number.
struct LinePosition {
  std::uint64_t offset = 0;
  std::uint64_t line = 1;
};

// Gathers the hints for `break_found`, a break found by walking (any kind but
// kTruncated and kRolledBack), with `chain` passed before it. Looks for a fork
// partner among the lines from `search_from` up to the break, and at the last
// line of the file, taken to end at `end` when that comes first. Once
// `cancel` (if not null) is set, the next read fails with cancelled_failure().
Result<std::vector<Hint>> diagnose(const platform::File& file, const Break& break_found, const Chain& chain,
                                   const LinePosition& search_from,
                                   std::uint64_t end = RangeReader::kNoLimit,
                                   const std::atomic<bool>* cancel = nullptr);

}  // namespace ledger::audit
