#include "ledger/reader.h"

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstdlib>
#include <cstring>
#include <memory>

namespace ledger {
namespace {

constexpr std::size_t kBufferAlignment = 4096;

}  // namespace

ReadBuffer::ReadBuffer(std::size_t size)
    : storage_(std::make_unique_for_overwrite<char[]>(size + kBufferAlignment)) {
  void* start = storage_.get();
  std::size_t space = size + kBufferAlignment;
  data_ = static_cast<char*>(std::align(kBufferAlignment, size, start, space));
}

LineSplitter::LineSplitter(std::size_t buffer_size, std::uint64_t start)
    : buffer_(buffer_size), buffer_size_(buffer_size), buffer_offset_(start) {}

LedgerLineReader::LedgerLineReader(platform::File file)
    : file_(std::move(file)), lines_(kReadBufferSize, 0) {}

Result<LedgerLineReader> LedgerLineReader::open(std::string_view path) {
  auto file = platform::open_regular_for_read(path);
  if (!file) return fail(std::move(file).error());
  return LedgerLineReader(std::move(*file));
}

Result<std::optional<std::string_view>> LedgerLineReader::next_line() {
  // The file is read front to back, so the offset of each read is implied.
  auto line = lines_.next([this](std::uint64_t, char* buffer, std::size_t size) {
    return platform::read_some(file_, buffer, size);
  });
  if (!line) return fail(std::move(line).error());
  if (!*line) return std::nullopt;
  if (!lines_.valid(**line)) return fail(Failure::io(std::string(kInvalidUtf8)));
  return without_terminator(**line);
}

}  // namespace ledger
