// Reading small files (checkpoints) of any readable kind.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "ledger/failure.h"

namespace ledger::cli {

// Reads at most `limit` + 1 bytes of the file at `path` (any readable kind: a
// regular file, a pipe, a terminal), or of standard input when `path` is "-".
// A result longer than `limit` tells the caller that the file is too long.
Result<std::string> read_small_file(std::string_view path, std::size_t limit);

}  // namespace ledger::cli
