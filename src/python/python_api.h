// The extension's one view of CPython: the limited C API of the oldest release
// the module supports, so that one binary (quorvel_ledger_rs.abi3.so) loads on
// that release and on every later CPython 3.
//
// Every source of the extension includes this header instead of <Python.h>.
// scripts/check-abi3-symbols preprocesses it too, to learn which names the
// limited API of that release declares.
//
// Reference counts are changed only through the functions Py_IncRef and
// Py_DecRef, never through the Py_INCREF / Py_DECREF macros: depending on the
// headers the module is built against, those expand to code that touches
// object layout details or calls helpers (_Py_Dealloc) that are not part of
// the oldest stable ABI.
#pragma once

// CPython 3.6: everything the module calls has been in the stable ABI since 3.4.
#define Py_LIMITED_API 0x03060000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pyext {

// One strong reference, released when the holder goes. Move-only.
class PyRef {
 public:
  PyRef() = default;
  // Takes over `owned` (a new reference, or null).
  explicit PyRef(PyObject* owned) : object_(owned) {}
  // Adds a reference to `object` (which may be null) and holds it.
  static PyRef borrow(PyObject* object) {
    Py_IncRef(object);
    return PyRef(object);
  }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_DecRef(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_DecRef(object_); }  // Py_DecRef accepts null

  PyObject* get() const { return object_; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// A new reference to `object`.
inline PyObject* new_reference(PyObject* object) {
  Py_IncRef(object);
  return object;
}

// The exception an interpreter call left pending, taken out of the
// interpreter's error indicator and normalised. Empty when none was pending.
struct PendingError {
  PyRef type;
  PyRef value;
  PyRef traceback;

  // Takes (fetches and clears) the pending exception.
  static PendingError take() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    return {PyRef(type), PyRef(value), PyRef(traceback)};
  }

  // Makes this the pending exception again; leaves this record empty.
  void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

}  // namespace pyext
