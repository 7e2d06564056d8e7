// head: the chain head and next index a recorder reopening FILE would use.
#include "cli/audit_command.h"
#include "cli/commands.h"
#include "cli/printer.h"
#include "cli/report.h"
#include "ledger/open.h"
#include "ledger/platform.h"

namespace ledger::cli {
using audit::ErrorKind;

Result<void> check_head(const CommandLine& line) { return check_output_choice(line); }

int run_head(const CommandLine& line, const Io& io) {
  const std::string& file = line.operands[0];
  const bool json = line.has("--json");
  const Printer print(io, line.has("--quiet"));
  const auto report_error = [&](ErrorKind kind, const Failure& failure) {
    if (json) {
      print.out(head_error_json("head", file, kind, failure));
    } else {
      print.err(head_error_text(file, kind, failure));
    }
    return kExitError;
  };
  // The recorder would start a fresh chain on a file it cannot open; the
  // auditor is told why instead.
  if (auto opened = platform::open_regular_for_read(file); !opened) {
    return report_error(ErrorKind::kCannotOpen, opened.error());
  }
  const auto head = load_chain_head(file);
  if (!head) return report_error(ErrorKind::kCannotRead, head.error());
  print.out(json ? head_json("head", file, *head) : head_text(file, *head));
  return kExitIntact;
}

}  // namespace ledger::cli
