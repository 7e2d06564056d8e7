// verify: the audit of each FILE, reported in text or JSON.
#include "cli/audit_command.h"
#include "cli/commands.h"

namespace ledger::cli {

Result<void> check_verify(const CommandLine& line) {
  if (auto checked = check_output_choice(line); !checked) return checked;
  if (auto checked = check_since_options(line); !checked) return checked;
  if (line.has("--since") && line.operands.size() > 1) {
    // A checkpoint is of one ledger.
    return usage_error("--since takes one FILE, found " + std::to_string(line.operands.size()));
  }
  return {};
}

int run_verify(const CommandLine& line, const Io& io) {
  return run_ledger_audit(audit_request("verify", line), io);
}

}  // namespace ledger::cli
