// The module quorvel_ledger_audit._native: the native part of the package
// quorvel_ledger_audit, which makes its records out of the plain values
// (str, bytes, int, tuples, dicts) these functions return.
//
// Every function runs its work inside guarded() (values.h), so no C++
// exception reaches the interpreter; long ones release the interpreter lock
// (released.h).
#include <vector>

#include "functions.h"
#include "python_api.h"

namespace audit_python {
namespace {

// The joined table of every group, kept for the life of the process: the
// module's definition points into it.
std::vector<PyMethodDef>& method_table() {
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> joined;
    for (const PyMethodDef* group : {audit_functions(), tlog_functions()}) {
      for (const PyMethodDef* method = group; method->ml_name != nullptr; ++method) {
        joined.push_back(*method);
      }
    }
    joined.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return joined;
  }();
  return table;
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorvel_ledger_audit._native",
    "The native part of quorvel_ledger_audit; use the package, not this module.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace audit_python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  try {
    audit_python::module_definition.m_methods = audit_python::method_table().data();
  } catch (...) {
    PyErr_NoMemory();
    return nullptr;
  }
  return PyModule_Create2(&audit_python::module_definition, PYTHON_ABI_VERSION);
}
