#include "errors.h"

#include <charconv>
#include <string>

#include "values.h"

namespace audit_python {

using ledger::Failure;
using ledger::FailureKind;
using pyext::PyRef;

std::optional<SystemError> system_error_of(std::string_view message) {
  constexpr std::string_view kMarker = " (os error ";
  if (message.empty() || message.back() != ')') return std::nullopt;
  const std::size_t at = message.rfind(kMarker);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view digits =
      message.substr(at + kMarker.size(), message.size() - 1 - (at + kMarker.size()));
  int number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) {
    return std::nullopt;
  }
  return SystemError{number, message.substr(0, at)};
}

namespace {

PyObject* raise_os_error(const Failure& failure, PyObject* filename) {
  const std::optional<SystemError> system = system_error_of(failure.message());
  PyRef arguments;
  if (system) {
    PyRef text = text_object(system->text);
    if (!text) return nullptr;
    arguments = PyRef(filename != nullptr
                          ? Py_BuildValue("(iOO)", system->number, text.get(), filename)
                          : Py_BuildValue("(iO)", system->number, text.get()));
  } else {
    PyRef text = text_object(failure.message());
    if (!text) return nullptr;
    arguments = PyRef(Py_BuildValue("(O)", text.get()));
  }
  if (!arguments) return nullptr;
  PyRef error(PyObject_Call(PyExc_OSError, arguments.get(), nullptr));
  if (!error) return nullptr;
  PyRef type(PyObject_Type(error.get()));
  if (!type) return nullptr;
  PyErr_SetObject(type.get(), error.get());
  return nullptr;
}

}  // namespace

PyObject* raise_failure(const Failure& failure, PyObject* filename) {
  switch (failure.kind()) {
    case FailureKind::kIo:
      return raise_os_error(failure, filename);
    case FailureKind::kInvalidArgument: {
      PyRef text = text_object(failure.message());
      if (text) PyErr_SetObject(PyExc_ValueError, text.get());
      return nullptr;
    }
    case FailureKind::kInternal:
      break;
  }
  if (failure.message() == Failure::kOutOfMemoryText) return PyErr_NoMemory();
  PyRef text = text_object(failure.message());
  if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
  return nullptr;
}

}  // namespace audit_python
