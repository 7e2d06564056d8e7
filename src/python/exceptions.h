// Failures leaving the extension: ledger failures and internal faults become
// Python exceptions here, and nowhere else.
#pragma once

#include <exception>
#include <source_location>
#include <string_view>
#include <utility>

#include "ledger/failure.h"
#include "python_api.h"

namespace pyext {

// Dotted name of the exception class for internal faults. The class derives
// from BaseException and is not an attribute of the module.
inline constexpr char kPanicExceptionName[] = "quorvel_ledger_rs.PanicException";

// Message of the internal fault for a C++ exception that is not a std::exception.
inline constexpr std::string_view kUnknownFault = "unknown C++ exception";

// Written to standard error before the process is ended, when an internal
// fault cannot even be turned into a Python exception.
inline constexpr std::string_view kLastResortMessage = "uncaught panic at ffi boundary";

// Sets the Python exception for `failure` and returns null, for the entry
// point to return: IOError (OSError) for kIo, ValueError for kInvalidArgument,
// PanicException for kInternal (via raise_internal_fault). The message is the
// failure's text, unchanged, as the exception's only argument.
PyObject* raise_ledger_failure(const ledger::Failure& failure,
                               std::source_location where = std::source_location::current());

// Reports an internal fault on standard error (thread, source location,
// message) and sets a PanicException carrying `message`; returns null. If the
// exception cannot be made, writes kLastResortMessage and ends the process.
PyObject* raise_internal_fault(std::string_view message,
                               std::source_location where = std::source_location::current()) noexcept;

// Returns null for an interpreter call that failed; makes sure an exception is
// pending (SystemError "attempted to fetch exception but none was set" if not).
PyObject* fail_from_interpreter();

// Runs `body`, the work of one entry point called by the interpreter, and
// returns its result. No C++ exception crosses into the interpreter: one that
// escapes `body` becomes a PanicException. A recorder whose lock was held when
// it was thrown has been poisoned by the recorder's own lock guard.
template <typename Body>
PyObject* entry_frame(Body&& body,
                      std::source_location where = std::source_location::current()) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& fault) {
    return raise_internal_fault(fault.what(), where);
  } catch (...) {
    return raise_internal_fault(kUnknownFault, where);
  }
}

}  // namespace pyext
