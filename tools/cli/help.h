// The help texts: one per command, kept in one table so that a command is
// documented by adding its entry, and the overview (`quorvel-ledger --help`)
// is made from the table's synopses and summaries.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ledger::cli {

struct CommandHelp {
  std::string_view name;      // as typed on the command line
  std::string_view synopsis;  // the arguments, after the name
  std::string_view summary;   // one line for the overview
  std::string_view details;   // what it does and its options
  // Its exit status, where it is not the auditing commands' one.
  std::string_view exit_status = {};
};

// `quorvel-ledger --help`: every command's synopsis and summary.
std::string overview_help();

// `quorvel-ledger COMMAND --help`; nothing for a name that is not a command.
std::optional<std::string> command_help(std::string_view name);

}  // namespace ledger::cli
