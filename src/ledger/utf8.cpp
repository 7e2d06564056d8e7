#include "ledger/utf8.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ledger {
namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

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
    const std::size_t length = utf8_sequence_length(lead);
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
    const std::size_t needed = utf8_sequence_length(static_cast<unsigned char>(pending_[0]));
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
    if (utf8_sequence_length(byte) > back) complete = chunk.size() - back;
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
  if (utf8_sequence_length(lead) <= pending_size_) return false;  // also a byte that leads nothing
  if (pending_size_ >= 2) {
    const auto second = static_cast<unsigned char>(pending_[1]);
    const SecondByteBounds bounds = second_byte_bounds(lead);
    if (second < bounds.low || second > bounds.high) return false;
  }
  return pending_size_ < 3 || is_continuation(static_cast<unsigned char>(pending_[2]));
}

namespace {

// The length of the White_Space character at `p` (1 to 3 bytes, `left` of
// them readable), or 0 when none starts there.
std::size_t white_space_length(const unsigned char* p, std::size_t left) {
  const unsigned char b0 = p[0];
  if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
  if (b0 == 0xC2 && left >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) return 2;  // U+0085, U+00A0
  if (left >= 3) {
    const unsigned char b1 = p[1];
    const unsigned char b2 = p[2];
    const bool white =
        (b0 == 0xE1 && b1 == 0x9A && b2 == 0x80) ||                  // U+1680
        (b0 == 0xE2 && b1 == 0x80 &&
         (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) ||  // U+2000..200A, 2028, 2029, 202F
        (b0 == 0xE2 && b1 == 0x81 && b2 == 0x9F) ||                  // U+205F
        (b0 == 0xE3 && b1 == 0x80 && b2 == 0x80);                    // U+3000
    if (white) return 3;
  }
  return 0;
}

}  // namespace

std::size_t white_space_prefix(std::string_view bytes) {
  const auto* const begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* p = begin;
  const unsigned char* const end = p + bytes.size();
  while (p != end) {
    const std::size_t length = white_space_length(p, static_cast<std::size_t>(end - p));
    if (length == 0) break;
    p += length;
  }
  return static_cast<std::size_t>(p - begin);
}

bool is_blank_line(std::string_view line) { return white_space_prefix(line) == line.size(); }

std::size_t decode_utf8(std::string_view text, std::size_t at, std::uint32_t& code_point) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = utf8_sequence_length(lead);
  if (at + length > text.size() || !is_valid_utf8(text.substr(at, length))) return 0;
  if (length == 1) {
    code_point = lead;
    return 1;
  }
  code_point = length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu : lead & 0x07u;
  for (std::size_t i = 1; i < length; ++i) {
    code_point = (code_point << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3Fu);
  }
  return length;
}

std::size_t valid_utf8_prefix(std::string_view bytes) {
  std::size_t at = 0;
  std::uint32_t ignored;
  while (at < bytes.size()) {
    const std::size_t length = decode_utf8(bytes, at, ignored);
    if (length == 0) break;
    at += length;
  }
  return at;
}

}  // namespace ledger
