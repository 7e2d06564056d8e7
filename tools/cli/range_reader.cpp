#include "cli/range_reader.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "ledger/platform.h"
#include "ledger/reader.h"

namespace ledger::cli {

RangeReader::RangeReader(const platform::File& file, std::uint64_t start, std::uint64_t limit,
                         std::size_t buffer_size)
    : file_(file), limit_(limit), lines_(buffer_size, start) {}

Result<LineStatus> RangeReader::next() {
  line_ = {};
  if (position() >= limit_) return LineStatus::kEnd;
  auto line = lines_.next([this](std::uint64_t offset, char* buffer, std::size_t size) {
    return platform::read_at(file_, offset, buffer, size);
  });
  if (!line) return fail(std::move(line).error());
  if (!*line) return LineStatus::kEnd;
  terminated_ = (*line)->ends_with('\n');
  line_ = without_terminator(**line);
  return lines_.valid(**line) ? LineStatus::kLine : LineStatus::kInvalidUtf8;
}

}  // namespace ledger::cli
