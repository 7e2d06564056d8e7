#include "cli/audit_command.h"

#include <algorithm>
#include <exception>

#include "audit/checkpoint_note.h"
#include "audit/ledger_set.h"
#include "audit/parallel.h"
#include "cli/inputs.h"
#include "cli/printer.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "tlog/json.h"

namespace ledger::cli {
using audit::contained;
using audit::fault_audit;
using audit::ErrorKind;
using audit::Outcome;
using tlog::SignatureCheck;

using audit::Audit;
using audit::AuditOptions;
using audit::Checkpoint;
using audit::audit_ledger;
using audit::audit_ledgers;
using audit::make_checkpoint;
using tlog::SignerKey;
using tlog::TreeNote;
using tlog::display;
using tlog::format_verifier;
namespace {

// One verify or checkpoint command on its way: the request, and the
// checkpoint and key it loaded.
class LedgerAudit {
 public:
  LedgerAudit(const AuditRequest& request, const Io& io)
      : request_(request), print_(io, request.quiet) {}

  int run();

 private:
  const std::string& file() const { return request_.files[0]; }
  int run_one();
  int run_several();
  // Loads --since, --pub and --key: kExitIntact when they can be used.
  int load_inputs(AuditOptions& options);
  int check_signature();
  int report(std::string_view file, const Audit& audit) const;
  int report_checkpoint(std::string_view file, const Audit& audit) const;
  // An input other than the ledger that cannot be used: nothing proven.
  int report_input_error(std::string_view text) const;
  // The origin of the note to make: --origin, else that of the --since note.
  std::optional<std::string> origin() const;

  const AuditRequest& request_;
  const Printer print_;
  std::optional<SinceCheckpoint> since_;  // the checkpoint the audit starts from
  std::optional<SignerKey> key_;          // checkpoint --key
};

int LedgerAudit::run() { return request_.files.size() > 1 ? run_several() : run_one(); }

int LedgerAudit::run_one() {
  AuditOptions options = audit_options(request_);
  if (const int status = load_inputs(options); status != kExitIntact) return status;
  options.tree = request_.makes_checkpoint;
  const Io& io = print_.io();
  ProgressLine line(io.err, io.err_plain);
  if (io.err_is_terminal && !request_.quiet) {
    options.progress = [&line, label = progress_label(file())](
                           std::uint64_t walked, std::uint64_t total, bool done) {
      if (done) {
        line.clear();
      } else {
        line.draw(progress_text(label, walked, total));
      }
    };
  }
  Audit audit;
  if (auto fault = guard_audit([&] { audit = audit_ledger(file(), options); })) audit = *fault;
  return report(file(), audit);
}

// Several files: one report each, in the order given; the worst status.
int LedgerAudit::run_several() {
  const Io& io = print_.io();
  ProgressLine line(io.err, io.err_plain);
  bool shown = false;
  std::function<void(std::size_t)> waiting;
  if (io.err_is_terminal && !request_.quiet) {
    waiting = [&](std::size_t done) {
      line.draw(files_progress_text(done, request_.files.size()));
      shown = true;
    };
  }
  int status = kExitIntact;
  const auto report_file = [&](std::size_t k, const Audit& audit) {
    if (shown) {
      line.clear();
      shown = false;
    }
    status = std::max(status, report(request_.files[k], audit));
  };
  if (auto fault = guard_audit([&] {
        audit_ledgers(request_.files, audit_options(request_), report_file, waiting);
      })) {
    return report(file(), *fault);
  }
  return status;
}

int LedgerAudit::load_inputs(AuditOptions& options) {
  if (request_.since) {
    auto checkpoint = load_any_checkpoint(*request_.since);
    if (!checkpoint) {
      if (request_.json) {
        print_.out(bad_checkpoint_json(request_.command, file(), *request_.since, checkpoint.error()));
      } else {
        print_.err(bad_checkpoint_text(*request_.since, checkpoint.error()));
      }
      return kExitError;
    }
    since_ = SinceCheckpoint{std::move(*checkpoint), request_.pub.has_value()};
    options.since = since_->checkpoint;
    if (!since_->checkpoint.note) {
      if (request_.makes_checkpoint) {
        return report_input_error(display(*request_.since) +
                                  ": a checkpoint line of the earlier form cannot be extended; "
                                  "make a checkpoint without --since");
      }
      if (!request_.json) print_.err(line_form_notice(*request_.since));
    }
    if (request_.pub) {
      if (const int status = check_signature(); status != kExitIntact) return status;
    }
  }
  if (request_.key) {
    auto key = load_signer(*request_.key);
    if (!key) return report_input_error(input_error_text("signer key", *request_.key, key.error()));
    key_ = std::move(*key);
  }
  return kExitIntact;
}

int LedgerAudit::check_signature() {
  auto key = load_verifier(*request_.pub);
  if (!key) return report_input_error(input_error_text("verifier key", *request_.pub, key.error()));
  const Result<SignatureCheck> check = since_signature(since_->checkpoint, *key);
  if (!check) return report(file(), fault_audit(check.error()));
  if (*check == SignatureCheck::kValid) return kExitIntact;
  const bool missing = *check == SignatureCheck::kMissing;
  const std::string name = format_verifier(*key);
  print_.out(request_.json
                 ? signature_json(request_.command, file(), *request_.since, name, missing)
                 : signature_text(*request_.since, name, missing));
  return kExitBroken;
}

int LedgerAudit::report(std::string_view file, const Audit& audit) const {
  switch (audit.outcome) {
    case Outcome::kIntact:
      if (request_.makes_checkpoint) return report_checkpoint(file, audit);
      print_.out(request_.json ? audit_json(request_.command, file, audit, since_)
                               : audit_text(file, audit, since_));
      return kExitIntact;
    case Outcome::kBroken:
      if (request_.json) {
        print_.out(audit_json(request_.command, file, audit, since_));
      } else if (request_.makes_checkpoint) {
        // Standard output is the checkpoint; a broken ledger gets none.
        std::string text = audit_text(file, audit, since_);
        text.pop_back();
        print_.err(text);
      } else {
        print_.out(audit_text(file, audit, since_));
      }
      return kExitBroken;
    case Outcome::kError:
      if (request_.json) {
        print_.out(audit_json(request_.command, file, audit, since_));
      } else {
        print_.err(audit_error_text(file, audit, since_));
      }
      return kExitError;
  }
  return kExitError;
}

int LedgerAudit::report_checkpoint(std::string_view file, const Audit& audit) const {
  auto checkpoint = make_checkpoint(audit, origin(), key_, "--origin");
  if (!checkpoint) return report_input_error(display(file) + ": " + checkpoint.error().message());
  const Checkpoint& made = *checkpoint;
  if (request_.json) {
    print_.out(audit_json(request_.command, file, audit, since_, made));
    return kExitIntact;
  }
  print_.out(made.note->text);
  if (const std::string note = checkpoint_note(file, audit, made); !note.empty()) print_.err(note);
  if (const std::string note = non_canonical_note(file, audit.chain); !note.empty()) {
    print_.err(note);
  }
  return kExitIntact;
}

int LedgerAudit::report_input_error(std::string_view text) const {
  if (request_.json) {
    print_.out(input_error_json(request_.command, file(), text));
  } else {
    print_.err(text);
  }
  return kExitError;
}

std::optional<std::string> LedgerAudit::origin() const {
  if (request_.origin) return request_.origin;
  if (since_ && since_->checkpoint.note) return since_->checkpoint.note->origin;
  return std::nullopt;
}

}  // namespace

AuditRequest audit_request(std::string_view command, const CommandLine& line) {
  AuditRequest request;
  request.command = command;
  request.files = line.operands;
  request.since = line.text("--since");
  request.pub = line.text("--pub");
  request.origin = line.text("--origin");
  request.key = line.text("--key");
  request.jobs = static_cast<unsigned>(line.number("--jobs").value_or(1));
  request.live = line.has("--live");
  request.json = line.has("--json");
  request.quiet = line.has("--quiet");
  request.strict = line.has("--strict");
  return request;
}

AuditOptions audit_options(const AuditRequest& request) {
  AuditOptions options;
  options.walk.jobs = request.jobs;
  options.walk.strict = request.strict;
  options.live = request.live;
  return options;
}

Result<void> check_output_choice(const CommandLine& line) {
  if (line.has("--json") && line.has("--quiet")) {
    return usage_error("--json and --quiet exclude each other");
  }
  return {};
}

Result<void> check_since_options(const CommandLine& line) {
  if (line.has("--pub") && !line.has("--since")) {
    return usage_error("--pub checks the signature of a --since checkpoint");
  }
  return {};
}

std::optional<Audit> guard_audit(const std::function<void()>& audit) {
  if (Result<void> done = contained(audit); !done) return fault_audit(std::move(done).error());
  return std::nullopt;
}

int run_ledger_audit(const AuditRequest& request, const Io& io) {
  return LedgerAudit(request, io).run();
}

}  // namespace ledger::cli
