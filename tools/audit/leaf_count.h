// Where each range of a walk begins in the Merkle tree of the file's entry
// lines (walk.h), so that the threads that walk ranges at once can hash each
// range's leaves into the subtrees of the whole tree as they go: each range
// first counts its entry lines (a fast pass that splits lines and looks at
// their first byte), then learns how many stand before it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "ledger/failure.h"
#include "ledger/platform.h"

namespace ledger::audit {

// The leaves of a range: the lines that start at or after `start` (a line
// start) and before `limit`, end with a line feed and are not blank, reading
// no byte at or past `end`. On an intact file they are the range's leaves; a
// range that breaks has fewer, and then no later range's leaves count. Once
// `cancel` (if not null) is set, the next read fails with cancelled_failure().
Result<std::uint64_t> count_leaf_lines(const platform::File& file, std::uint64_t start,
                                       std::uint64_t limit, std::uint64_t end,
                                       const std::atomic<bool>* cancel = nullptr);

// The counts of the ranges of one walk, from the threads that walk them.
class LeafCounts {
 public:
  explicit LeafCounts(std::size_t ranges) : counts_(ranges), known_(ranges) {}

  // Range k's count, once (later calls for k do nothing). Every range must
  // give one, a skipped or failed range too (any number: no later range's
  // leaves then count), or the ranges after it wait for ever.
  void publish(std::size_t k, std::uint64_t count) noexcept;
  // The number of leaves before range k: waits for the ranges before it.
  // Ranges begin in order and publish first, so the wait is short.
  std::uint64_t leaves_before(std::size_t k);

 private:
  std::mutex mutex_;
  std::condition_variable published_;
  std::vector<std::uint64_t> counts_;
  std::vector<bool> known_;
};

}  // namespace ledger::audit
