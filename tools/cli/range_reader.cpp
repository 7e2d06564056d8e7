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
    : file_(file),
      limit_(limit),
      buffer_(new char[buffer_size]),
      buffer_size_(buffer_size),
      buffer_start_(start) {}

Result<bool> RangeReader::refill() {
  buffer_start_ += fill_;
  cursor_ = 0;
  fill_ = 0;
  if (at_end_) return false;
  auto count = platform::read_at(file_, buffer_start_, buffer_.get(), buffer_size_);
  if (!count) return fail(std::move(count).error());
  fill_ = *count;
  at_end_ = fill_ == 0;
  // Lines end at line feeds, which never occur inside a multi-byte sequence,
  // and the range starts at a line start: while everything read so far is
  // valid, so is every line in it, and a whole buffer is cheaper to check.
  if (prefix_valid_) prefix_valid_ = utf8_.feed(std::string_view(buffer_.get(), fill_));
  return !at_end_;
}

Result<LineStatus> RangeReader::next() {
  line_ = {};
  if (position() >= limit_) return LineStatus::kEnd;
  line_offset_ = position();
  spill_.clear();
  std::string_view bytes;
  for (;;) {
    if (cursor_ == fill_) {
      auto more = refill();
      if (!more) return fail(std::move(more).error());
      if (!*more) {
        if (spill_.empty()) return LineStatus::kEnd;
        bytes = spill_;  // the last line of the file, without a line feed
        terminated_ = false;
        break;
      }
    }
    const char* start = buffer_.get() + cursor_;
    const std::size_t available = fill_ - cursor_;
    const auto* newline = static_cast<const char*>(std::memchr(start, '\n', available));
    if (newline == nullptr) {
      spill_.append(start, available);
      cursor_ = fill_;
      continue;
    }
    const auto length = static_cast<std::size_t>(newline - start) + 1;
    cursor_ += length;
    if (spill_.empty()) {
      bytes = std::string_view(start, length);
    } else {
      spill_.append(start, length);
      bytes = spill_;
    }
    terminated_ = true;
    break;
  }
  // The last line of a file without a final line feed also needs its last
  // sequence complete.
  const bool valid = (prefix_valid_ && (terminated_ || utf8_.finish())) || is_valid_utf8(bytes);
  if (terminated_) {
    bytes.remove_suffix(1);
    if (bytes.ends_with('\r')) bytes.remove_suffix(1);
  }
  line_ = bytes;
  return valid ? LineStatus::kLine : LineStatus::kInvalidUtf8;
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
