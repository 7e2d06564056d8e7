// Walking a ledger file to check its hash chain.
#pragma once

#include <string_view>

#include "ledger/failure.h"

namespace ledger {

// Reads the ledger at `path` from its start and judges every line in order by
// the chain rule (chain.h). Stops at the first line that breaks the chain.
//
// true: the walk reached the end of the file (an empty file included).
// false: the file cannot be opened, or a line breaks the chain.
// Failure (kIo): a line is not valid UTF-8, or the system reports a read error,
// before any line failed.
Result<bool> verify_ledger_file(std::string_view path);

}  // namespace ledger
