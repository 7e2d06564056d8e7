// checkpoint: verify FILE, then print a checkpoint note of it.
#include "cli/audit_command.h"
#include "cli/commands.h"

namespace ledger::cli {

Result<void> check_checkpoint(const CommandLine& line) {
  if (auto checked = check_output_choice(line); !checked) return checked;
  return check_since_options(line);
}

int run_checkpoint(const CommandLine& line, const Io& io) {
  AuditRequest request = audit_request("checkpoint", line);
  request.makes_checkpoint = true;
  return run_ledger_audit(request, io);
}

}  // namespace ledger::cli
