// Failures of the tool's libraries as the exceptions Python programs expect.
#pragma once

#include <optional>
#include <string_view>

#include "ledger/failure.h"
#include "python_api.h"

namespace audit_python {

// Sets the exception of `failure` and returns null:
// - kIo: an OSError made as OSError(errno, text, filename), so that Python
//   picks its subclass (FileNotFoundError, PermissionError, ...). The errno is
//   the N of the system's text "... (os error N)"; a text without one gives
//   OSError(text). `filename` (a borrowed object, or null) is the path as the
//   caller gave it.
// - kInvalidArgument: ValueError with the message.
// - kInternal: MemoryError when memory ran out, RuntimeError otherwise.
PyObject* raise_failure(const ledger::Failure& failure, PyObject* filename = nullptr);

// The N of a system text ending in " (os error N)", and the text before it.
struct SystemError {
  int number = 0;
  std::string_view text;
};
std::optional<SystemError> system_error_of(std::string_view message);

}  // namespace audit_python
