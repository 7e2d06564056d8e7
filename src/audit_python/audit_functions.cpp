// audit() and entries(): the ledger's verdict and its entries, for the
// package's _audit.py and _entries.py, which make the records.
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "audit/audit.h"
#include "cli/command.h"
#include "cli/report.h"
#include "entry_stream.h"
#include "errors.h"
#include "functions.h"
#include "ledger/platform.h"
#include "ledger_audit.h"
#include "released.h"
#include "values.h"

namespace audit_python {

using pyext::PyRef;
using pyext::new_reference;

namespace {

// The arguments' inputs as the Python layer passes them: (path, name, text),
// the path and text as bytes or None, the name the object an OSError names.
struct InputArgument {
  AuditInput input;
  PyObject* name = nullptr;  // borrowed from the arguments
};

std::optional<InputArgument> input_argument(PyObject* tuple, const char* what) {
  PyObject* path = nullptr;
  PyObject* name = nullptr;
  PyObject* text = nullptr;
  if (!PyArg_ParseTuple(tuple, "OOO", &path, &name, &text)) return std::nullopt;
  InputArgument argument;
  argument.name = name;
  if (path != Py_None) {
    auto value = bytes_value(path, what);
    if (!value) return std::nullopt;
    argument.input.path = std::move(*value);
    return argument;
  }
  auto value = bytes_value(text, what);
  if (!value) return std::nullopt;
  argument.input.text = std::move(*value);
  return argument;
}

std::optional<std::optional<InputArgument>> optional_input(PyObject* object, const char* what) {
  if (object == Py_None) return std::optional<InputArgument>();
  auto argument = input_argument(object, what);
  if (!argument) return std::nullopt;
  return std::optional<InputArgument>(std::move(*argument));
}

// The number of jobs of an int object; ValueError outside 1 to kMaxJobs.
std::optional<unsigned> jobs_value(PyObject* object) {
  const Py_ssize_t jobs = PyLong_AsSsize_t(object);
  if (jobs == -1 && PyErr_Occurred() != nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
    PyErr_Clear();
  } else if (jobs >= 1 && jobs <= static_cast<Py_ssize_t>(ledger::cli::kMaxJobs)) {
    return static_cast<unsigned>(jobs);
  }
  PyErr_Format(PyExc_ValueError, "jobs takes a whole number from 1 to %u, not %R",
               ledger::cli::kMaxJobs, object);
  return std::nullopt;
}

// (json, entries, last_line, bytes, head, intact, notice or None)
PyObject* report_object(const AuditReport& report) {
  PyRef json = text_object(report.json);
  PyRef entries = number_object(report.entries);
  PyRef last_line = number_object(report.last_line);
  PyRef bytes = number_object(report.bytes);
  PyRef head = text_object(report.head);
  PyRef intact(PyBool_FromLong(report.intact ? 1 : 0));
  PyRef notice = report.notice ? text_object(*report.notice) : PyRef::borrow(Py_None);
  if (!json || !entries || !last_line || !bytes || !head || !intact || !notice) return nullptr;
  return PyTuple_Pack(7, json.get(), entries.get(), last_line.get(), bytes.get(), head.get(),
                      intact.get(), notice.get());
}

struct AuditCall {
  AuditArguments arguments;
  PyObject* names[3] = {nullptr, nullptr, nullptr};  // by AuditRole
};

std::optional<AuditCall> audit_call(PyObject* args) {
  PyObject *ledger = nullptr, *since = nullptr, *pub = nullptr, *jobs = nullptr;
  int strict = 0, live = 0;
  if (!PyArg_ParseTuple(args, "OOOppO", &ledger, &since, &pub, &strict, &live, &jobs)) {
    return std::nullopt;
  }
  auto ledger_input = input_argument(ledger, "path");
  if (!ledger_input) return std::nullopt;
  auto since_input = optional_input(since, "since");
  if (!since_input) return std::nullopt;
  auto pub_input = optional_input(pub, "pub");
  if (!pub_input) return std::nullopt;
  auto job_count = jobs_value(jobs);
  if (!job_count) return std::nullopt;
  if (!ledger_input->input.path) {
    PyErr_SetString(PyExc_TypeError, "path must be bytes");
    return std::nullopt;
  }
  AuditCall call;
  call.arguments.path = std::move(*ledger_input->input.path);
  call.names[static_cast<int>(AuditRole::kLedger)] = ledger_input->name;
  if (*since_input) {
    call.arguments.since = std::move((*since_input)->input);
    call.names[static_cast<int>(AuditRole::kSince)] = (*since_input)->name;
  }
  if (*pub_input) {
    call.arguments.pub = std::move((*pub_input)->input);
    call.names[static_cast<int>(AuditRole::kPub)] = (*pub_input)->name;
  }
  call.arguments.strict = strict != 0;
  call.arguments.live = live != 0;
  call.arguments.jobs = *job_count;
  return call;
}

// audit((path, name, None), since, pub, strict, live, jobs): since and pub
// are None or (path, name, text).
PyObject* audit_function(PyObject* /*module*/, PyObject* args) {
  return guarded([&]() -> PyObject* {
    std::optional<AuditCall> call = audit_call(args);
    if (!call) return nullptr;
    std::atomic<bool> cancel{false};
    std::optional<std::expected<AuditReport, AuditFailure>> result;
    if (!run_released([&] { result.emplace(run_audit(call->arguments, cancel)); }, cancel)) {
      return nullptr;
    }
    if (!*result) {
      const AuditFailure& failure = result->error();
      return raise_failure(failure.failure, call->names[static_cast<int>(failure.role)]);
    }
    return report_object(**result);
  });
}

// An entries() stream, owned by its capsule.
struct StreamHandle {
  std::unique_ptr<EntryStream> stream;
  std::string path;  // as given, for the break's message
  PyRef name;        // the path as the caller gave it, for an OSError
};

constexpr const char* kStreamName = "quorvel_ledger_audit._native.EntryStream";

void release_stream(PyObject* capsule) {
  auto* handle = static_cast<StreamHandle*>(PyCapsule_GetPointer(capsule, kStreamName));
  try {
    delete handle;
  } catch (...) {
    // The producer could not be joined (the system refused): nothing to do
    // from a destructor.
  }
}

StreamHandle* stream_of(PyObject* capsule) {
  return static_cast<StreamHandle*>(PyCapsule_GetPointer(capsule, kStreamName));
}

// entries_open(path, name, start, stop or None, verified) -> stream
PyObject* entries_open(PyObject* /*module*/, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *path = nullptr, *name = nullptr, *stop = nullptr;
    unsigned long long start = 0;
    int verified = 1;
    if (!PyArg_ParseTuple(args, "OOKOp", &path, &name, &start, &stop, &verified)) return nullptr;
    auto path_bytes = bytes_value(path, "path");
    if (!path_bytes) return nullptr;
    EntryRange range{.start = start, .verified = verified != 0};
    if (stop != Py_None) {
      range.stop = PyLong_AsUnsignedLongLong(stop);
      if (PyErr_Occurred() != nullptr) return nullptr;
    }
    auto file = ledger::platform::open_regular_for_read(*path_bytes);
    if (!file) return raise_failure(file.error(), name);
    auto handle = std::make_unique<StreamHandle>();
    handle->stream = std::make_unique<EntryStream>(std::move(*file), range);
    handle->path = std::move(*path_bytes);
    handle->name = PyRef::borrow(name);
    handle->stream->start();
    PyObject* capsule = PyCapsule_New(handle.get(), kStreamName, release_stream);
    if (capsule != nullptr) static_cast<void>(handle.release());
    return capsule;
  });
}

PyObject* entry_tuple(const EntryRecord& entry) {
  PyRef fields[] = {number_object(entry.index),    text_object(entry.timestamp),
                    text_object(entry.prev_hash),   text_object(entry.actor),
                    PyRef(PyFloat_FromDouble(entry.delta_i)), text_object(entry.payload),
                    text_object(entry.signature),   number_object(entry.line),
                    number_object(entry.offset)};
  for (const PyRef& field : fields) {
    if (!field) return nullptr;
  }
  return PyTuple_Pack(9, fields[0].get(), fields[1].get(), fields[2].get(), fields[3].get(),
                      fields[4].get(), fields[5].get(), fields[6].get(), fields[7].get(),
                      fields[8].get());
}

// entries_next(stream) -> [(index, timestamp, prev_hash, actor, delta_i,
// payload, signature, line, offset), ...]; [] once no entry is left.
PyObject* entries_next(PyObject* /*module*/, PyObject* capsule) {
  return guarded([&]() -> PyObject* {
    StreamHandle* handle = stream_of(capsule);
    if (handle == nullptr) return nullptr;
    EntryStream& stream = *handle->stream;
    if (!wait_released(stream.mutex(), stream.changed(), [&] { return stream.ready(); })) {
      return nullptr;
    }
    const EntryBatch batch = stream.take();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(batch.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < batch.size(); ++k) {
      PyObject* entry = entry_tuple(batch[k]);
      if (entry == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), entry);  // steals `entry`
    }
    return list.release();
  });
}

// entries_end(stream) -> None, or (the tool's first report line, the JSON
// report whose "break" is the break) once entries_next has given []; a read
// failure is raised.
PyObject* entries_end(PyObject* /*module*/, PyObject* capsule) {
  return guarded([&]() -> PyObject* {
    StreamHandle* handle = stream_of(capsule);
    if (handle == nullptr) return nullptr;
    const EntryStream& stream = *handle->stream;
    if (stream.stopped()) return new_reference(Py_None);
    if (stream.failure()) return raise_failure(*stream.failure(), handle->name.get());
    if (!stream.break_found()) return new_reference(Py_None);
    ledger::audit::Audit broken;
    broken.outcome = ledger::audit::Outcome::kBroken;
    broken.break_found = stream.break_found();
    PyRef summary = text_object(ledger::cli::break_summary(handle->path, *stream.break_found()));
    PyRef json = text_object(ledger::cli::audit_json("entries", handle->path, broken, std::nullopt));
    if (!summary || !json) return nullptr;
    return PyTuple_Pack(2, summary.get(), json.get());
  });
}

// entries_close(stream): stops and joins the producer; the stream gives nothing more.
PyObject* entries_close(PyObject* /*module*/, PyObject* capsule) {
  return guarded([&]() -> PyObject* {
    StreamHandle* handle = stream_of(capsule);
    if (handle == nullptr) return nullptr;
    handle->stream->stop();
    return new_reference(Py_None);
  });
}

PyMethodDef audit_table[] = {
    {"audit", audit_function, METH_VARARGS, nullptr},
    {"entries_open", entries_open, METH_VARARGS, nullptr},
    {"entries_next", entries_next, METH_O, nullptr},
    {"entries_end", entries_end, METH_O, nullptr},
    {"entries_close", entries_close, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* audit_functions() { return audit_table; }

}  // namespace audit_python
