// Walking a ledger file to check its hash chain.
#pragma once

#include <string_view>

#include "ledger/failure.h"

namespace ledger {

// Reads the ledger at `path` from its start and checks, for every non-blank
// line in order, that it parses as an entry, that its prev_hash is the previous
// entry's signature (GENESIS_BLOCK_HASH for the first) and that its signature
// is the digest of its own content. Stops at the first line that fails.
//
// true: the walk reached the end of the file (an empty file included).
// false: the file cannot be opened, or a line fails one of the checks.
// Failure (kIo): a line is not valid UTF-8, or the system reports a read error,
// before any line failed.
Result<bool> verify_ledger_file(std::string_view path);

}  // namespace ledger
