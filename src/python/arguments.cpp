#include "arguments.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "interpreter.h"

namespace pyext {
namespace {

constexpr char kUnknownTypeName[] = "<failed to extract type name>";

// PyUnicode_AsUTF8AndSize, where the running interpreter's stable ABI has it.
using Utf8AndSizeFunction = const char* (*)(PyObject*, Py_ssize_t*);
Utf8AndSizeFunction utf8_and_size = nullptr;

std::optional<Utf8Text> utf8_text_of(PyObject* text) {
  if (utf8_and_size != nullptr) {
    Py_ssize_t size = 0;
    const char* data = utf8_and_size(text, &size);
    if (data == nullptr) return std::nullopt;
    return Utf8Text(PyRef::borrow(text), std::string_view(data, static_cast<std::size_t>(size)));
  }
  PyRef bytes(PyUnicode_AsUTF8String(text));
  if (!bytes) return std::nullopt;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return std::nullopt;
  return Utf8Text(std::move(bytes), std::string_view(data, static_cast<std::size_t>(size)));
}

bool is_text(PyObject* object) {
  return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

std::string decimal(std::size_t value) { return std::to_string(value); }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_name_list(std::span<const std::string_view> names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        list += " and ";
      } else if (i + 1 == names.size()) {
        list += ", and ";
      } else {
        list += ", ";
      }
    }
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

bool fail_too_many_positional(std::string_view display_name, std::size_t expected,
                              std::size_t given) {
  std::string message(display_name);
  message += " takes " + decimal(expected) + " positional arguments but " + decimal(given) +
             (given == 1 ? " was" : " were") + " given";
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

bool fail_multiple_values(std::string_view display_name, std::string_view name) {
  std::string message(display_name);
  message += " got multiple values for argument '";
  message += name;
  message += '\'';
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

bool fail_unexpected_keyword(std::string_view display_name, PyObject* key) {
  PyRef key_text(PyObject_Str(key));
  if (!key_text) return false;
  const std::string prefix(display_name);
  PyRef message(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", prefix.c_str(),
                                     key_text.get()));
  if (!message) return false;
  PyErr_SetObject(PyExc_TypeError, message.get());
  return false;
}

bool fail_missing(std::string_view display_name, std::span<const std::string_view> missing) {
  std::string message(display_name);
  message += " missing " + decimal(missing.size()) + " required positional " +
             (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_name_list(missing);
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

// The index of the parameter named by `key`, or names.size() when none is.
std::size_t parameter_index(std::span<const std::string_view> names, PyObject* key) {
  if (!is_text(key)) return names.size();
  const std::optional<Utf8Text> key_text = utf8_text_of(key);
  if (!key_text) {
    // A key without UTF-8 text matches no parameter.
    PyErr_Clear();
    return names.size();
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == key_text->view()) return i;
  }
  return names.size();
}

// The type's __qualname__ as a str, or the fixed text when it cannot be read.
PyRef type_name_of(PyObject* object) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (name && is_text(name.get())) return name;
  PyErr_Clear();
  return PyRef(PyUnicode_FromString(kUnknownTypeName));
}

// str() of an exception for a reworded message. If str() fails, that failure
// is reported as unraisable and "<unprintable T object>" stands in.
PyRef printable_text(PyObject* exception) {
  PyRef text(PyObject_Str(exception));
  if (text) return text;
  PyErr_WriteUnraisable(exception);
  PyRef type_name(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exception)), "__name__"));
  if (type_name && is_text(type_name.get())) {
    return PyRef(PyUnicode_FromFormat("<unprintable %U object>", type_name.get()));
  }
  PyErr_Clear();
  return PyRef(PyUnicode_FromString("<unprintable object>"));
}

// Puts the keyword argument `key`=`value` into its parameter's slot.
bool bind_keyword(std::string_view display_name, std::span<const std::string_view> names,
                  PyObject* key, PyObject* value, std::span<PyObject*> slots) {
  const std::size_t index = parameter_index(names, key);
  if (index == names.size()) return fail_unexpected_keyword(display_name, key);
  if (slots[index] != nullptr) return fail_multiple_values(display_name, names[index]);
  slots[index] = value;
  return true;
}

// Fails with TypeError naming every parameter that has no argument.
bool check_all_bound(std::string_view display_name, std::span<const std::string_view> names,
                     std::span<PyObject*> slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (slots[i] == nullptr) missing.push_back(names[i]);
  }
  return missing.empty() || fail_missing(display_name, missing);
}

}  // namespace

bool bind_argument_slots(std::string_view display_name, std::span<const std::string_view> names,
                         PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
  const std::size_t parameter_count = names.size();
  const Py_ssize_t positional_size = PyTuple_Size(args);
  if (positional_size < 0) return false;
  const auto positional = static_cast<std::size_t>(positional_size);

  const std::size_t filled = positional < parameter_count ? positional : parameter_count;
  for (std::size_t i = 0; i < filled; ++i) {
    slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    if (slots[i] == nullptr) return false;
  }
  if (positional > parameter_count) {
    return fail_too_many_positional(display_name, parameter_count, positional);
  }

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!bind_keyword(display_name, names, key, value, slots)) return false;
    }
  }
  return positional >= parameter_count || check_all_bound(display_name, names, slots);
}

bool bind_argument_array(std::string_view display_name, std::span<const std::string_view> names,
                         PyObject* const* args, std::size_t positional, PyObject* kwnames,
                         std::span<PyObject*> slots) {
  const std::size_t parameter_count = names.size();
  const std::size_t filled = positional < parameter_count ? positional : parameter_count;
  for (std::size_t i = 0; i < filled; ++i) slots[i] = args[i];
  if (positional > parameter_count) {
    return fail_too_many_positional(display_name, parameter_count, positional);
  }

  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_Size(kwnames);
    if (keywords < 0) return false;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
      PyObject* key = PyTuple_GetItem(kwnames, i);
      if (key == nullptr) return false;
      PyObject* value = args[positional + static_cast<std::size_t>(i)];
      if (!bind_keyword(display_name, names, key, value, slots)) return false;
    }
  }
  return positional >= parameter_count || check_all_bound(display_name, names, slots);
}

std::optional<Utf8Text> convert_text_argument(PyObject* object, std::string_view name) {
  if (is_text(object)) {
    std::optional<Utf8Text> text = utf8_text_of(object);
    if (!text) wrap_argument_error(name);
    return text;
  }
  PyRef type_name = type_name_of(object);
  if (type_name) {
    PyRef message(
        PyUnicode_FromFormat("'%U' object cannot be converted to 'PyString'", type_name.get()));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
  }
  wrap_argument_error(name);
  return std::nullopt;
}

std::optional<double> convert_double_argument(PyObject* object, std::string_view name) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    wrap_argument_error(name);
    return std::nullopt;
  }
  return value;
}

bool check_finite_argument(double value, std::string_view name) {
  if (std::isfinite(value)) return true;
  const char* shown = std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
  const std::string message =
      "argument '" + std::string(name) + "': must be a finite number, got " + shown;
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

void choose_text_conversion() {
  if (!running_release_at_least(3, 10)) return;
  utf8_and_size = reinterpret_cast<Utf8AndSizeFunction>(interpreter_function("PyUnicode_AsUTF8AndSize"));
}

void wrap_argument_error(std::string_view name) {
  PendingError error = PendingError::take();
  if (error.type.get() != PyExc_TypeError || !error.value) {
    error.restore();
    return;
  }
  PyRef text = printable_text(error.value.get());
  if (!text) return;  // the failure to make even the stand-in text is pending
  const std::string parameter(name);
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", parameter.c_str(), text.get()));
  if (!message) return;
  PyRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(error.value.get()); cause != nullptr) {
    PyException_SetCause(replacement.get(), cause);  // steals the new reference
  }
  PyErr_Restore(new_reference(PyExc_TypeError), replacement.release(), nullptr);
}

}  // namespace pyext
