// The command line of quorvel-ledger: parsing the arguments and running one
// command (help.cpp has every command's synopsis). main() is a thin shell
// around run().
//
// Exit status: 0 intact (head: found), 1 broken, 2 nothing proven (a usage
// error, a file or checkpoint that cannot be read, a checkpoint of another
// ledger, an internal fault).
#pragma once

#include <cstdio>
#include <optional>
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

// One word after the command, as every command reads it: after "--" (which
// ends the options), "-" and words that do not start with '-' are operands;
// "--name=value" is an option with its value.
struct ArgWord {
  enum class Kind { kOperand, kEndOfOptions, kOption };
  Kind kind;
  std::string_view name;                 // kOption: up to any '='
  std::optional<std::string_view> value;  // kOption: what follows '=', if any
};
ArgWord classify_arg(std::string_view arg, bool options_done);

// Whether `args` (the command first) asks for the command's help: "--help" or
// "-h" before any "--". It wins over anything else on the line, errors included.
bool asks_for_help(std::span<const std::string_view> args);

// Runs the command in `args` (without the program name) and returns the exit status.
int run(std::span<const std::string_view> args, const Io& io);

}  // namespace ledger::cli
