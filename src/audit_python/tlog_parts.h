// The functions of tlog_functions.cpp's table that live in files of their
// own: the checkpoint (checkpoint_function.cpp) and proofs
// (proof_functions.cpp). Each takes the module and a tuple of positional
// arguments, as METH_VARARGS functions do.
#pragma once

#include "python_api.h"

namespace audit_python {

// checkpoint(path, filename, since_note, signer_key, origin, strict, live, jobs)
PyObject* checkpoint_function(PyObject* module, PyObject* args);
// prove(path, filename, note, entry, old_note)
PyObject* prove_function(PyObject* module, PyObject* args);
// parse_proof(text)
PyObject* parse_proof_function(PyObject* module, PyObject* args);
// check_inclusion(proof, note, verifier_key)
PyObject* check_inclusion_function(PyObject* module, PyObject* args);
// check_consistency(proof, old_note, new_note, verifier_key)
PyObject* check_consistency_function(PyObject* module, PyObject* args);

}  // namespace audit_python
