// Whether an entry's line is the line the writer (append_entry_json) writes
// for the entry's values, and if not, where the two first differ.
//
// Rewriting every line to compare it costs the text escaping and a shortest
// round-trip conversion of the delta per entry. Most lines are read on the
// parser's writer's-layout path, and for those the answer follows from the
// delta's spelling alone; only the others are rewritten.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "ledger/parser.h"

namespace ledger::audit {

// True when `text` is exactly what write_delta writes for `value`, where
// `value` is the double nearest to the number `text` (as the parser reads
// it): for a text of at most 15 significant digits in the writer's form this
// needs no conversion of `value`.
bool is_writer_delta(std::string_view text, double value);

// True when `line`, parsed into `entry`, is certainly the writer's line for
// the entry's values; false when it is not, or when telling would take the
// rewrite (a line not read on the writer's-layout path).
bool is_writer_line_fast(std::string_view line, const EntryFields& entry);

// The 1-based column of the first byte where `line`, parsed into `entry`,
// differs from the writer's line for the entry's values; 0 when they are the
// same. `scratch` holds the rewritten line when one is needed.
std::size_t writer_line_difference(std::string_view line, const EntryFields& entry,
                                   std::string& scratch);

// The same answer from the rewrite alone, without the shorter test.
std::size_t rewritten_line_difference(std::string_view line, const EntryFields& entry,
                                      std::string& scratch);

}  // namespace ledger::audit
