// Proofs: made from a ledger file as `quorvel-ledger prove` makes them, read,
// and checked against checkpoint notes as `check-proof` checks them.
#include <atomic>
#include <functional>
#include <initializer_list>
#include <string>
#include <variant>

#include "audit/file_proof.h"
#include "cli/report.h"
#include "errors.h"
#include "ledger/platform.h"
#include "released.h"
#include "tlog/json.h"
#include "tlog/proof_check.h"
#include "tlog_parts.h"
#include "tlog_values.h"
#include "values.h"

namespace audit_python {

using ledger::Failure;
using ledger::Result;
using ledger::tlog::ConsistencyProof;
using ledger::tlog::InclusionProof;
using ledger::tlog::TreeNote;
using ledger::tlog::display;
using pyext::PyRef;

namespace {

std::string_view view_of(const char* data, Py_ssize_t size) {
  return {data, static_cast<std::size_t>(size)};
}

// What the caller asked a proof of: the notes, and for an inclusion proof the entry.
struct ProofTarget {
  TreeNote note;
  std::optional<TreeNote> old;
  std::optional<std::uint64_t> entry;
};

// Whether a proof can be asked for `target` at all, as prove checks it.
Result<void> check_target(const ProofTarget& target) {
  if (target.entry && *target.entry >= target.note.size) {
    return ledger::fail(Failure::invalid_argument(
        "entry " + std::to_string(*target.entry) + " is not in the checkpoint's tree of size " +
        std::to_string(target.note.size)));
  }
  if (!target.old) return {};
  if (target.old->origin != target.note.origin) {
    return ledger::fail(Failure::invalid_argument("the checkpoints have different origins: " +
                                                  display(target.old->origin) + " and " +
                                                  display(target.note.origin)));
  }
  if (target.old->size > target.note.size) {
    return ledger::fail(Failure::invalid_argument(
        "the old checkpoint (size " + std::to_string(target.old->size) +
        ") is not older than the new one (size " + std::to_string(target.note.size) + ")"));
  }
  return {};
}

// (kind, value): ("proof", proof tuple), ("broken", the break's first report
// line) or ("refused", why the file gives no proof for a note).
PyObject* proof_result(std::string_view path, const ProofTarget& target,
                       const ledger::audit::NoteProof& made) {
  if (made.break_found) {
    PyRef message = text_object(ledger::cli::break_summary(path, *made.break_found));
    if (!message) return nullptr;
    return Py_BuildValue("(sO)", "broken", message.get());
  }
  if (made.refused != nullptr) {
    const std::uint64_t size = made.refused->size;
    const char* which = made.refused != &target.note ? "old checkpoint's"
                        : target.old                 ? "new checkpoint's"
                                                     : "checkpoint's";
    PyRef message = text_object(display(path) + ": its first " + std::to_string(size) +
                                (size == 1 ? " entry line" : " entry lines") + " no longer give the " +
                                which + " root hash: no proof");
    if (!message) return nullptr;
    return Py_BuildValue("(sO)", "refused", message.get());
  }
  PyRef proof = proof_object(*made.proof);
  if (!proof) return nullptr;
  return Py_BuildValue("(sO)", "proof", proof.get());
}

// prove's arguments.
struct ProveArgs {
  std::string path;
  PyObject* filename = nullptr;  // borrowed: the path as the caller gave it
  ProofTarget target;
};

// Nullopt with an exception set when the arguments do not do.
std::optional<ProveArgs> read_prove_args(PyObject* args) {
  ProveArgs out;
  const char *path_data = nullptr, *note_text = nullptr;
  Py_ssize_t path_size = 0, note_size = 0;
  PyObject *entry = nullptr, *old = nullptr;
  if (!PyArg_ParseTuple(args, "y#Oy#OO", &path_data, &path_size, &out.filename, &note_text,
                        &note_size, &entry, &old)) {
    return std::nullopt;
  }
  out.path.assign(path_data, static_cast<std::size_t>(path_size));
  auto note = note_of(view_of(note_text, note_size));
  if (!note) {
    raise_failure(note.error());
    return std::nullopt;
  }
  out.target.note = std::move(*note);
  if (entry != Py_None) {
    const unsigned long long index = PyLong_AsUnsignedLongLong(entry);
    if (PyErr_Occurred() != nullptr) return std::nullopt;
    out.target.entry = index;
  }
  auto old_text = optional_bytes_value(old, "old");
  if (!old_text) return std::nullopt;
  if (*old_text) {
    auto old_note = note_of(**old_text);
    if (!old_note) {
      raise_failure(old_note.error());
      return std::nullopt;
    }
    out.target.old = std::move(*old_note);
  }
  return out;
}

// The proof the caller handed back, read again.
Result<ledger::tlog::Proof> proof_of(std::string_view text) {
  auto proof = ledger::tlog::parse_proof(text);
  if (proof) return proof;
  return ledger::fail(Failure::internal("a proof's text does not read back: " + proof.error().message()));
}

// None when `verdict` is proven; its reason otherwise.
PyObject* verdict_object(const Result<std::string>& verdict) {
  if (verdict) return pyext::new_reference(Py_None);
  if (verdict.error().kind() != ledger::FailureKind::kInvalidArgument) {
    return raise_failure(verdict.error());
  }
  return text_object(verdict.error().message()).release();
}

// The verifier key of `object`, bytes or None; nullopt with an exception set
// for anything else.
std::optional<std::optional<ledger::tlog::VerifierKey>> optional_verifier(PyObject* object) {
  auto text = optional_bytes_value(object, "pub");
  if (!text) return std::nullopt;
  if (!*text) return std::optional<ledger::tlog::VerifierKey>();
  auto key = verifier_of_text(**text);
  if (!key) {
    raise_failure(key.error());
    return std::nullopt;
  }
  return std::optional(std::move(*key));
}

using LabelledNotes = std::initializer_list<std::pair<const char*, const TreeNote*>>;

// Why `key`, when given, does not vouch for the notes, each named by its
// label; nullopt when it does or when no key was given.
Result<std::optional<std::string>> unvouched(const std::optional<ledger::tlog::VerifierKey>& key,
                                             LabelledNotes notes) {
  if (!key) return std::optional<std::string>();
  for (const auto& [label, note] : notes) {
    auto why = ledger::tlog::unvouched_note(*note, *key);
    if (!why) return ledger::fail(std::move(why).error());
    if (*why) return std::string(label) + **why;
  }
  return std::optional<std::string>();
}

// Null with an exception set, or the reason the key does not vouch, or None
// when the proof holds, or its reason.
PyObject* check_result(const std::optional<ledger::tlog::VerifierKey>& key, LabelledNotes notes,
                       const std::function<Result<std::string>()>& check) {
  auto why = unvouched(key, notes);
  if (!why) return raise_failure(why.error());
  if (*why) return text_object(**why).release();
  return verdict_object(check());
}

}  // namespace

PyObject* prove_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const std::optional<ProveArgs> read = read_prove_args(args);
    if (!read) return nullptr;
    const auto& [path, filename, target] = *read;
    if (auto checked = check_target(target); !checked) return raise_failure(checked.error());
    auto file = ledger::platform::open_regular_for_read(path);
    if (!file) return raise_failure(file.error(), filename);
    std::optional<Result<ledger::audit::NoteProof>> made;
    std::atomic<bool> cancel{false};
    const bool done = run_released(
        [&] {
          made = ledger::audit::prove_for_notes(*file, target.note, target.entry,
                                                target.old ? &*target.old : nullptr);
        },
        cancel);
    if (!done) return nullptr;
    if (!*made) return raise_failure(made->error(), filename);
    return proof_result(path, target, **made);
  });
}

PyObject* parse_proof_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* text = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "y#", &text, &size)) return nullptr;
    auto proof = ledger::tlog::parse_proof(view_of(text, size));
    if (!proof) return raise_failure(proof.error());
    return proof_object(*proof).release();
  });
}

PyObject* check_inclusion_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char *proof_text = nullptr, *note_text = nullptr;
    Py_ssize_t proof_size = 0, note_size = 0;
    PyObject* key = nullptr;
    if (!PyArg_ParseTuple(args, "y#y#O", &proof_text, &proof_size, &note_text, &note_size, &key)) {
      return nullptr;
    }
    auto proof = proof_of(view_of(proof_text, proof_size));
    auto note = note_of(view_of(note_text, note_size));
    if (!proof) return raise_failure(proof.error());
    if (!note) return raise_failure(note.error());
    const auto* inclusion = std::get_if<InclusionProof>(&*proof);
    if (inclusion == nullptr) return raise_failure(Failure::internal("not an inclusion proof"));
    const auto verifier = optional_verifier(key);
    if (!verifier) return nullptr;
    return check_result(*verifier, {{"the checkpoint", &*note}},
                        [&] { return ledger::tlog::check_inclusion_proof(*inclusion, *note); });
  });
}

PyObject* check_consistency_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char *proof_text = nullptr, *old_text = nullptr, *new_text = nullptr;
    Py_ssize_t proof_size = 0, old_size = 0, new_size = 0;
    PyObject* key = nullptr;
    if (!PyArg_ParseTuple(args, "y#y#y#O", &proof_text, &proof_size, &old_text, &old_size,
                          &new_text, &new_size, &key)) {
      return nullptr;
    }
    auto proof = proof_of(view_of(proof_text, proof_size));
    auto old_note = note_of(view_of(old_text, old_size));
    auto new_note = note_of(view_of(new_text, new_size));
    if (!proof) return raise_failure(proof.error());
    if (!old_note) return raise_failure(old_note.error());
    if (!new_note) return raise_failure(new_note.error());
    const auto* consistency = std::get_if<ConsistencyProof>(&*proof);
    if (consistency == nullptr) return raise_failure(Failure::internal("not a consistency proof"));
    const auto verifier = optional_verifier(key);
    if (!verifier) return nullptr;
    return check_result(*verifier, {{"the new checkpoint", &*new_note}, {"the old checkpoint", &*old_note}},
                        [&] {
                          return ledger::tlog::check_consistency_proof(*consistency, *old_note,
                                                                       *new_note);
                        });
  });
}

}  // namespace audit_python
