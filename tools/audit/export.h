// The records `quorvel-ledger export` writes for the entries of a ledger.
//
// Each record carries the entry's line number and its seven values, decoded:
//   - JSON lines: one object per entry, {"line":N,...} followed by the seven
//     members exactly as the writer writes them (so a value's text is the
//     writer's escaping of it, and delta_i the writer's number text);
//   - CSV (RFC 4180): a header row "line,index,timestamp,prev_hash,actor,
//     delta_i,payload,signature", then one record per entry; records end with
//     CR LF, a field holding a comma, a quote, CR or LF is quoted with its
//     quotes doubled, and texts are UTF-8 as committed.
// delta_i is written in both as the ledger writes it: the shortest text that
// reads back as the same double.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ledger/parser.h"
#include "tlog/enum_table.h"

namespace ledger::audit {

enum class ExportFormat : std::uint8_t { kJsonLines, kCsv, kCount_ };

// The names --format takes.
inline constexpr tlog::EnumTable<ExportFormat> kExportFormatNames = {"jsonl", "csv"};
static_assert(tlog::all_filled(kExportFormatNames));

// What precedes the records: the CSV header row; nothing for JSON lines.
std::string_view export_header(ExportFormat format);

// Appends the record of the entry on line `line`.
void append_export_record(std::string& out, ExportFormat format, std::uint64_t line,
                          const EntryFields& entry);

}  // namespace ledger::audit
