// The module quorvel_ledger_rs and its one class, QuorvelRecorder.
//
// Initialisation is single-phase and happens once per process: the module
// object, the class object and the PanicException class are process-wide,
// made under the interpreter lock and kept to the end of the process. Every
// function the interpreter calls runs its work inside entry_frame, so no C++
// exception reaches the interpreter.
//
// The interpreter lock is never released: a recorder's lock is only ever taken
// by the thread holding the interpreter lock, and no Python code runs while it
// is held (all argument conversion finishes first).

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "arguments.h"
#include "exceptions.h"
#include "interpreter.h"
#include "ledger/open.h"
#include "ledger/recorder.h"
#include "python_api.h"

namespace pyext {
namespace {

constexpr char kModuleName[] = "quorvel_ledger_rs";
constexpr char kModuleDoc[] = "";
constexpr char kClassName[] = "QuorvelRecorder";
// Name given to PyType_FromSpec. Interpreters before 3.11 keep pointing at
// this text for the life of the class, so it must be static.
constexpr char kTypeSpecName[] = "builtins.QuorvelRecorder";
// The text signature "(log_path)" and an empty body.
constexpr char kClassDoc[] = "QuorvelRecorder(log_path)\n--\n\n";
constexpr char kCommitTruthDoc[] = "commit_truth($self, actor, delta, payload)\n--\n\n";
constexpr char kVerifyIntegrityDoc[] = "verify_integrity($self)\n--\n\n";
constexpr char kAlreadyInitialised[] =
    "the quorvel_ledger_rs extension module may only be initialized once per interpreter process";
constexpr char kClassCreationFailed[] = "An error occurred while initializing class QuorvelRecorder";
// Internal fault for a result the interpreter could not turn into an object.
constexpr char kPythonApiFailed[] = "Python API call failed";

constexpr ParameterList<1> kConstructorParameters{"QuorvelRecorder.__new__()", {"log_path"}};
constexpr ParameterList<3> kCommitTruthParameters{"QuorvelRecorder.commit_truth()",
                                                  {"actor", "delta", "payload"}};

// An instance: the object header and the recorder it owns. The recorder is
// made completely before the instance is allocated, so a live instance always
// has one.
struct RecorderObject {
  PyObject_HEAD
  ledger::Recorder* recorder;  // owned; released by the deallocator
};

ledger::Recorder& recorder_of(PyObject* self) {
  return *reinterpret_cast<RecorderObject*>(self)->recorder;
}

// Process-wide values; each holds one strong reference, kept to process end.
PyObject* module_object = nullptr;
PyObject* class_object = nullptr;

PyObject* recorder_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return entry_frame([&]() -> PyObject* {
    const auto bound = bind_arguments(kConstructorParameters, args, kwargs);
    if (!bound) return nullptr;
    const std::optional<Utf8Text> log_path = convert_text_argument((*bound)[0], "log_path");
    if (!log_path) return nullptr;

    auto recorder = std::make_unique<ledger::Recorder>(ledger::open_recorder(log_path->view()));

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(subtype, 0);
    if (self == nullptr) return fail_from_interpreter();  // the recorder is released
    reinterpret_cast<RecorderObject*>(self)->recorder = recorder.release();
    return self;
  });
}

// commit_truth with its arguments bound to actor, delta and payload.
PyObject* commit_bound(PyObject* self, const std::array<PyObject*, 3>& bound) {
  // Conversion may run Python code; keep the instance alive meanwhile.
  const PyRef keep_alive = PyRef::borrow(self);
  const std::optional<Utf8Text> actor = convert_text_argument(bound[0], "actor");
  if (!actor) return nullptr;
  const std::optional<double> delta = convert_double_argument(bound[1], "delta");
  if (!delta) return nullptr;
  const std::optional<Utf8Text> payload = convert_text_argument(bound[2], "payload");
  if (!payload) return nullptr;
  if (!check_finite_argument(*delta, "delta")) return nullptr;

  const ledger::Result<ledger::DigestHex> signature =
      recorder_of(self).commit(actor->view(), *delta, payload->view());
  if (!signature) return raise_ledger_failure(signature.error());

  PyObject* text =
      PyUnicode_FromStringAndSize(signature->data(), static_cast<Py_ssize_t>(signature->size()));
  if (text == nullptr) {
    PyErr_Print();
    return raise_internal_fault(kPythonApiFailed);
  }
  return text;
}

PyObject* recorder_commit_truth(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry_frame([&]() -> PyObject* {
    const auto bound = bind_arguments(kCommitTruthParameters, args, kwargs);
    return bound ? commit_bound(self, *bound) : nullptr;
  });
}

// The same, called with an argument array (no tuple is made for the call).
PyObject* recorder_commit_truth_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return entry_frame([&]() -> PyObject* {
    const auto bound =
        bind_arguments(kCommitTruthParameters, args, static_cast<std::size_t>(nargs), kwnames);
    return bound ? commit_bound(self, *bound) : nullptr;
  });
}

PyObject* recorder_verify_integrity(PyObject* self, PyObject* /*unused*/) {
  return entry_frame([&]() -> PyObject* {
    const PyRef keep_alive = PyRef::borrow(self);
    const ledger::Result<bool> intact = recorder_of(self).verify_integrity();
    if (!intact) return raise_ledger_failure(intact.error());
    return PyBool_FromLong(*intact ? 1 : 0);
  });
}

// The recorder's destructor cannot throw (it releases two strings and a
// mutex), so deallocation has no fault to report.
void recorder_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete std::exchange(reinterpret_cast<RecorderObject*>(self)->recorder, nullptr);
  auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_memory(self);
  // Instances of a heap type hold a reference to it (PyType_GenericAlloc took it).
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// Method functions are stored as PyCFunction whatever their real signature;
// the flags tell the interpreter how to call them. The detour through a
// function type without parameters is the conversion C++ allows silently.
template <typename Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <typename Function>
void* as_slot(Function function) {
  return reinterpret_cast<void*>(function);
}

// The calling convention that passes arguments as an array with a tuple of
// keyword names (METH_FASTCALL), part of the stable ABI since CPython 3.10,
// whose headers for older releases do not name it.
constexpr int kMethFastcall = 0x0080;

PyMethodDef recorder_methods[] = {
    {"commit_truth", as_method(&recorder_commit_truth), METH_VARARGS | METH_KEYWORDS,
     kCommitTruthDoc},
    {"verify_integrity", as_method(&recorder_verify_integrity), METH_NOARGS, kVerifyIntegrityDoc},
    {nullptr, nullptr, 0, nullptr},
};

// The same methods for interpreters that have kMethFastcall: commit_truth is
// then called without a tuple and a dictionary made for each call.
PyMethodDef recorder_methods_fast[] = {
    {"commit_truth", as_method(&recorder_commit_truth_fast), kMethFastcall | METH_KEYWORDS,
     kCommitTruthDoc},
    {"verify_integrity", as_method(&recorder_verify_integrity), METH_NOARGS, kVerifyIntegrityDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    kModuleName,  // m_name
    kModuleDoc,   // m_doc: empty, not null, so __doc__ is ""
    0,            // m_size
    nullptr,      // m_methods
    nullptr,      // m_slots: single-phase initialisation
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

// Makes the class object. On failure raises RuntimeError whose __cause__ is
// the interpreter's exception.
PyObject* make_class() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_new, as_slot(&recorder_new)},
      {Py_tp_methods, running_release_at_least(3, 10) ? recorder_methods_fast : recorder_methods},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, as_slot(&recorder_dealloc)},
      {0, nullptr},
  };
  PyType_Spec spec = {
      .name = kTypeSpecName,
      .basicsize = static_cast<int>(sizeof(RecorderObject)),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,  // no BASETYPE: no subclasses; no HAVE_GC
      .slots = slots,
  };
  PyObject* made = PyType_FromSpec(&spec);
  if (made != nullptr) return made;

  fail_from_interpreter();
  PendingError cause = PendingError::take();
  PyRef message(PyUnicode_FromString(kClassCreationFailed));
  if (!message) return nullptr;
  PyRef error(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, message.get(), nullptr));
  if (!error) return nullptr;
  PyException_SetCause(error.get(), cause.value.release());  // steals
  PyErr_Restore(new_reference(PyExc_RuntimeError), error.release(), nullptr);
  return nullptr;
}

// The class object (borrowed), made on first need.
PyObject* get_class_object() {
  if (class_object != nullptr) return class_object;
  PyObject* made = make_class();
  if (made == nullptr) return nullptr;
  // Making the class runs interpreter code, during which another thread may
  // have stored one first; that one stays.
  if (class_object != nullptr) {
    Py_DecRef(made);
  } else {
    class_object = made;
  }
  return class_object;
}

// Appends the class's name to the module's __all__ (made if missing) and
// publishes the class as a module attribute.
bool add_class(PyObject* module, PyObject* type) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef name(PyUnicode_FromString(kClassName));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttrString(module, kClassName, type) == 0;
}

PyObject* initialise_module() {
  if (module_object != nullptr) {
    PyErr_SetString(PyExc_ImportError, kAlreadyInitialised);
    return nullptr;
  }
  choose_text_conversion();
  PyRef module(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
  if (!module) return fail_from_interpreter();
  PyObject* type = get_class_object();
  if (type == nullptr || !add_class(module.get(), type)) return fail_from_interpreter();
  module_object = new_reference(module.get());
  return module.release();
}

}  // namespace
}  // namespace pyext

PyMODINIT_FUNC PyInit_quorvel_ledger_rs() {
  return pyext::entry_frame([] { return pyext::initialise_module(); });
}
