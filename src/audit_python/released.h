// Long work with the interpreter lock released.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace audit_python {

// Runs `work` on a thread of its own while the calling thread, holding the
// interpreter lock, waits for it with the lock released. Every 20 ms the
// waiting thread takes the lock back for a moment to run the interpreter's
// signal handlers (Ctrl-C): when one raises, `cancel` is set for the work to
// see, the work is waited for, and the call returns false with that
// exception pending (whatever the work found is not to be reported). Returns
// true once the work is done. An exception that `work` throws is thrown here,
// with the lock held again.
bool run_released(const std::function<void()>& work, std::atomic<bool>& cancel);

// Waits, holding the interpreter lock, with the lock released, until
// `ready()` holds: `ready` is called with `mutex` locked, and whoever makes it
// true notifies `changed`. Every 20 ms, with `mutex` unlocked, the lock is
// taken back for a moment to run the interpreter's signal handlers: when one
// raises, returns false with that exception pending. Returns true once
// `ready()` held, with the interpreter lock held again and `mutex` unlocked.
bool wait_released(std::mutex& mutex, std::condition_variable& changed,
                   const std::function<bool()>& ready);

}  // namespace audit_python
