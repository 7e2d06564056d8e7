// Running work on a few threads of the tool's own, and the one place where an
// exception on any of them becomes a failure value.
//
// No exception leaves a thread the tool starts (one would end the program),
// and a thread the system refuses to start (out of memory, or of threads)
// leaves its work to the threads that did start, the calling one among them:
// the work is the same, only fewer threads do it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "ledger/failure.h"

namespace ledger::audit {

// The internal fault for the exception being handled; call it only inside a
// catch block. Out of memory, and a message that cannot be copied for want of
// memory, give Failure::out_of_memory(), which allocates nothing.
inline Failure current_fault() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory();
  } catch (const std::exception& e) {
    try {
      return Failure::internal(e.what());
    } catch (...) {
      return Failure::out_of_memory();
    }
  } catch (...) {
    try {
      return Failure::internal("an unknown exception");
    } catch (...) {
      return Failure::out_of_memory();
    }
  }
}

// Runs body(), turning what it throws into its failure.
template <typename Body>
Result<void> contained(const Body& body) noexcept {
  try {
    body();
    return {};
  } catch (...) {
    return fail(current_fault());
  }
}

// Threads that each run one piece of work, contained, and keep the first
// failure among them. Joined by join() or on destruction.
class WorkerThreads {
 public:
  WorkerThreads() = default;
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;
  ~WorkerThreads() { join_all(); }

  // Reserves room for `count` threads; fewer start when memory is short.
  void reserve(std::size_t count) noexcept {
    try {
      threads_.reserve(count);
    } catch (...) {
    }
  }

  // Starts `work` on a new thread; false when the system refuses one, and
  // then the caller does the work some other way.
  template <typename Work>
  bool start(const Work& work) noexcept {
    try {
      threads_.emplace_back([this, &work] { keep(contained(work)); });
      return true;
    } catch (...) {
      return false;
    }
  }

  std::size_t started() const { return threads_.size(); }

  // Waits for every thread; the first failure of their work, if any.
  Result<void> join() noexcept {
    join_all();
    if (first_failure_) return fail(std::move(*first_failure_));
    return {};
  }

 private:
  void join_all() noexcept {
    for (std::jthread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  void keep(Result<void> outcome) noexcept {
    if (outcome) return;
    const std::lock_guard lock(mutex_);
    if (!first_failure_) first_failure_.emplace(std::move(outcome).error());
  }

  std::vector<std::jthread> threads_;
  std::mutex mutex_;
  std::optional<Failure> first_failure_;
};

// Runs work() on this thread and on up to `threads` - 1 more. Each must take
// its share of a common pool (so that whichever threads run, all of it is
// done). Returns when all have returned; the first failure of any.
template <typename Work>
Result<void> run_shared(std::size_t threads, const Work& work) noexcept {
  WorkerThreads helpers;
  if (threads > 1) {
    helpers.reserve(threads - 1);
    for (std::size_t t = 1; t < threads && helpers.start(work); ++t) {
    }
  }
  Result<void> here = contained(work);
  Result<void> there = helpers.join();
  return here ? there : here;
}

// Runs task(k) once for each k in [0, count) on up to `jobs` threads, this
// one among them. Each thread takes the next k as it finishes one, so tasks
// begin in order of k and a thread that gets less processor time does less of
// the work. Returns when every task is done: the first failure of a task, if
// any (the other tasks still run).
template <typename Task>
[[nodiscard]] Result<void> run_tasks(std::size_t count, unsigned jobs, const Task& task) noexcept {
  const std::size_t threads = std::min<std::size_t>(std::max(1u, jobs), count);
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::optional<Failure> first_failure;
  const auto work = [&] {
    for (std::size_t k = next++; k < count; k = next++) {
      Result<void> done = contained([&] { task(k); });
      if (done) continue;
      const std::lock_guard lock(mutex);
      if (!first_failure) first_failure.emplace(std::move(done).error());
    }
  };
  if (auto ran = run_shared(threads, work); !ran) return ran;
  if (first_failure) return fail(std::move(*first_failure));
  return {};
}

}  // namespace ledger::audit
