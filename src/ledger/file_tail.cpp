// Line boundaries of an open file, found with positioned reads only.
#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "ledger/platform.h"

namespace ledger::platform {
namespace {

// Bytes read per step while looking for a line feed. Lines of a ledger are a
// few hundred bytes, so one step usually finds the line feed sought.
constexpr std::size_t kScanChunk = 4096;

}  // namespace

Result<void> read_exactly(const File& file, std::uint64_t offset, char* out, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    auto count = read_at(file, offset + got, out + got, size - got);
    if (!count) return fail(std::move(count).error());
    if (*count == 0) return fail(Failure::io("the file became shorter while it was read"));
    got += *count;
  }
  return {};
}

Result<bool> line_ends_at(const File& file, std::uint64_t end) {
  char byte = 0;
  auto count = read_at(file, end - 1, &byte, 1);
  if (!count) return fail(std::move(count).error());
  return *count == 1 && byte == '\n';
}

Result<bool> ends_inside_line(const File& file) {
  auto size = file_size(file);
  if (!size) return fail(std::move(size).error());
  if (*size == 0) return false;
  auto terminated = line_ends_at(file, *size);
  if (!terminated) return fail(std::move(terminated).error());
  return !*terminated;
}

Result<std::uint64_t> line_start_before(const File& file, std::uint64_t end) {
  std::array<char, kScanChunk> chunk;
  std::uint64_t stop = end;  // the bytes before this one are still to be searched
  while (stop > 0) {
    const std::uint64_t from = stop - std::min<std::uint64_t>(stop, chunk.size());
    const auto size = static_cast<std::size_t>(stop - from);
    auto read = read_exactly(file, from, chunk.data(), size);
    if (!read) return fail(std::move(read).error());
    const std::size_t newline = std::string_view(chunk.data(), size).rfind('\n');
    if (newline != std::string_view::npos) return from + newline + 1;
    stop = from;
  }
  return std::uint64_t{0};
}

Result<std::uint64_t> line_start_at_or_after(const File& file, std::uint64_t offset) {
  if (offset == 0) return offset;
  std::array<char, kScanChunk> chunk;
  std::uint64_t at = offset - 1;  // a line starts at `offset` when this byte is a line feed
  for (;;) {
    auto count = read_at(file, at, chunk.data(), chunk.size());
    if (!count) return fail(std::move(count).error());
    if (*count == 0) return at;  // no line feed before the end of the file
    if (const void* newline = std::memchr(chunk.data(), '\n', *count)) {
      return at + static_cast<std::uint64_t>(static_cast<const char*>(newline) - chunk.data()) + 1;
    }
    at += *count;
  }
}

}  // namespace ledger::platform
