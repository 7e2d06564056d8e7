// The functions of quorvel_ledger_audit._native, in groups: each group's
// table ends with a zeroed sentinel, and module.cpp joins them.
#pragma once

#include "python_api.h"

namespace audit_python {

// audit, entries: reading and judging ledger files (audit_functions.cpp).
const PyMethodDef* audit_functions();
// keys, notes, checkpoints and proofs (tlog_functions.cpp).
const PyMethodDef* tlog_functions();

}  // namespace audit_python
