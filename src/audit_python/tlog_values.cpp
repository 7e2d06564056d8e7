#include "tlog_values.h"

#include <variant>

#include "cli/inputs.h"
#include "errors.h"
#include "values.h"

namespace audit_python {

using ledger::Failure;
using ledger::FailureKind;
using ledger::Result;
using ledger::tlog::ConsistencyProof;
using ledger::tlog::Hash;
using ledger::tlog::InclusionProof;
using ledger::tlog::TreeNote;
using pyext::PyRef;

namespace {

std::string_view bytes_of(const std::array<std::uint8_t, 32>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A tuple of the objects `make` gives for each element; null on a failure.
template <typename Items, typename Make>
PyRef tuple_of(const Items& items, Make make) {
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return tuple;
  Py_ssize_t at = 0;
  for (const auto& item : items) {
    PyRef element = make(item);
    if (!element || PyTuple_SetItem(tuple.get(), at++, element.release()) != 0) return PyRef();
  }
  return tuple;
}

PyRef hashes_object(const std::vector<Hash>& hashes) {
  return tuple_of(hashes, [](const Hash& hash) { return bytes_object(bytes_of(hash)); });
}

PyRef optional_text_object(const std::optional<std::string_view>& text) {
  if (!text) return PyRef::borrow(Py_None);
  return text_object(*text);
}

PyRef inclusion_object(const InclusionProof& proof) {
  PyRef hashes = hashes_object(proof.hashes);
  PyRef line = optional_text_object(proof.line);
  PyRef text = text_object(ledger::tlog::format_proof(proof));
  if (!hashes || !line || !text) return PyRef();
  const std::string_view leaf = bytes_of(proof.leaf_hash);
  return PyRef(Py_BuildValue("(sKKy#OOO)", "inclusion",
                             static_cast<unsigned long long>(proof.index),
                             static_cast<unsigned long long>(proof.tree_size), leaf.data(),
                             static_cast<Py_ssize_t>(leaf.size()), hashes.get(), line.get(),
                             text.get()));
}

PyRef consistency_object(const ConsistencyProof& proof) {
  PyRef hashes = hashes_object(proof.hashes);
  PyRef text = text_object(ledger::tlog::format_proof(proof));
  if (!hashes || !text) return PyRef();
  return PyRef(Py_BuildValue("(sKKOO)", "consistency",
                             static_cast<unsigned long long>(proof.old_size),
                             static_cast<unsigned long long>(proof.new_size), hashes.get(),
                             text.get()));
}

// A text the package made from a record is not what the library reads.
template <typename T>
Result<T> read_again(Result<T> read) {
  if (read) return read;
  return ledger::fail(Failure::internal("a record's text does not read back: " + read.error().message()));
}

}  // namespace

PyRef signer_object(const ledger::tlog::SignerKey& key) {
  PyRef name = text_object(key.name);
  PyRef text = text_object(ledger::tlog::format_signer(key));
  PyRef verifier = text_object(ledger::tlog::format_verifier(ledger::tlog::verifier_of(key)));
  if (!name || !text || !verifier) return PyRef();
  const std::string_view public_key = bytes_of(key.key);
  return PyRef(Py_BuildValue("(OkOy#O)", name.get(), static_cast<unsigned long>(key.hash), text.get(),
                             public_key.data(), static_cast<Py_ssize_t>(public_key.size()),
                             verifier.get()));
}

PyRef verifier_object(const ledger::tlog::VerifierKey& key) {
  PyRef name = text_object(key.name);
  PyRef text = text_object(ledger::tlog::format_verifier(key));
  if (!name || !text) return PyRef();
  const std::string_view public_key = bytes_of(key.key);
  return PyRef(Py_BuildValue("(Oky#O)", name.get(), static_cast<unsigned long>(key.hash),
                             public_key.data(), static_cast<Py_ssize_t>(public_key.size()),
                             text.get()));
}

PyRef note_object(const TreeNote& note) {
  PyRef text = text_object(note.text);
  PyRef origin = text_object(note.origin);
  PyRef head = optional_text_object(note.chain_head());
  PyRef extensions =
      tuple_of(note.extensions, [](const std::string& line) { return text_object(line); });
  PyRef signatures = tuple_of(note.signatures, [](const ledger::tlog::NoteSignature& signature) {
    PyRef name = text_object(signature.name);
    if (!name) return PyRef();
    return PyRef(Py_BuildValue("(Ok)", name.get(), static_cast<unsigned long>(signature.hash)));
  });
  PyRef body = text_object(note.body);
  if (!text || !origin || !head || !extensions || !signatures || !body) return PyRef();
  const std::string_view root = bytes_of(note.root);
  return PyRef(Py_BuildValue("(OOKy#OOOO)", text.get(), origin.get(),
                             static_cast<unsigned long long>(note.size), root.data(),
                             static_cast<Py_ssize_t>(root.size()), head.get(), extensions.get(),
                             signatures.get(), body.get()));
}

PyRef proof_object(const ledger::tlog::Proof& proof) {
  if (const auto* inclusion = std::get_if<InclusionProof>(&proof)) return inclusion_object(*inclusion);
  return consistency_object(std::get<ConsistencyProof>(proof));
}

std::optional<std::optional<std::string>> optional_bytes_value(PyObject* object, const char* what) {
  if (object == Py_None) return std::optional<std::string>();
  std::optional<std::string> bytes = bytes_value(object, what);
  if (!bytes) return std::nullopt;
  return bytes;
}

Result<TreeNote> note_of(std::string_view text) {
  return read_again(ledger::tlog::parse_note(text));
}

Result<ledger::tlog::VerifierKey> verifier_of_text(std::string_view text) {
  return read_again(ledger::tlog::parse_verifier(text));
}

Result<ledger::tlog::SignerKey> signer_of_text(std::string_view text) {
  return read_again(ledger::tlog::parse_signer(text));
}

std::string readable_path(const std::string& path) { return path == "-" ? "./-" : path; }

PyObject* raise_input_failure(const Failure& failure, std::string_view what, std::string_view path,
                              PyObject* filename) {
  if (failure.kind() != FailureKind::kInvalidArgument) return raise_failure(failure, filename);
  return raise_failure(Failure::invalid_argument(ledger::cli::input_error_text(what, path, failure)));
}

}  // namespace audit_python
