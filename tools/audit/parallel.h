// Running independent tasks on a few threads of the tool's own.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace ledger::audit {

// Runs task(k) once for each k in [0, count) on up to `jobs` threads, on this
// one when a single thread would do. Each thread takes the next k as it
// finishes one, so tasks begin in order of k and a thread that gets less
// processor time does less of the work. Returns when every task is done.
template <typename Task>
void run_tasks(std::size_t count, unsigned jobs, const Task& task) {
  const std::size_t threads = std::min<std::size_t>(std::max(1u, jobs), count);
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t k = next++; k < count; k = next++) task(k);
  };
  if (threads <= 1) {
    work();
    return;
  }
  std::vector<std::jthread> workers;
  workers.reserve(threads);
  for (std::size_t t = 0; t < threads; ++t) workers.emplace_back(work);
}

}  // namespace ledger::audit
