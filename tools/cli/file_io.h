// Positioned reads on an open ledger file.
//
// The core's platform seam reads a file front to back. Walking several ranges
// of one file at once, or starting at a checkpoint, needs reads at an offset
// that share one descriptor between threads; these two calls add that for
// POSIX. Failures carry the system's error text, as the core's do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ledger/failure.h"
#include "ledger/platform.h"

namespace ledger::cli {

// Reads up to `size` bytes at `offset` without moving the file position; 0
// means end of file. Interrupted reads are repeated. Safe to call from several
// threads on one file.
Result<std::size_t> read_at(const platform::File& file, char* buffer, std::size_t size,
                            std::uint64_t offset);

// The file's current size in bytes.
Result<std::uint64_t> file_size(const platform::File& file);

}  // namespace ledger::cli

namespace ledger::cli {

// Reads at most `limit` + 1 bytes of the file at `path` (any readable kind: a
// regular file, a pipe, a terminal), or of standard input when `path` is "-".
// A result longer than `limit` tells the caller that the file is too long.
Result<std::string> read_small_file(std::string_view path, std::size_t limit);

}  // namespace ledger::cli
