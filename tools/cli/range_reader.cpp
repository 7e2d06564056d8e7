#include "cli/range_reader.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "ledger/platform.h"
#include "ledger/reader.h"

namespace ledger::cli {
namespace {

constexpr std::size_t kScanChunk = 4096;  // bytes read per step when looking for a line feed

}  // namespace

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

Result<std::uint64_t> find_line_start(const platform::File& file, std::uint64_t offset) {
  if (offset == 0) return offset;
  std::array<char, kScanChunk> chunk;
  std::uint64_t at = offset - 1;  // a line starts at `offset` when this byte is a line feed
  for (;;) {
    auto count = platform::read_at(file, at, chunk.data(), chunk.size());
    if (!count) return fail(std::move(count).error());
    if (*count == 0) return at;  // no line feed before the end of the file
    const auto* newline = static_cast<const char*>(std::memchr(chunk.data(), '\n', *count));
    if (newline != nullptr) return at + static_cast<std::uint64_t>(newline - chunk.data()) + 1;
    at += *count;
  }
}

Result<std::uint64_t> find_line_start_before(const platform::File& file, std::uint64_t end) {
  std::array<char, kScanChunk> chunk;
  std::uint64_t stop = end - 1;  // bytes before this one are searched
  while (stop > 0) {
    const std::uint64_t from = stop - std::min<std::uint64_t>(stop, chunk.size());
    const auto want = static_cast<std::size_t>(stop - from);
    auto count = platform::read_at(file, from, chunk.data(), want);
    if (!count) return fail(std::move(count).error());
    if (*count < want) return fail(Failure::io("the file shrank while it was read"));
    for (std::size_t i = want; i > 0; --i) {
      if (chunk[i - 1] == '\n') return from + i;
    }
    stop = from;
  }
  return std::uint64_t{0};
}

}  // namespace ledger::cli
