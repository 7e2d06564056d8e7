#include "audit/tree_feed.h"

namespace ledger::audit {

TreeFeed::TreeFeed(const tlog::TreeBuilder& tree, std::size_t ranges, std::size_t budget)
    : pending_(ranges), done_(ranges), at_turn_(ranges), budget_(budget) {
  now_.tree = tree;
  if (now_.tree.watched_root()) now_.watched_offset = 0;
  at_turn_[0] = now_;
}

void TreeFeed::add_slowly(std::size_t k, const tlog::Hash& leaf, std::uint64_t offset) {
  if (turn_.load(std::memory_order_acquire) != k) {
    std::unique_lock lock(mutex_);
    if (turn_.load(std::memory_order_relaxed) != k) {
      if (held_ < budget_) {
        pending_[k].push_back({leaf, offset});
        ++held_;
        return;
      }
      turned_.wait(lock, [&] { return turn_.load(std::memory_order_relaxed) == k; });
    }
  }
  if (failed_) return;
  if (!pending_[k].empty()) {
    const std::lock_guard lock(mutex_);
    join_pending(k);
  }
  join(leaf, offset);
}

void TreeFeed::done(std::size_t k) noexcept {
  {
    const std::lock_guard lock(mutex_);
    done_[k] = true;
    std::size_t turn = turn_.load(std::memory_order_relaxed);
    while (turn < done_.size() && done_[turn]) {
      try {
        if (!failed_) join_pending(turn);
        if (!failed_ && turn + 1 < done_.size()) at_turn_[turn + 1] = now_;
      } catch (...) {
        failed_ = true;
      }
      drop_pending(turn++);
    }
    turn_.store(turn, std::memory_order_release);
  }
  turned_.notify_all();
}

void TreeFeed::join_pending(std::size_t k) {
  for (const Pending& p : pending_[k]) join(p.leaf, p.offset);
  drop_pending(k);
}

void TreeFeed::drop_pending(std::size_t k) noexcept {
  held_ -= pending_[k].size();
  std::vector<Pending>().swap(pending_[k]);
}

}  // namespace ledger::audit
