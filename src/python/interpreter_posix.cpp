#include <dlfcn.h>

#include "interpreter.h"
#include "python_api.h"

namespace pyext {

// The interpreter is the executable or a libpython loaded before the module,
// so its functions are in the process's global scope; they are used only when
// that scope's Py_GetVersion is the one this module is bound to (a process
// could hold another interpreter's library besides).
void* interpreter_function(const char* name) {
  if (::dlsym(RTLD_DEFAULT, "Py_GetVersion") != reinterpret_cast<void*>(&Py_GetVersion)) {
    return nullptr;
  }
  return ::dlsym(RTLD_DEFAULT, name);
}

}  // namespace pyext
