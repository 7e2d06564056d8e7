// What the functions of keys, notes, checkpoints and proofs share: their
// inputs read from Python values and files, and their results as the plain
// values the package's records are made of (quorvel_ledger_audit/_tlog.py).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ledger/failure.h"
#include "python_api.h"
#include "tlog/note.h"
#include "tlog/proof.h"
#include "tlog/signing.h"

namespace audit_python {

// (name, key_hash, text, public_key, verifier_text): a signer key.
pyext::PyRef signer_object(const ledger::tlog::SignerKey& key);
// (name, key_hash, public_key, text): a verifier key.
pyext::PyRef verifier_object(const ledger::tlog::VerifierKey& key);
// (text, origin, size, root, head or None, extensions, ((name, key_hash), ...), body).
pyext::PyRef note_object(const ledger::tlog::TreeNote& note);
// ("inclusion", index, tree_size, leaf_hash, hashes, line or None, text) or
// ("consistency", old_size, new_size, hashes, text).
pyext::PyRef proof_object(const ledger::tlog::Proof& proof);

// The bytes of `object`, or nullopt for None; a TypeError naming `what` for
// anything else.
std::optional<std::optional<std::string>> optional_bytes_value(PyObject* object, const char* what);

// Texts the package hands back to the native part, read again. A failure to
// read them is an internal fault: the package made them from records that
// were read before.
ledger::Result<ledger::tlog::TreeNote> note_of(std::string_view text);
ledger::Result<ledger::tlog::VerifierKey> verifier_of_text(std::string_view text);
ledger::Result<ledger::tlog::SignerKey> signer_of_text(std::string_view text);

// The path a library reader is to open for the path the caller gave: the
// library takes "-" for standard input, a Python caller means the file "-".
std::string readable_path(const std::string& path);

// "PATH: cannot read the WHAT: ..." or "PATH: malformed WHAT: ..." as the tool
// says it, as ValueError; a failure of kind kIo as the OSError of `filename`.
PyObject* raise_input_failure(const ledger::Failure& failure, std::string_view what,
                              std::string_view path, PyObject* filename);

}  // namespace audit_python
