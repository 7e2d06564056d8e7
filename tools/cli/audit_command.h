// What verify, checkpoint and export share: the request read from their
// command line, the audit options it gives, and an audit that an exception
// of the library ends.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audit/audit.h"
#include "cli/command.h"
#include "cli/options.h"
#include "ledger/failure.h"

namespace ledger::cli {

// What an auditing command was asked to do.
struct AuditRequest {
  std::string_view command;  // as named in JSON reports
  bool makes_checkpoint = false;
  std::vector<std::string> files;
  std::optional<std::string> since;   // path of the checkpoint to verify since
  std::optional<std::string> pub;     // path of the verifier key it must be signed by
  std::optional<std::string> origin;  // checkpoint: the note's origin
  std::optional<std::string> key;     // checkpoint: path of the signer key
  unsigned jobs = 1;
  bool live = false;
  bool json = false;
  bool quiet = false;
  bool strict = false;
};

AuditRequest audit_request(std::string_view command, const CommandLine& line);
audit::AuditOptions audit_options(const AuditRequest& request);

// --json and --quiet exclude each other; --pub needs --since.
Result<void> check_output_choice(const CommandLine& line);
Result<void> check_since_options(const CommandLine& line);

// Calls `audit`; an exception it throws (out of memory, a thread that could
// not be started) is returned as the audit of an internal fault, nothing
// proven, to be reported as the command's outcome.
std::optional<audit::Audit> guard_audit(const std::function<void()>& audit);

// verify and checkpoint: the audit of each file, reported (checkpoint: the
// note made of it); the exit status, the worst of them.
int run_ledger_audit(const AuditRequest& request, const Io& io);

}  // namespace ledger::cli
