// Reading the lines of one byte range of a ledger file.
//
// Lines are split by the core's LineSplitter, exactly as LedgerLineReader
// splits them. Unlike LedgerLineReader this reader starts at any line start
// and stops at a limit, so a file can be walked in ranges by several threads
// at once, or from a checkpoint on; it also tells whether each line ended with
// a line feed, and it can go on past a line that is not valid UTF-8. Its reads
// can be capped at an end offset, so that bytes written to the file after a
// walk took its size are never read. A reader can be given a cancel flag, which
// it checks before each read of its buffer: a long walk stops soon after the
// flag is set.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "ledger/failure.h"
#include "ledger/platform.h"
#include "ledger/reader.h"

namespace ledger::audit {

// The failure of a read stopped by its cancel flag: an internal fault, so that
// nothing read before it is taken for a result.
Failure cancelled_failure();
bool is_cancelled(const Failure& failure);

enum class LineStatus : std::uint8_t {
  kLine,         // line() holds the next line
  kInvalidUtf8,  // line() holds the next line's bytes, which are not valid UTF-8
  kEnd,          // no further line starts before the limit
};

class RangeReader {
 public:
  static constexpr std::size_t kDefaultBufferSize = 64 * 1024;
  static constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

  // Reads the lines of `file` that start at or after `start`, which must be 0
  // or just past a line feed, and before `limit`; the last of them is read to
  // its end even when that lies beyond `limit`. No byte at or past `end` is
  // read: the file ends there for the reader. `file` must stay open while the
  // reader is used. `buffer_size` must be at least 1. Once `cancel` (if not
  // null) is set, the next read of the buffer fails with cancelled_failure().
  RangeReader(const platform::File& file, std::uint64_t start, std::uint64_t limit = kNoLimit,
              std::size_t buffer_size = kDefaultBufferSize, std::uint64_t end = kNoLimit,
              const std::atomic<bool>* cancel = nullptr);

  // Moves to the next line. On a read failure (the system's error text, or
  // cancelled_failure()) the reader must not be used further.
  Result<LineStatus> next();

  // The current line without its terminator. Valid until the next call.
  std::string_view line() const { return line_; }
  // Byte offset in the file at which the current line starts.
  std::uint64_t line_offset() const { return lines_.line_offset(); }
  // True when the current line ended with a line feed.
  bool line_terminated() const { return terminated_; }
  // Byte offset just past the current line and its terminator.
  std::uint64_t position() const { return lines_.position(); }

 private:
  const platform::File& file_;      // borrowed
  std::uint64_t limit_;             // no line starting here or later is read
  std::uint64_t end_;               // no byte here or later is read
  const std::atomic<bool>* cancel_;  // the caller's cancel flag, or null
  LineSplitter lines_;              // the lines from the range's start on
  std::string_view line_;           // the current line
  bool terminated_ = false;         // the current line ended with a line feed
};

}  // namespace ledger::audit
