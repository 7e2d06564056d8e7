// Long work with the interpreter lock released.
#pragma once

#include <atomic>
#include <functional>

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

}  // namespace audit_python
