#include "interpreter.h"

#include <cstdio>

#include "python_api.h"

namespace pyext {

bool running_release_at_least(unsigned major, unsigned minor) {
  // "3.11.2 (main, ...)": the running interpreter, whichever headers built us.
  unsigned running_major = 0;
  unsigned running_minor = 0;
  if (std::sscanf(Py_GetVersion(), "%u.%u", &running_major, &running_minor) != 2) return false;
  return running_major > major || (running_major == major && running_minor >= minor);
}

}  // namespace pyext
