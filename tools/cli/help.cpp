#include "cli/help.h"

#include <algorithm>

#include "cli/commands.h"
#include "cli/report.h"

namespace ledger::cli {
namespace {

constexpr std::string_view kExitStatus =
    "exit status: 0 intact, 1 broken, 2 nothing proven (bad usage, unreadable file or\n"
    "checkpoint, checkpoint of another ledger)\n";

// An option's help lines start in this column; its label is indented by two.
constexpr std::size_t kHelpColumn = 22;

// "  --name VALUE        help", the help's further lines indented as far.
std::string option_help(const OptionSpec& option) {
  std::string label(option.label);
  if (label.empty()) {
    label = option.name;
    if (!option.metavar.empty()) label.append(" ").append(option.metavar);
  }
  std::string out = "  " + label;
  // A label too long for the column puts its help on the next line.
  if (out.size() + 2 > kHelpColumn) {
    out.append("\n").append(kHelpColumn, ' ');
  } else {
    out.append(kHelpColumn - out.size(), ' ');
  }
  for (const char c : option.help) {
    out += c;
    if (c == '\n') out.append(kHelpColumn, ' ');
  }
  return out + "\n";
}

}  // namespace

std::string overview_help() {
  std::size_t width = 0;
  for (const CommandSpec& c : command_table()) width = std::max(width, c.syntax.name.size());
  std::string out;
  for (const CommandSpec& c : command_table()) {
    out += out.empty() ? "usage: " : "       ";
    out.append(kProgram).append(" ").append(c.syntax.name);
    out.append(width - c.syntax.name.size() + 1, ' ').append(c.synopsis).append("\n");
  }
  out.append("       ").append(kProgram).append(" COMMAND --help\n");
  out.append("       ").append(kProgram).append(" --help | --version\n\n");
  for (const CommandSpec& c : command_table()) {
    out.append(c.syntax.name).append(std::max<std::size_t>(width, 10) - c.syntax.name.size() + 2, ' ');
    out.append(c.summary).append("\n");
  }
  out.append("\nRun '").append(kProgram).append(" COMMAND --help' for a command's options.\n\n");
  out.append(kExitStatus);
  return out;
}

std::optional<std::string> command_help(std::string_view name) {
  const CommandSpec* c = find_command(name);
  if (c == nullptr) return std::nullopt;
  std::string out = "usage: ";
  out.append(kProgram).append(" ").append(c->syntax.name).append(" ").append(c->synopsis);
  out.append("\n\n").append(c->description);
  std::string options;
  for (const OptionSpec& option : c->syntax.options) {
    if (!option.help.empty()) options += option_help(option);
  }
  if (!options.empty()) out.append("\n").append(options);
  out.append("\n").append(c->exit_status.empty() ? kExitStatus : c->exit_status);
  return out;
}

}  // namespace ledger::cli
