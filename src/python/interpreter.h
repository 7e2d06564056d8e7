// The running interpreter's own exported functions, looked up by name, for
// calls that entered the stable ABI after the oldest release the module
// supports: the module uses them only where the running release has them.
#pragma once

namespace pyext {

// Whether the running interpreter is CPython major.minor or later.
bool running_release_at_least(unsigned major, unsigned minor);

// The address of the interpreter's function `name`, or null when the process
// does not export it (an interpreter embedded without exporting its symbols).
void* interpreter_function(const char* name);

}  // namespace pyext
