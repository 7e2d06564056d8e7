// Runs a command and prints its peak resident memory in KiB.
//
//   peak COMMAND [ARGS...]
//
// The kernel carries a process's peak over exec, so a command forked from a
// large process (a Python interpreter) reports at least that process's size.
// Forked from this small program instead, the figure is the command's own.
// Exits with the command's status (1 if it could not run or was killed).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: peak COMMAND [ARGS...]\n");
    return 2;
  }
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) return 1;
  std::printf("%ld\n", usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
