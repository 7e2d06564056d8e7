#include <dlfcn.h>

#include "interpreter.h"

namespace pyext {

// The interpreter is the executable or a libpython loaded before the module;
// either way its functions are in the process's global scope.
void* interpreter_function(const char* name) { return ::dlsym(RTLD_DEFAULT, name); }

}  // namespace pyext
