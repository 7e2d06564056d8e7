// export: the entries of FILE that verify, as JSON lines or CSV, up to the
// first line that does not.
#include <cstdio>
#include <limits>

#include "audit/export.h"
#include "cli/audit_command.h"
#include "cli/commands.h"
#include "cli/printer.h"
#include "cli/report.h"

namespace ledger::cli {
using audit::ExportFormat;
using audit::Outcome;

using audit::Audit;
using audit::EntryMark;
using audit::AuditOptions;
using audit::append_export_record;
using audit::audit_ledger;
using audit::export_header;
namespace {

struct ExportRequest {
  std::string file;
  ExportFormat format = ExportFormat::kJsonLines;
  std::uint64_t from = 1;  // the first line written
  std::uint64_t to = std::numeric_limits<std::uint64_t>::max();  // the last line read
};

ExportRequest export_request(const CommandLine& line) {
  ExportRequest request;
  request.file = line.operands[0];
  request.format = static_cast<ExportFormat>(line.number("--format").value_or(0));
  request.from = line.number("--from").value_or(request.from);
  request.to = line.number("--to").value_or(request.to);
  return request;
}

int report_export(const ExportRequest& request, const Audit& audit, const Printer& print) {
  switch (audit.outcome) {
    case Outcome::kIntact:
      if (audit.unfinished) print.err(export_unfinished_note(request.file, *audit.unfinished));
      if (const std::string note = non_canonical_note(request.file, audit.chain); !note.empty()) {
        print.err(note);
      }
      return kExitIntact;
    case Outcome::kBroken: {
      std::string text = audit_text(request.file, audit, std::nullopt);
      text.pop_back();
      print.err(text);
      return kExitBroken;
    }
    case Outcome::kError:
      print.err(audit_error_text(request.file, audit, std::nullopt));
      return kExitError;
  }
  return kExitError;
}

}  // namespace

Result<void> check_export(const CommandLine& line) {
  const ExportRequest request = export_request(line);
  if (request.from > request.to) {
    return usage_error("--from " + std::to_string(request.from) + " is after --to " +
                       std::to_string(request.to));
  }
  return {};
}

// Writes the entries that verify, from line --from to line --to; stops at the
// first line that does not, with its report on standard error.
int run_export(const CommandLine& line, const Io& io) {
  const ExportRequest request = export_request(line);
  AuditOptions options = audit_options(audit_request("export", line));
  options.walk.last_line = request.to;
  // The header comes with the first record, or at the end of an export
  // without records; a file that cannot be read gets none.
  bool header_written = false;
  const auto write_header = [&] {
    const std::string_view header = export_header(request.format);
    if (!header_written && !header.empty()) std::fwrite(header.data(), 1, header.size(), io.out);
    header_written = true;
  };
  std::string record;
  options.walk.on_entry = [&](const EntryMark& mark, const EntryFields& entry, std::string_view) {
    const std::uint64_t number = mark.line;
    if (number < request.from) return true;
    write_header();
    record.clear();
    append_export_record(record, request.format, number, entry);
    // A reader that went away ends the walk; main() reports the failed output.
    return std::fwrite(record.data(), 1, record.size(), io.out) == record.size();
  };
  Audit audit;
  if (auto fault = guard_audit([&] { audit = audit_ledger(request.file, options); })) {
    audit = *fault;
  }
  if (audit.outcome != Outcome::kError) write_header();
  return report_export(request, audit, Printer(io, false));
}

}  // namespace ledger::cli
