// The table of the tool's commands: for each its name, synopsis, summary and
// help, its options and operands, the usage checks that involve several of
// them, and the function that runs it. The parser, each command's --help, the
// overview and whether an option applies all come from it, so a command or an
// option is added here, in one place.
#pragma once

#include <span>
#include <string_view>

#include "cli/command.h"
#include "cli/options.h"
#include "ledger/failure.h"

namespace ledger::cli {

struct CommandSpec {
  CommandSyntax syntax;
  std::string_view synopsis;     // the arguments, after the name
  std::string_view summary;      // one line for the overview
  std::string_view description;  // what it does; the help lists the options after it
  // Its exit status, where it is not the auditing commands' one.
  std::string_view exit_status = {};
  // The usage errors that involve several options, or options and operands.
  Result<void> (*check)(const CommandLine&) = nullptr;
  int (*run)(const CommandLine&, const Io&) = nullptr;
};

// The commands, in the order the overview lists them.
std::span<const CommandSpec> command_table();

// The command named `name`, or nullptr.
const CommandSpec* find_command(std::string_view name);

// The first option of any command named `name` (or with that short form), or nullptr.
const OptionSpec* find_any_option(std::string_view name);

// The commands, each in its own file (verify_command.cpp, ...).
Result<void> check_verify(const CommandLine& line);
int run_verify(const CommandLine& line, const Io& io);
Result<void> check_checkpoint(const CommandLine& line);
int run_checkpoint(const CommandLine& line, const Io& io);
Result<void> check_head(const CommandLine& line);
int run_head(const CommandLine& line, const Io& io);
Result<void> check_export(const CommandLine& line);
int run_export(const CommandLine& line, const Io& io);
Result<void> check_keygen(const CommandLine& line);
int run_keygen(const CommandLine& line, const Io& io);
Result<void> check_prove(const CommandLine& line);
int run_prove(const CommandLine& line, const Io& io);
Result<void> check_check_proof(const CommandLine& line);
int run_check_proof(const CommandLine& line, const Io& io);

}  // namespace ledger::cli
