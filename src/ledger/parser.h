// Parsing one ledger line into a LogEntry.
//
// A line is one JSON text (RFC 8259) holding the seven fields of a LogEntry,
// either as an object (members in any order, members of other names skipped)
// or as an array of the seven values in field order. White space may stand
// between tokens. index must be an unsigned 64-bit integer written as plain
// digits, delta_i any JSON number within the range of a double, and the other
// fields strings. Skipped values may nest to any depth; they are walked
// without recursion.
#pragma once

#include <expected>
#include <string_view>

#include "ledger/entry.h"
#include "ledger/parse_result.h"

namespace ledger {

// Parses `line`, exactly as the line reader delivered it (not trimmed). On
// failure `fields` holds no meaningful values.
std::expected<void, ParseFailure> parse_entry_fields(std::string_view line, EntryFields& fields);

// Parses `line` into `entry`, reusing its strings' storage. On failure
// `entry` holds no meaningful values.
std::expected<void, ParseFailure> parse_log_entry_into(std::string_view line, LogEntry& entry);

// Parses `line` into a fresh LogEntry.
std::expected<LogEntry, ParseFailure> parse_log_entry(std::string_view line);

}  // namespace ledger
