#include "functions.h"

namespace audit_python {

namespace {

PyMethodDef tlog_table[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* tlog_functions() { return tlog_table; }

}  // namespace audit_python
