// Reading a ledger's entry lines without judging the chain: each line split
// as the walk splits it and parsed by the core's parser, with links,
// timestamps and digests left unchecked. For readers that want the entries
// of a file they trust, or one they have verified already.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "audit/walk.h"
#include "ledger/failure.h"
#include "ledger/parser.h"
#include "ledger/platform.h"

namespace ledger::audit {

struct EntryLinesOutcome {
  // The first line that is neither blank nor an entry: kInvalidUtf8,
  // kNotEntry, or kTornTail for such a last line without a line feed.
  std::optional<Break> break_found;
  std::optional<Failure> failure;  // a read error, or cancelled_failure()
};

// Calls `on_entry` for each line of `file` that parses as an entry, in file
// order, with where it stands, its fields and its line; blank lines are
// skipped. Ends at the end of the file, at the first line that is not an
// entry, or when `on_entry` returns false. Once `cancel` (if not null) is set
// the next read fails with cancelled_failure().
EntryLinesOutcome read_entry_lines(
    const platform::File& file,
    const std::function<bool(const EntryMark& mark, const EntryFields& entry, std::string_view text)>&
        on_entry,
    const std::atomic<bool>* cancel = nullptr);

}  // namespace ledger::audit
