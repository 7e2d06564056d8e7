// The help texts, made from the command table: the overview
// (`quorvel-ledger --help`) from the synopses and summaries, and each
// command's help from its description and options.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ledger::cli {

// `quorvel-ledger --help`: every command's synopsis and summary.
std::string overview_help();

// `quorvel-ledger COMMAND --help`; nothing for a name that is not a command.
std::optional<std::string> command_help(std::string_view name);

}  // namespace ledger::cli
