// One audit of a ledger as quorvel_ledger_audit.audit() asks for it, with the
// interpreter lock released: plain C++ in, the report and its numbers out.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "ledger/failure.h"

namespace audit_python {

// A file to read, or the text of one given as a value (a note, a key).
struct AuditInput {
  std::optional<std::string> path;  // a path as given: "-" names a file, not standard input
  std::string text;                 // without a path
};

struct AuditArguments {
  std::string path;  // the ledger
  std::optional<AuditInput> since;
  std::optional<AuditInput> pub;
  bool strict = false;
  bool live = false;
  unsigned jobs = 1;
};

// Which input a failure is about: its filename, for an OSError.
enum class AuditRole : std::uint8_t { kLedger, kSince, kPub };

struct AuditFailure {
  ledger::Failure failure;  // kIo: cannot be read; kInvalidArgument: the tool's one-line reason
  AuditRole role;
};

struct AuditReport {
  std::string json;  // the object `quorvel-ledger verify --json` prints, with its line feed
  // What the chain rule proved before the verdict: everything of an intact
  // audit, the lines before a break found walking, nothing when a
  // checkpoint's own check or its signature is the verdict.
  std::uint64_t entries = 0;
  std::uint64_t last_line = 0;
  std::uint64_t bytes = 0;
  std::string head;
  bool intact = false;  // what verify_integrity() says of the file
  std::optional<std::string> notice;  // a checkpoint line of the earlier form: the tool's notice
};

// The audit of `arguments`; an exception of the library (out of memory, a
// thread that could not be started) passes through. Once `cancel` is set the
// audit ends soon, in a failure that is not to be reported.
std::expected<AuditReport, AuditFailure> run_audit(const AuditArguments& arguments,
                                                   const std::atomic<bool>& cancel);

}  // namespace audit_python
