// Plain values between C++ and Python, and the guard every function runs in.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "python_api.h"

namespace audit_python {

// A str of UTF-8 `text`; bytes that are not UTF-8 become U+FFFD.
pyext::PyRef text_object(std::string_view text);
pyext::PyRef bytes_object(std::string_view bytes);
pyext::PyRef number_object(std::uint64_t number);
// None for an empty optional.
pyext::PyRef optional_number_object(const std::optional<std::uint64_t>& number);

// The bytes of a bytes object; a TypeError naming `what` for anything else.
std::optional<std::string> bytes_value(PyObject* object, const char* what);
// The UTF-8 text of a str object; a TypeError naming `what` for anything else.
std::optional<std::string> text_value(PyObject* object, const char* what);

// Runs `body`, which returns a new reference or null with an exception set;
// a C++ exception that leaves it becomes MemoryError (out of memory) or
// RuntimeError.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error");
    return nullptr;
  }
}

}  // namespace audit_python
