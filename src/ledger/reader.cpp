#include "ledger/reader.h"

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstdlib>
#include <cstring>
#include <new>

namespace ledger {
namespace {

constexpr std::size_t kBufferAlignment = 4096;

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the sequence that `lead` starts; 1 for a byte that starts none
// (validation then refuses it).
std::size_t sequence_length(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 1;
}

// Bounds of the byte after `lead` in a valid sequence. They are narrower than
// any continuation byte's for the leads that could otherwise start an
// overlong form, a surrogate or a code point above U+10FFFF.
struct SecondByteBounds {
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
};

SecondByteBounds second_byte_bounds(unsigned char lead) {
  switch (lead) {
    case 0xE0: return {0xA0, 0xBF};  // no overlong forms
    case 0xED: return {0x80, 0x9F};  // no surrogates
    case 0xF0: return {0x90, 0xBF};  // no overlong forms
    case 0xF4: return {0x80, 0x8F};  // nothing above U+10FFFF
    default: return {};
  }
}

}  // namespace

void ReadBuffer::AlignedFree::operator()(char* p) const {
  ::operator delete[](p, std::align_val_t{kBufferAlignment});
}

ReadBuffer::ReadBuffer(std::size_t size)
    : data_(static_cast<char*>(::operator new[](size, std::align_val_t{kBufferAlignment}))) {}

LineSplitter::LineSplitter(std::size_t buffer_size, std::uint64_t start)
    : buffer_(buffer_size), buffer_size_(buffer_size), buffer_offset_(start) {}

LedgerLineReader::LedgerLineReader(platform::File file)
    : file_(std::move(file)), lines_(kBufferSize, 0) {}

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

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = p + bytes.size();
  while (p != end) {
    // ASCII runs are the common case: test many bytes at a time.
#if defined(__SSE2__)
    while (end - p >= 64) {
      const auto* block = reinterpret_cast<const __m128i*>(p);
      const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(block), _mm_loadu_si128(block + 1)),
                                       _mm_or_si128(_mm_loadu_si128(block + 2), _mm_loadu_si128(block + 3)));
      if (_mm_movemask_epi8(any) != 0) break;
      p += 64;
    }
    while (end - p >= 16) {
      if (_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) != 0) break;
      p += 16;
    }
#endif
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ULL) != 0) break;
      p += 8;
    }
    if (p == end) break;
    const unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    const std::size_t length = sequence_length(lead);
    if (length == 1) return false;  // a continuation byte, or a byte that leads nothing
    if (static_cast<std::size_t>(end - p) < length) return false;
    const SecondByteBounds second = second_byte_bounds(lead);
    if (p[1] < second.low || p[1] > second.high) return false;
    for (std::size_t i = 2; i < length; ++i) {
      if (!is_continuation(p[i])) return false;
    }
    p += length;
  }
  return true;
}

bool Utf8StreamValidator::feed(std::string_view chunk) {
  if (!valid_) return false;
  if (pending_size_ > 0) {
    const std::size_t needed = sequence_length(static_cast<unsigned char>(pending_[0]));
    const std::size_t take = std::min(needed - pending_size_, chunk.size());
    std::memcpy(pending_ + pending_size_, chunk.data(), take);
    pending_size_ += take;
    chunk.remove_prefix(take);
    if (pending_size_ < needed) return true;  // still incomplete: wait for more
    valid_ = is_valid_utf8(std::string_view(pending_, pending_size_));
    pending_size_ = 0;
    if (!valid_) return false;
  }
  // Hold back a sequence that the end of the chunk cuts short.
  std::size_t complete = chunk.size();
  for (std::size_t back = 1; back <= 3 && back <= chunk.size(); ++back) {
    const auto byte = static_cast<unsigned char>(chunk[chunk.size() - back]);
    if (is_continuation(byte)) continue;
    if (sequence_length(byte) > back) complete = chunk.size() - back;
    break;
  }
  valid_ = is_valid_utf8(chunk.substr(0, complete));
  pending_size_ = chunk.size() - complete;
  std::memcpy(pending_, chunk.data() + complete, pending_size_);
  return valid_;
}

bool Utf8StreamValidator::cut_inside_character() const {
  if (!valid_ || pending_size_ == 0) return false;
  // The held-back bytes start a longer sequence; they must be a prefix that
  // some continuation makes valid.
  const auto lead = static_cast<unsigned char>(pending_[0]);
  if (sequence_length(lead) <= pending_size_) return false;  // also a byte that leads nothing
  if (pending_size_ >= 2) {
    const auto second = static_cast<unsigned char>(pending_[1]);
    const SecondByteBounds bounds = second_byte_bounds(lead);
    if (second < bounds.low || second > bounds.high) return false;
  }
  return pending_size_ < 3 || is_continuation(static_cast<unsigned char>(pending_[2]));
}

bool is_blank_line(std::string_view line) {
  const auto* p = reinterpret_cast<const unsigned char*>(line.data());
  const unsigned char* const end = p + line.size();
  while (p != end) {
    const unsigned char b0 = p[0];
    if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0D)) {
      p += 1;
      continue;
    }
    const std::size_t left = static_cast<std::size_t>(end - p);
    if (b0 == 0xC2 && left >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) {  // U+0085, U+00A0
      p += 2;
      continue;
    }
    if (left >= 3) {
      const unsigned char b1 = p[1];
      const unsigned char b2 = p[2];
      const bool white =
          (b0 == 0xE1 && b1 == 0x9A && b2 == 0x80) ||                  // U+1680
          (b0 == 0xE2 && b1 == 0x80 &&
           (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) ||  // U+2000..200A, 2028, 2029, 202F
          (b0 == 0xE2 && b1 == 0x81 && b2 == 0x9F) ||                  // U+205F
          (b0 == 0xE3 && b1 == 0x80 && b2 == 0x80);                    // U+3000
      if (white) {
        p += 3;
        continue;
      }
    }
    return false;
  }
  return true;
}

}  // namespace ledger
