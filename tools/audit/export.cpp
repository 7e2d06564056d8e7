#include "audit/export.h"

#include <charconv>

#include "ledger/entry.h"
#include "ledger/format.h"

namespace ledger::audit {
namespace {

constexpr std::string_view kCsvHeader =
    "line,index,timestamp,prev_hash,actor,delta_i,payload,signature\r\n";

// One CSV field: as it is, or quoted with its quotes doubled when it holds a
// comma, a quote, CR or LF.
void append_csv_field(std::string& out, std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += text;
    return;
  }
  out += '"';
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

void append_number(std::string& out, std::uint64_t value) {
  char buffer[20];
  out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

}  // namespace

std::string_view export_header(ExportFormat format) {
  return format == ExportFormat::kCsv ? kCsvHeader : std::string_view();
}

void append_export_record(std::string& out, ExportFormat format, std::uint64_t line,
                          const EntryFields& entry) {
  if (format == ExportFormat::kJsonLines) {
    // The writer's line for the entry, with the line number as its first member.
    const std::size_t start = out.size();
    append_entry_json(out, EntryView{entry.index, entry.timestamp, entry.prev_hash, entry.actor,
                                     entry.delta_i, entry.payload, entry.signature});
    std::string number = "\"line\":";
    append_number(number, line);
    number += ',';
    out.insert(start + kEntryOpen.size, number);
    out += '\n';
    return;
  }
  append_number(out, line);
  out += ',';
  append_number(out, entry.index);
  out += ',';
  append_csv_field(out, entry.timestamp);
  out += ',';
  append_csv_field(out, entry.prev_hash);
  out += ',';
  append_csv_field(out, entry.actor);
  out += ',';
  char delta[kMaxDeltaLength];
  out.append(delta, write_delta(delta, entry.delta_i));
  out += ',';
  append_csv_field(out, entry.payload);
  out += ',';
  append_csv_field(out, entry.signature);
  out += "\r\n";
}

}  // namespace ledger::audit
