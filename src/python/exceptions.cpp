#include "exceptions.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace pyext {
namespace {

constexpr char kPanicExceptionDoc[] =
    "Raised when the native code of quorvel_ledger_rs fails unexpectedly.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that `except Exception` does not catch it: it usually propagates to the top\n"
    "and ends the interpreter. A recorder on which it was raised while the\n"
    "recorder held its lock refuses every later operation.";

constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";

// The PanicException class; made on first need and kept for the process.
PyObject* panic_exception_type = nullptr;

// Writes `text` to standard error in one write, so that reports from threads
// never mix inside a line.
void write_stderr(std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

[[noreturn]] void abort_at_boundary() noexcept {
  write_stderr(std::string(kLastResortMessage) + "\n");
  std::abort();
}

void report_internal_fault(std::string_view message, const std::source_location& where) {
  std::string report = "quorvel_ledger_rs: internal fault in thread ";
  report += std::to_string(::gettid());
  report += " at ";
  report += where.file_name();
  report += ':';
  report += std::to_string(where.line());
  report += ": ";
  report += message;
  report += '\n';
  write_stderr(report);
}

// The PanicException class (borrowed), made on first need; null with an
// exception set if it cannot be made.
PyObject* get_panic_exception_type() {
  if (panic_exception_type != nullptr) return panic_exception_type;
  PyObject* made =
      PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc, PyExc_BaseException,
                                nullptr);
  if (made == nullptr) return nullptr;
  // Making the class runs interpreter code, during which another thread may
  // have stored one first; that one stays.
  if (panic_exception_type != nullptr) {
    Py_DecRef(made);
  } else {
    panic_exception_type = made;
  }
  return panic_exception_type;
}

// The failure's message as a str; never reworded. Text that is not valid UTF-8
// (which no failure of the core produces) is shown with replacement characters
// rather than lost.
PyRef message_text(std::string_view message) {
  const auto size = static_cast<Py_ssize_t>(message.size());
  PyRef text(PyUnicode_FromStringAndSize(message.data(), size));
  if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    text = PyRef(PyUnicode_DecodeUTF8(message.data(), size, "replace"));
  }
  return text;
}

PyObject* raise_with_message(PyObject* type, std::string_view message) {
  PyRef text = message_text(message);
  if (!text) return nullptr;
  PyErr_SetObject(type, text.get());
  return nullptr;
}

}  // namespace

PyObject* raise_internal_fault(std::string_view message, std::source_location where) noexcept {
  try {
    report_internal_fault(message, where);
    PyObject* type = get_panic_exception_type();
    if (type == nullptr) abort_at_boundary();
    PyRef text = message_text(message);
    if (!text) abort_at_boundary();
    PyErr_SetObject(type, text.get());
    return nullptr;
  } catch (...) {
    abort_at_boundary();
  }
}

PyObject* raise_ledger_failure(const ledger::Failure& failure, std::source_location where) {
  switch (failure.kind()) {
    case ledger::FailureKind::kIo:
      return raise_with_message(PyExc_OSError, failure.message());
    case ledger::FailureKind::kInvalidArgument:
      return raise_with_message(PyExc_ValueError, failure.message());
    case ledger::FailureKind::kInternal:
      return raise_internal_fault(failure.message(), where);
  }
  return raise_internal_fault("unknown failure kind", where);
}

PyObject* fail_from_interpreter() {
  if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_SystemError, kNoExceptionSet);
  return nullptr;
}

}  // namespace pyext
