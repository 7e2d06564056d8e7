// Reading a ledger file back, line by line.
//
// Verification opens a ledger with LedgerLineReader::open, calls next_line
// until end of file or a read failure, and hands every line, untrimmed, to the
// chain check (chain.h). The auditor's tool splits lines with the same
// LineSplitter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ledger/failure.h"
#include "ledger/platform.h"
#include "ledger/utf8.h"

namespace ledger {

// The read buffer of the ledger's readers: kReadBufferSize bytes unless a
// reader asks for another size, starting on a page boundary, so that a read
// of a cached file copies whole pages. Move-only.
inline constexpr std::size_t kReadBufferSize = 8192;

class ReadBuffer {
 public:
  explicit ReadBuffer(std::size_t size = kReadBufferSize);
  char* data() const { return data_; }

 private:
  // One plain allocation a page longer than the buffer, which starts at the
  // first page boundary inside it. An aligned allocation is cut from a larger
  // free block whose leading remainder stays free; small allocations that
  // outlive the buffer settle there, so the block freed with the buffer is
  // then too small for the next aligned one, and a process that makes a
  // reader for each range of a file (the tool's walk) would grow its heap by
  // a buffer per range.
  std::unique_ptr<char[]> storage_;
  char* data_;
};

// Splits a file's bytes into lines through one buffer, checking UTF-8 a whole
// buffer at a time. The part that the ledger's readers share; they differ in
// how they read (front to back, or at offsets from several threads) and in
// what they do with a line that is not UTF-8.
class LineSplitter {
 public:
  // Reads through a page-aligned buffer of `buffer_size` bytes (at least 1),
  // starting at file offset `start`, which must be 0 or just past a line feed.
  LineSplitter(std::size_t buffer_size, std::uint64_t start);

  // The next line's bytes, its line feed included when it has one (only the
  // file's last line may lack it); std::nullopt at end of file. `read(offset,
  // buffer, size)` reads up to `size` bytes at file offset `offset` and
  // returns the count, 0 at end of file. The view stays valid until the next
  // call.
  template <typename Read>
  Result<std::optional<std::string_view>> next(Read&& read);

  // Whether `line`, the bytes last returned by next, are valid UTF-8.
  bool valid(std::string_view line) const {
    // A line is known valid when everything read so far is; the last line of
    // a file without a final line feed also needs its last sequence complete.
    return (prefix_valid_ && (line.ends_with('\n') || utf8_.finish())) || is_valid_utf8(line);
  }

  // File offset at which the line last returned starts.
  std::uint64_t line_offset() const { return line_offset_; }
  // File offset just past the line last returned: where the next one starts.
  std::uint64_t position() const { return buffer_offset_ + position_; }

 private:
  template <typename Read>
  Result<bool> refill(Read& read);  // false at end of file

  ReadBuffer buffer_;                // the bytes read and not yet delivered
  std::size_t buffer_size_;          // capacity of buffer_
  std::size_t position_ = 0;         // next unread byte in buffer_
  std::size_t fill_ = 0;             // bytes of buffer_ that hold data
  std::uint64_t buffer_offset_;      // file offset of buffer_[0]
  std::uint64_t line_offset_ = 0;    // file offset of the last line returned
  bool at_end_ = false;              // a read has reported end of file
  std::string spill_;                // a line that spans refills
  Utf8StreamValidator utf8_;         // checks each buffer as it is filled
  bool prefix_valid_ = true;         // everything read so far is UTF-8
};

// `line` without its line feed and one carriage return right before it.
inline std::string_view without_terminator(std::string_view line) {
  if (line.ends_with('\n')) {
    line.remove_suffix(1);
    if (line.ends_with('\r')) line.remove_suffix(1);
  }
  return line;
}

template <typename Read>
Result<bool> LineSplitter::refill(Read& read) {
  buffer_offset_ += fill_;
  position_ = 0;
  fill_ = 0;
  if (at_end_) return false;
  auto count = read(buffer_offset_, buffer_.data(), buffer_size_);
  if (!count) return fail(std::move(count).error());
  fill_ = *count;
  at_end_ = fill_ == 0;
  // Checking a whole buffer at once is cheaper than line by line. Lines end at
  // line feeds, which never occur inside a multi-byte sequence, and reading
  // starts at a line start: while the bytes read so far are valid, so is
  // every line in them.
  if (prefix_valid_) prefix_valid_ = utf8_.feed(std::string_view(buffer_.data(), fill_));
  return !at_end_;
}

template <typename Read>
Result<std::optional<std::string_view>> LineSplitter::next(Read&& read) {
  spill_.clear();
  line_offset_ = position();
  for (;;) {
    if (position_ == fill_) {
      auto more = refill(read);
      if (!more) return fail(std::move(more).error());
      if (!*more) {
        if (spill_.empty()) return std::nullopt;  // nothing left at all
        return std::string_view(spill_);          // last line, no line feed
      }
    }
    const char* start = buffer_.data() + position_;
    const std::size_t available = fill_ - position_;
    const auto* newline = static_cast<const char*>(std::memchr(start, '\n', available));
    if (newline == nullptr) {
      spill_.append(start, available);
      position_ = fill_;
      continue;
    }
    const auto length = static_cast<std::size_t>(newline - start) + 1;
    position_ += length;
    if (spill_.empty()) return std::string_view(start, length);
    spill_.append(start, length);
    return std::string_view(spill_);
  }
}

// Reads one regular file sequentially through one fixed buffer. A line ends at
// a line feed, which is removed together with one carriage return right before
// it; the last line of a file may lack the line feed. Each line's bytes,
// terminator included, must be valid UTF-8. Lines have no length limit.
//
// Owned by one operation on one thread; destroying it closes the file.
class LedgerLineReader {
 public:
  // Opens the existing regular file at `path` for reading; any other kind of
  // object, a missing file or a refused open is an open failure.
  static Result<LedgerLineReader> open(std::string_view path);

  // The next line without its terminator, std::nullopt at end of file, or a
  // read failure (kInvalidUtf8 or the system's error text). The returned view
  // stays valid until the next call or until the reader is closed.
  Result<std::optional<std::string_view>> next_line();

  // Byte offset in the file at which the line last returned by next_line starts.
  std::uint64_t line_offset() const { return lines_.line_offset(); }

 private:
  explicit LedgerLineReader(platform::File file);

  platform::File file_;   // the open file, read front to back
  LineSplitter lines_;    // its lines
};

}  // namespace ledger
