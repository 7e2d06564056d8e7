// checkpoint(): the audit of a ledger, then the note `quorvel-ledger
// checkpoint` prints for it, made by the same library calls.
#include <atomic>
#include <string>

#include "audit/audit.h"
#include "audit/checkpoint_note.h"
#include "cli/report.h"
#include "errors.h"
#include "released.h"
#include "tlog/json.h"
#include "tlog_parts.h"
#include "tlog_values.h"
#include "values.h"

namespace audit_python {

using ledger::Failure;
using ledger::audit::Audit;
using ledger::audit::AuditOptions;
using ledger::audit::Checkpoint;
using ledger::audit::ErrorKind;
using ledger::audit::Outcome;
using pyext::PyRef;

namespace {

struct CheckpointRequest {
  std::string path;
  PyObject* filename = nullptr;  // borrowed: the path as the caller gave it
  std::optional<Checkpoint> since;
  std::optional<ledger::tlog::SignerKey> key;
  std::optional<std::string> origin;
  AuditOptions options;
};

// Nullopt with an exception set when the arguments do not do.
std::optional<CheckpointRequest> read_request(PyObject* args) {
  CheckpointRequest request;
  const char* path = nullptr;
  Py_ssize_t path_size = 0;
  PyObject *since = nullptr, *key = nullptr, *origin = nullptr;
  int strict = 0, live = 0;
  unsigned int jobs = 1;
  if (!PyArg_ParseTuple(args, "y#OOOOppI", &path, &path_size, &request.filename, &since, &key,
                        &origin, &strict, &live, &jobs)) {
    return std::nullopt;
  }
  request.path.assign(path, static_cast<std::size_t>(path_size));
  auto since_text = optional_bytes_value(since, "since");
  auto key_text = optional_bytes_value(key, "key");
  auto origin_text = optional_bytes_value(origin, "origin");
  if (!since_text || !key_text || !origin_text) return std::nullopt;
  if (*since_text) {
    auto checkpoint = ledger::audit::parse_any_checkpoint(**since_text);
    if (!checkpoint || !checkpoint->note) {
      raise_failure(Failure::internal("the since note does not read back"));
      return std::nullopt;
    }
    request.since = std::move(*checkpoint);
  }
  if (*key_text) {
    auto signer = signer_of_text(**key_text);
    if (!signer) {
      raise_failure(signer.error());
      return std::nullopt;
    }
    request.key = std::move(*signer);
  }
  if (*origin_text && !ledger::audit::is_checkpoint_origin(**origin_text)) {
    raise_failure(Failure::invalid_argument("origin takes a non-empty line of UTF-8 text without "
                                            "control characters, not " +
                                            ledger::tlog::display(**origin_text)));
    return std::nullopt;
  }
  // As the tool: the new note keeps the origin of the since note unless told another.
  request.origin = *origin_text ? std::move(*origin_text)
                   : request.since ? std::optional(request.since->note->origin)
                                   : std::nullopt;
  request.options.walk.jobs = jobs;
  request.options.walk.strict = strict != 0;
  request.options.live = live != 0;
  request.options.since = request.since;
  request.options.tree = true;
  return request;
}

// The exception of an audit that ended in an error.
PyObject* raise_audit_error(const CheckpointRequest& request, const Audit& audit) {
  switch (audit.error_kind) {
    case ErrorKind::kCannotOpen:
    case ErrorKind::kCannotRead:
    case ErrorKind::kInternal:
      return raise_failure(*audit.error, request.filename);
    case ErrorKind::kOtherLedger:
    case ErrorKind::kBadCheckpoint:
    case ErrorKind::kCount_:
      break;
  }
  const std::optional<ledger::cli::SinceCheckpoint> since =
      request.since ? std::optional(ledger::cli::SinceCheckpoint{*request.since, false})
                    : std::nullopt;
  return raise_failure(
      Failure::invalid_argument(ledger::cli::audit_error_text(request.path, audit, since)));
}

// ("note", note tuple) of an intact audit.
PyObject* note_result(const CheckpointRequest& request, const Audit& audit) {
  auto made = ledger::audit::make_checkpoint(audit, request.origin, request.key, "origin=");
  if (!made) {
    const Failure& failure = made.error();
    if (failure.kind() != ledger::FailureKind::kInvalidArgument) return raise_failure(failure);
    return raise_failure(Failure::invalid_argument(ledger::tlog::display(request.path) + ": " +
                                                   failure.message()));
  }
  PyRef note = note_object(*made->note);
  if (!note) return nullptr;
  return Py_BuildValue("(sO)", "note", note.get());
}

}  // namespace

PyObject* checkpoint_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    std::optional<CheckpointRequest> read = read_request(args);
    if (!read) return nullptr;
    const CheckpointRequest& request = *read;
    Audit audit;
    std::atomic<bool> cancel{false};
    const bool done = run_released(
        [&] { audit = ledger::audit::audit_ledger(request.path, request.options); }, cancel);
    if (!done) return nullptr;
    switch (audit.outcome) {
      case Outcome::kIntact:
        return note_result(request, audit);
      case Outcome::kBroken: {
        PyRef message = text_object(ledger::cli::break_summary(request.path, *audit.break_found));
        if (!message) return nullptr;
        return Py_BuildValue("(sO)", "broken", message.get());
      }
      case Outcome::kError:
        break;
    }
    return raise_audit_error(request, audit);
  });
}

}  // namespace audit_python
