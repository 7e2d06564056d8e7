#include "released.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "python_api.h"

namespace audit_python {

namespace {

constexpr std::chrono::milliseconds kSignalPoll{20};

// Holds the interpreter lock released; takes it back for a moment, or for good.
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }

  // Whether a signal handler raised an exception (left pending).
  bool signal_raised() {
    PyEval_RestoreThread(state_);
    const bool raised = PyErr_CheckSignals() != 0;
    state_ = PyEval_SaveThread();
    return raised;
  }

 private:
  PyThreadState* state_;
};

}  // namespace

bool run_released(const std::function<void()>& work, std::atomic<bool>& cancel) {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::exception_ptr fault;
  bool interrupted = false;
  {
    ReleasedLock released;
    std::thread worker([&] {
      try {
        work();
      } catch (...) {
        fault = std::current_exception();
      }
      const std::lock_guard lock(mutex);
      done = true;
      finished.notify_all();
    });
    std::unique_lock lock(mutex);
    while (!finished.wait_for(lock, kSignalPoll, [&] { return done; })) {
      if (interrupted) continue;
      lock.unlock();
      interrupted = released.signal_raised();
      if (interrupted) cancel.store(true, std::memory_order_relaxed);
      lock.lock();
    }
    lock.unlock();
    worker.join();
  }
  if (interrupted) return false;
  if (fault) std::rethrow_exception(fault);
  return true;
}

bool wait_released(std::mutex& mutex, std::condition_variable& changed,
                   const std::function<bool()>& ready) {
  ReleasedLock released;
  for (;;) {
    {
      std::unique_lock lock(mutex);
      if (changed.wait_for(lock, kSignalPoll, ready)) return true;
    }
    if (released.signal_raised()) return false;
  }
}

}  // namespace audit_python
