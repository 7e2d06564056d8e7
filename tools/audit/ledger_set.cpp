#include "audit/ledger_set.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "audit/parallel.h"

namespace ledger::audit {
namespace {

// A file whose walk is planned.
struct Planned {
  std::size_t k = 0;                 // its place in the list
  std::unique_ptr<FileAudit> audit;  // holds the file open
  std::size_t ranges = 0;
  std::size_t next_range = 0;        // the next range to hand out; under the mutex
  std::atomic<std::size_t> left{0};  // ranges not yet walked
};

class LedgerSet {
 public:
  LedgerSet(std::span<const std::string> paths, const AuditOptions& options)
      : paths_(paths), options_(options), results_(paths.size()) {}

  void work();
  // The result of file `k`, once done; waits, calling `waiting` between waits.
  Audit take(std::size_t k, const std::function<void(std::size_t)>& waiting);

 private:
  // Plans file `k` (outside the lock); a file whose audit ended before the walk
  // is done at once, and so is one whose planning failed.
  void plan(std::size_t k);
  void plan_walk(std::size_t k);
  // Keeps the result of file `k`: a fault as it is, since making its audit
  // allocates, which is left to the thread that takes it.
  void done(std::size_t k, Result<Audit> audit) noexcept;
  void finish(Planned& planned);

  std::span<const std::string> paths_;
  AuditOptions options_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<std::optional<Result<Audit>>> results_;
  std::size_t finished_ = 0;
  std::size_t next_file_ = 0;
  std::deque<std::shared_ptr<Planned>> queue_;  // files with ranges still to hand out
};

void LedgerSet::done(std::size_t k, Result<Audit> audit) noexcept {
  const std::lock_guard lock(mutex_);
  results_[k] = std::move(audit);
  ++finished_;
  ready_.notify_all();
}

void LedgerSet::finish(Planned& planned) {
  std::optional<Audit> audit;
  Result<void> finished = contained([&] { audit.emplace(planned.audit->finish()); });
  planned.audit.reset();  // closes the file
  if (finished) {
    done(planned.k, std::move(*audit));
  } else {
    done(planned.k, fail(std::move(finished).error()));
  }
}

void LedgerSet::plan(std::size_t k) {
  // Until it is queued or done, nothing else knows of file `k`.
  if (auto planned = contained([&] { plan_walk(k); }); !planned) {
    done(k, fail(std::move(planned).error()));
  }
}

void LedgerSet::plan_walk(std::size_t k) {
  auto planned = std::make_shared<Planned>();
  planned->k = k;
  planned->audit = std::make_unique<FileAudit>(paths_[k], options_);
  RangedWalk* walk = planned->audit->walk();
  planned->ranges = walk != nullptr ? walk->ranges() : 0;
  if (planned->ranges == 0) {
    finish(*planned);
    return;
  }
  planned->left = planned->ranges;
  const std::lock_guard lock(mutex_);
  queue_.push_back(std::move(planned));
}

void LedgerSet::work() {
  for (;;) {
    std::shared_ptr<Planned> planned;
    std::size_t range = 0;
    {
      std::unique_lock lock(mutex_);
      while (!queue_.empty() && queue_.front()->next_range == queue_.front()->ranges) {
        queue_.pop_front();
      }
      if (!queue_.empty()) {
        planned = queue_.front();
        range = planned->next_range++;
      } else if (next_file_ < paths_.size()) {
        const std::size_t k = next_file_++;
        lock.unlock();
        plan(k);
        continue;
      } else {
        return;
      }
    }
    // Ranges catch what the walk throws: a range's fault is its outcome.
    planned->audit->walk()->walk(range);
    if (--planned->left == 0) finish(*planned);
  }
}

Audit LedgerSet::take(std::size_t k, const std::function<void(std::size_t)>& waiting) {
  std::unique_lock lock(mutex_);
  while (!results_[k]) {
    if (!waiting) {
      ready_.wait(lock);
    } else if (!ready_.wait_for(lock, options_.progress_interval, [&] { return results_[k].has_value(); })) {
      const std::size_t finished = finished_;
      lock.unlock();
      waiting(finished);
      lock.lock();
    }
  }
  Result<Audit> audit = std::move(*results_[k]);
  results_[k].reset();
  lock.unlock();
  return audit ? std::move(*audit) : fault_audit(std::move(audit).error());
}

}  // namespace

void audit_ledgers(std::span<const std::string> paths, const AuditOptions& options,
                   const std::function<void(std::size_t k, Audit audit)>& report,
                   const std::function<void(std::size_t done)>& waiting) {
  AuditOptions each = options;
  each.since.reset();
  each.progress = nullptr;
  each.size_taken = nullptr;
  LedgerSet ledgers(paths, each);
  const std::size_t count = std::min<std::size_t>(std::max(1u, options.walk.jobs), paths.size());
  const auto work = [&ledgers] { ledgers.work(); };
  WorkerThreads workers;
  workers.reserve(count);
  for (std::size_t t = 0; t < count && workers.start(work); ++t) {
  }
  // With no worker, this thread audits every file before it reports.
  if (workers.started() == 0) work();
  for (std::size_t k = 0; k < paths.size(); ++k) report(k, ledgers.take(k, waiting));
}

}  // namespace ledger::audit
