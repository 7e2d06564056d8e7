// The shorter path for lines laid out as the writer lays them out (format.h):
// the members in field order, no white space between tokens, no escapes.
// Matching that layout with fixed-size compares skips the general walk's
// bookkeeping for each member. Internal to the core.
#pragma once

#include <string_view>

#include "ledger/parse_result.h"

namespace ledger::detail {

// Reads `line` into `fields` when it is in the writer's layout, which it
// accepts only where the general walk would read the same values. False
// leaves the line to the general walk, which then decides from the start;
// `fields` may hold anything then.
bool read_writer_layout(std::string_view line, EntryFields& fields);

}  // namespace ledger::detail
