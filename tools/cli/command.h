// The command line of quorvel-ledger: it finds the command in the table
// (commands.h), reads its options and runs it. main() is a thin shell around
// run().
//
// Exit status: 0 intact (head: found), 1 broken, 2 nothing proven (a usage
// error, a file or checkpoint that cannot be read, a checkpoint of another
// ledger, an internal fault).
#pragma once

#include <cstdio>
#include <span>
#include <string_view>

namespace ledger::cli {

inline constexpr int kExitIntact = 0;
inline constexpr int kExitBroken = 1;
inline constexpr int kExitError = 2;

inline constexpr unsigned kMaxJobs = 256;

struct Io {
  std::FILE* out;        // reports and checkpoints
  std::FILE* err;        // errors, notes and the progress line
  bool err_is_terminal;  // draw the progress line
  // A terminal without cursor control (TERM=dumb or unset): the progress line
  // is drawn without escape sequences.
  bool err_plain = false;
};

// Runs the command in `args` (without the program name) and returns the exit status.
int run(std::span<const std::string_view> args, const Io& io);

}  // namespace ledger::cli
