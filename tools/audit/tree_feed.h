// The Merkle tree of a walk in ranges (walk.h), which threads walk at once
// while the tree must take its leaves in file order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "tlog/merkle.h"

namespace ledger::audit {

// The tree of a walk in ranges. Leaves join it in file order: the range whose
// turn it is (every range before it is done) adds its leaves as it walks; a
// later range keeps its leaves, within a budget shared by all ranges, and
// waits for its turn once the budget is spent. Ranges begin in order, so the
// range whose turn it is always runs and never waits: nothing deadlocks.
// The tree as each range's turn came is kept (a few hundred bytes each), so
// that a walk that ends in a range keeps only the leaves before its end.
class TreeFeed {
 public:
  struct State {
    tlog::TreeBuilder tree;
    std::optional<std::uint64_t> watched_offset;  // see WalkOutcome
  };

  // `tree` is empty, and watches the size the walk compares, if any.
  TreeFeed(const tlog::TreeBuilder& tree, std::size_t ranges, std::size_t budget);

  // Range k's next leaf, of the line at `offset`. Waits when range k keeps
  // as many leaves as the budget allows and its turn has not come.
  void add(std::size_t k, const tlog::Hash& leaf, std::uint64_t offset) {
    if (turn_.load(std::memory_order_acquire) == k && pending_[k].empty() && !failed_) {
      join(leaf, offset);
      return;
    }
    add_slowly(k, leaf, offset);
  }

  // Range k is done, walked or skipped: the leaves it keeps join in their
  // turn. The turn moves on whatever happens, so that no range waits forever:
  // a tree that could not take the leaves (out of memory) is failed().
  void done(std::size_t k) noexcept;

  // Once every range is done: whether the tree could not take every leaf,
  // and else the tree of the leaves before range k, or of all.
  bool failed() const { return failed_; }
  State& before(std::size_t k) { return k < at_turn_.size() ? at_turn_[k] : now_; }

 private:
  struct Pending {
    tlog::Hash leaf;
    std::uint64_t offset;
  };

  void join(const tlog::Hash& leaf, std::uint64_t offset) {
    now_.tree.add_leaf(leaf);
    if (!now_.watched_offset && now_.tree.watched_root()) now_.watched_offset = offset;
  }
  void add_slowly(std::size_t k, const tlog::Hash& leaf, std::uint64_t offset);
  // Under the lock, or by the range whose turn it is.
  void join_pending(std::size_t k);
  void drop_pending(std::size_t k) noexcept;

  State now_;  // written by the range whose turn it is, or under the lock
  std::mutex mutex_;
  std::condition_variable turned_;
  std::atomic<std::size_t> turn_{0};          // the first range not yet done
  std::vector<std::vector<Pending>> pending_;  // leaves kept by ranges before their turn
  std::vector<bool> done_;
  std::vector<State> at_turn_;  // the tree as range k's turn came
  std::size_t held_ = 0;        // leaves kept, all ranges together
  bool failed_ = false;         // under the lock, or read once every range is done
  const std::size_t budget_;
};

}  // namespace ledger::audit
