// Keys and notes; the table of every function of keys, notes, checkpoints
// and proofs. Texts and paths come as bytes (the package encodes them), with
// the path object as the caller gave it for the filename of an OSError.
#include <string>

#include "audit/checkpoint_note.h"
#include "cli/inputs.h"
#include "cli/key_files.h"
#include "errors.h"
#include "functions.h"
#include "tlog/json.h"
#include "tlog_parts.h"
#include "tlog_values.h"
#include "values.h"

namespace audit_python {

using ledger::Failure;
using ledger::tlog::SignatureCheck;
using pyext::PyRef;

namespace {

std::string text_of(const char* data, Py_ssize_t size) {
  return std::string(data, static_cast<std::size_t>(size));
}

// generate_key(name: bytes) -> signer tuple
PyObject* generate_key(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* name = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "y#", &name, &size)) return nullptr;
    auto key = ledger::tlog::generate_signer(std::string_view(name, static_cast<std::size_t>(size)));
    if (!key) return raise_failure(key.error());
    return signer_object(*key).release();
  });
}

// parse_signer_key(text: bytes) / parse_verifier_key(text: bytes)
template <bool kSigner>
PyObject* parse_key(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* text = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "y#", &text, &size)) return nullptr;
    const std::string_view view(text, static_cast<std::size_t>(size));
    if constexpr (kSigner) {
      auto key = ledger::tlog::parse_signer(view);
      if (!key) return raise_failure(key.error());
      return signer_object(*key).release();
    } else {
      auto key = ledger::tlog::parse_verifier(view);
      if (!key) return raise_failure(key.error());
      return verifier_object(*key).release();
    }
  });
}

// read_signer_key(path: bytes, filename) / read_verifier_key(path: bytes, filename)
template <bool kSigner>
PyObject* read_key(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    PyObject* filename = nullptr;
    if (!PyArg_ParseTuple(args, "y#O", &data, &size, &filename)) return nullptr;
    const std::string path = text_of(data, size);
    if constexpr (kSigner) {
      auto key = ledger::cli::load_signer(readable_path(path));
      if (!key) return raise_input_failure(key.error(), "signer key", path, filename);
      return signer_object(*key).release();
    } else {
      auto key = ledger::cli::load_verifier(readable_path(path));
      if (!key) return raise_input_failure(key.error(), "verifier key", path, filename);
      return verifier_object(*key).release();
    }
  });
}

// write_key_files(signer_key: bytes, key_path: bytes, key_filename, pub_path: bytes, pub_filename)
PyObject* write_key_files(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* key_text = nullptr;
    const char* key_path = nullptr;
    const char* pub_path = nullptr;
    Py_ssize_t key_size = 0, key_path_size = 0, pub_path_size = 0;
    PyObject* key_filename = nullptr;
    PyObject* pub_filename = nullptr;
    if (!PyArg_ParseTuple(args, "y#y#Oy#O", &key_text, &key_size, &key_path, &key_path_size,
                          &key_filename, &pub_path, &pub_path_size, &pub_filename)) {
      return nullptr;
    }
    auto key = signer_of_text(std::string_view(key_text, static_cast<std::size_t>(key_size)));
    if (!key) return raise_failure(key.error());
    auto written = ledger::cli::write_key_files(*key, text_of(key_path, key_path_size),
                                                text_of(pub_path, pub_path_size));
    if (!written) {
      const ledger::cli::KeyFileFailure& failure = written.error();
      return raise_failure(failure.failure, failure.verifier ? pub_filename : key_filename);
    }
    return pyext::new_reference(Py_None);
  });
}

// parse_note(text: bytes) -> note tuple
PyObject* parse_note(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* text = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "y#", &text, &size)) return nullptr;
    auto checkpoint = ledger::audit::parse_any_checkpoint(std::string_view(text, static_cast<std::size_t>(size)));
    if (!checkpoint) return raise_failure(checkpoint.error());
    if (!checkpoint->note) {
      return raise_failure(Failure::invalid_argument(
          "a checkpoint line of the earlier form has no tree; make a new checkpoint"));
    }
    return note_object(*checkpoint->note).release();
  });
}

// read_note(path: bytes, filename, line_form_reason: bytes) -> note tuple;
// a checkpoint line of the earlier form is refused as "PATH: " and the reason.
PyObject* read_note(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* data = nullptr;
    const char* reason = nullptr;
    Py_ssize_t size = 0, reason_size = 0;
    PyObject* filename = nullptr;
    if (!PyArg_ParseTuple(args, "y#Oy#", &data, &size, &filename, &reason, &reason_size)) {
      return nullptr;
    }
    const std::string path = text_of(data, size);
    auto checkpoint = ledger::cli::load_any_checkpoint(readable_path(path));
    if (!checkpoint) return raise_input_failure(checkpoint.error(), "checkpoint", path, filename);
    if (!checkpoint->note) {
      return raise_failure(Failure::invalid_argument(ledger::tlog::display(path) + ": " +
                                                     text_of(reason, reason_size)));
    }
    return note_object(*checkpoint->note).release();
  });
}

// check_note_signature(note: bytes, verifier_key: bytes) -> "valid" | "missing" | "invalid"
PyObject* check_note_signature(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* note_text = nullptr;
    const char* key_text = nullptr;
    Py_ssize_t note_size = 0, key_size = 0;
    if (!PyArg_ParseTuple(args, "y#y#", &note_text, &note_size, &key_text, &key_size)) return nullptr;
    auto note = note_of(std::string_view(note_text, static_cast<std::size_t>(note_size)));
    if (!note) return raise_failure(note.error());
    auto key = verifier_of_text(std::string_view(key_text, static_cast<std::size_t>(key_size)));
    if (!key) return raise_failure(key.error());
    const auto check = ledger::tlog::check_note_signature(*note, *key);
    if (!check) return raise_failure(check.error());
    const char* names[] = {"valid", "missing", "invalid"};
    return text_object(names[static_cast<int>(*check)]).release();
  });
}

// display(text: bytes) -> str: `text` as the tool shows a value from its input.
PyObject* display(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* text = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "y#", &text, &size)) return nullptr;
    return text_object(ledger::tlog::display(std::string_view(text, static_cast<std::size_t>(size))))
        .release();
  });
}

// is_checkpoint_origin(origin: bytes) -> bool: whether a new note may carry it.
PyObject* is_checkpoint_origin(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* text = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "y#", &text, &size)) return nullptr;
    return PyBool_FromLong(ledger::audit::is_checkpoint_origin(
        std::string_view(text, static_cast<std::size_t>(size))));
  });
}

static_assert(static_cast<int>(SignatureCheck::kValid) == 0 &&
              static_cast<int>(SignatureCheck::kMissing) == 1 &&
              static_cast<int>(SignatureCheck::kInvalid) == 2);

PyMethodDef tlog_table[] = {
    {"generate_key", generate_key, METH_VARARGS, nullptr},
    {"parse_signer_key", parse_key<true>, METH_VARARGS, nullptr},
    {"parse_verifier_key", parse_key<false>, METH_VARARGS, nullptr},
    {"read_signer_key", read_key<true>, METH_VARARGS, nullptr},
    {"read_verifier_key", read_key<false>, METH_VARARGS, nullptr},
    {"write_key_files", write_key_files, METH_VARARGS, nullptr},
    {"parse_note", parse_note, METH_VARARGS, nullptr},
    {"read_note", read_note, METH_VARARGS, nullptr},
    {"check_note_signature", check_note_signature, METH_VARARGS, nullptr},
    {"display", display, METH_VARARGS, nullptr},
    {"is_checkpoint_origin", is_checkpoint_origin, METH_VARARGS, nullptr},
    {"checkpoint", checkpoint_function, METH_VARARGS, nullptr},
    {"prove", prove_function, METH_VARARGS, nullptr},
    {"parse_proof", parse_proof_function, METH_VARARGS, nullptr},
    {"check_inclusion", check_inclusion_function, METH_VARARGS, nullptr},
    {"check_consistency", check_consistency_function, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* tlog_functions() { return tlog_table; }

}  // namespace audit_python
