#include "values.h"

namespace audit_python {

using pyext::PyRef;

PyRef text_object(std::string_view text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyRef bytes_object(std::string_view bytes) {
  return PyRef(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

PyRef number_object(std::uint64_t number) {
  return PyRef(PyLong_FromUnsignedLongLong(number));
}

PyRef optional_number_object(const std::optional<std::uint64_t>& number) {
  if (!number) return PyRef::borrow(Py_None);
  return number_object(*number);
}

std::optional<std::string> bytes_value(PyObject* object, const char* what) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyBytes_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be bytes", what);
    return std::nullopt;
  }
  if (PyBytes_AsStringAndSize(object, &data, &size) != 0) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> text_value(PyObject* object, const char* what) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be str", what);
    return std::nullopt;
  }
  PyRef encoded(PyUnicode_AsUTF8String(object));
  if (!encoded) return std::nullopt;
  return bytes_value(encoded.get(), what);
}

}  // namespace audit_python
