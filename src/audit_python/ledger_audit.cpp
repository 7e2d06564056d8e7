#include "ledger_audit.h"

#include <utility>

#include "audit/audit.h"
#include "audit/checkpoint.h"
#include "cli/inputs.h"
#include "cli/report.h"
#include "cli/report_parts.h"
#include "ledger/format.h"
#include "tlog/json.h"
#include "tlog/signing.h"

namespace audit_python {

using ledger::Failure;
using ledger::FailureKind;
using ledger::Result;
using ledger::audit::Audit;
using ledger::audit::AuditOptions;
using ledger::audit::BreakKind;
using ledger::audit::Checkpoint;
using ledger::audit::ErrorKind;
using ledger::audit::Outcome;
using ledger::cli::SinceCheckpoint;
using ledger::tlog::SignatureCheck;
using ledger::tlog::VerifierKey;

namespace {

using Outcome_ = std::expected<AuditReport, AuditFailure>;

std::unexpected<AuditFailure> failed(Failure failure, AuditRole role) {
  return std::unexpected<AuditFailure>(AuditFailure{std::move(failure), role});
}

// The tool reads standard input for "-"; a program's path names a file.
std::string literal_path(const std::string& path) { return path == "-" ? "./-" : path; }

// A malformed input's failure, given the tool's line for it; a read failure as it is.
Failure with_reason(Failure failure, const std::string& reason) {
  if (failure.kind() != FailureKind::kInvalidArgument) return failure;
  return Failure::invalid_argument(reason);
}

Result<Checkpoint> read_since(const AuditInput& input) {
  if (!input.path) return ledger::audit::parse_any_checkpoint(input.text);
  auto checkpoint = ledger::cli::load_any_checkpoint(literal_path(*input.path));
  if (!checkpoint) {
    const Failure& failure = checkpoint.error();
    return ledger::fail(
        with_reason(failure, ledger::cli::bad_checkpoint_text(*input.path, failure)));
  }
  return checkpoint;
}

Result<VerifierKey> read_pub(const AuditInput& input) {
  if (!input.path) return ledger::tlog::parse_verifier(input.text);
  auto key = ledger::cli::load_verifier(literal_path(*input.path));
  if (!key) {
    const Failure& failure = key.error();
    return ledger::fail(with_reason(
        failure, ledger::cli::input_error_text("verifier key", *input.path, failure)));
  }
  return key;
}

// Whether the audit's verdict is the chain rule's own: the module's verdict
// needs a walk of its own when a check that only an option adds decided, or a
// live audit left a line unread.
std::optional<bool> verdict_of_chain(const Audit& audit) {
  if (audit.outcome == Outcome::kIntact) {
    return audit.unfinished ? std::nullopt : std::optional<bool>(true);
  }
  const auto& found = *audit.break_found;
  if (ledger::cli::walk_break(found) && found.kind != BreakKind::kNonCanonical) return false;
  return std::nullopt;
}

Result<bool> module_verdict(const AuditArguments& arguments, const Audit& audit,
                            const std::atomic<bool>& cancel) {
  if (const std::optional<bool> verdict = verdict_of_chain(audit)) return *verdict;
  return ledger::audit::chain_intact(arguments.path, arguments.jobs, &cancel);
}

// The report of an audit whose checkpoint lacks a valid signature by the key.
Outcome_ signature_report(const AuditArguments& arguments, const VerifierKey& key, bool missing,
                          const std::atomic<bool>& cancel) {
  AuditReport report;
  const std::optional<std::string>& since_path = arguments.since->path;
  report.json = ledger::cli::signature_json(
      "verify", arguments.path,
      since_path ? std::optional<std::string_view>(*since_path) : std::nullopt,
      ledger::tlog::format_verifier(key), missing);
  report.head = ledger::GENESIS_BLOCK_HASH;
  auto intact = ledger::audit::chain_intact(arguments.path, arguments.jobs, &cancel);
  if (!intact) return failed(std::move(intact).error(), AuditRole::kLedger);
  report.intact = *intact;
  return report;
}

// An audit that ended in an error: the failure to raise.
AuditFailure error_of(const AuditArguments& arguments, const Audit& audit,
                      const std::optional<SinceCheckpoint>& since) {
  if (audit.error_kind == ErrorKind::kOtherLedger) {
    return {Failure::invalid_argument(ledger::cli::audit_error_text(arguments.path, audit, since)),
            AuditRole::kSince};
  }
  return {*audit.error, AuditRole::kLedger};
}

Outcome_ audit_report(const AuditArguments& arguments, const Audit& audit,
                      const std::optional<SinceCheckpoint>& since,
                      const std::atomic<bool>& cancel) {
  if (audit.outcome == Outcome::kError) return std::unexpected(error_of(arguments, audit, since));
  AuditReport report;
  report.json = ledger::cli::audit_json("verify", arguments.path, audit, since);
  const bool walked = audit.outcome == Outcome::kIntact ||
                      ledger::cli::walk_break(*audit.break_found);
  report.head = walked ? audit.chain.head : std::string(ledger::GENESIS_BLOCK_HASH);
  if (walked) {
    report.entries = audit.chain.entries;
    report.last_line = audit.chain.lines;
    report.bytes = audit.chain.end;
  }
  auto intact = module_verdict(arguments, audit, cancel);
  if (!intact) return failed(std::move(intact).error(), AuditRole::kLedger);
  report.intact = *intact;
  return report;
}

// The notice of a checkpoint line of the earlier form, without the tool's "note: ".
std::string line_form_notice(const AuditInput& input) {
  const std::string name = input.path ? ledger::tlog::display(*input.path) : "the checkpoint";
  return name + ": " + std::string(ledger::cli::kLineFormNotice);
}

}  // namespace

std::expected<AuditReport, AuditFailure> run_audit(const AuditArguments& arguments,
                                                   const std::atomic<bool>& cancel) {
  AuditOptions options;
  options.walk.jobs = arguments.jobs;
  options.walk.strict = arguments.strict;
  options.walk.cancel = &cancel;
  options.live = arguments.live;
  std::optional<SinceCheckpoint> since;
  std::optional<std::string> notice;
  if (arguments.pub && !arguments.since) {
    return failed(Failure::invalid_argument("pub checks the signature of a since checkpoint"),
                  AuditRole::kPub);
  }
  if (arguments.since) {
    auto checkpoint = read_since(*arguments.since);
    if (!checkpoint) return failed(std::move(checkpoint).error(), AuditRole::kSince);
    if (!checkpoint->note) notice = line_form_notice(*arguments.since);
    since = SinceCheckpoint{std::move(*checkpoint), arguments.pub.has_value()};
    options.since = since->checkpoint;
  }
  if (arguments.pub) {
    auto key = read_pub(*arguments.pub);
    if (!key) return failed(std::move(key).error(), AuditRole::kPub);
    auto check = ledger::cli::since_signature(since->checkpoint, *key);
    if (!check) return failed(std::move(check).error(), AuditRole::kLedger);
    if (*check != SignatureCheck::kValid) {
      auto report = signature_report(arguments, *key, *check == SignatureCheck::kMissing, cancel);
      if (report) report->notice = std::move(notice);
      return report;
    }
  }
  const Audit audit = ledger::audit::audit_ledger(arguments.path, options);
  auto report = audit_report(arguments, audit, since, cancel);
  if (report) report->notice = std::move(notice);
  return report;
}

}  // namespace audit_python
