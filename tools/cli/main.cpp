// quorvel-ledger: an auditor's tool for hash-chained ledger files.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "cli/command.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "ledger/platform.h"

int main(int argc, char** argv) {
  // Past a file size limit (ulimit -f) a write then fails with EFBIG, which
  // the tool reports, instead of the signal ending it without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const ledger::cli::Io io{stdout, stderr, ledger::platform::stderr_is_terminal(),
                          ledger::cli::plain_terminal(std::getenv("TERM"))};
  int status = ledger::cli::run(args, io);
  // A report that did not reach its reader is not a result: say so, and fail.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "%s: %s\n", ledger::cli::kProgram.data(),
                 ledger::cli::output_error_text(std::strerror(errno)).c_str());
    status = ledger::cli::kExitError;
  }
  return status;
}
