#include "cli/command.h"

#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "audit/parallel.h"
#include "cli/commands.h"
#include "cli/help.h"
#include "cli/options.h"
#include "cli/report.h"

namespace ledger::cli {
namespace {

constexpr std::string_view kVersionText =
    "quorvel-ledger " QUORVEL_LEDGER_VERSION " (checkpoint form v2)";

void print(std::FILE* to, std::string_view text) { std::fwrite(text.data(), 1, text.size(), to); }

int report_usage_error(const Io& io, const Failure& failure) {
  std::fprintf(io.err, "%s: %s\n", kProgram.data(), usage_error_text(failure).c_str());
  return kExitError;
}

// "--help", "--help COMMAND" and "--version": the words that stand for a command.
std::optional<int> run_program_word(std::span<const std::string_view> args, const Io& io) {
  const bool help = args[0] == "--help" || args[0] == "-h";
  const bool version = args[0] == "--version" || args[0] == "-V";
  if (!help && !version) return std::nullopt;
  if (help && args.size() == 2) {
    if (const auto text = command_help(args[1])) {
      print(io.out, *text);
      return kExitIntact;
    }
  }
  if (args.size() > 1) {
    return report_usage_error(io, usage_error("unexpected argument " + quoted(args[1])).error());
  }
  print(io.out, help ? overview_help() : std::string(kVersionText) + "\n");
  return kExitIntact;
}

int run_command(std::span<const std::string_view> args, const Io& io) {
  if (args.empty()) return report_usage_error(io, usage_error("no command given").error());
  if (const auto status = run_program_word(args, io)) return *status;
  const CommandSpec* command = find_command(args[0]);
  if (command == nullptr) {
    return report_usage_error(io, usage_error("unknown command " + quoted(args[0])).error());
  }
  const auto words = args.subspan(1);
  if (asks_for_help(words)) {
    print(io.out, *command_help(command->syntax.name));
    return kExitIntact;
  }
  const auto line = parse_command_line(command->syntax, words, find_any_option);
  if (!line) return report_usage_error(io, line.error());
  if (command->check != nullptr) {
    if (const auto checked = command->check(*line); !checked) {
      return report_usage_error(io, checked.error());
    }
  }
  return command->run(*line, io);
}

}  // namespace

// The last place on this thread that catches exceptions, all of them the
// library's own (out of memory); failures are values. One thrown during an
// audit is the audit's outcome (see guard_audit).
int run(std::span<const std::string_view> args, const Io& io) {
  try {
    return run_command(args, io);
  } catch (...) {
    const Failure fault = audit::current_fault();
    std::fprintf(io.err, "%s: %s: %s\n", kProgram.data(), kInternalError.data(),
                 fault.message().c_str());
  }
  return kExitError;
}

}  // namespace ledger::cli
