// Finding the bytes that end a run of plain JSON string characters. Shared
// by the line writer and the parser; internal to the core.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ledger::detail {

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// High bit set in each byte of `word` below `limit` (limit <= 0x80); the lowest
// flagged byte is exact, higher ones may be false alarms.
constexpr std::uint64_t bytes_below(std::uint64_t word, std::uint8_t limit) {
  return (word - kOnes * limit) & ~word & kHighBits;
}
constexpr std::uint64_t bytes_equal(std::uint64_t word, std::uint8_t value) {
  return bytes_below(word ^ (kOnes * value), 1);
}

// The eight bytes at p as one word, the first byte lowest on little-endian
// machines; p need not be aligned.
inline std::uint64_t load_word(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

// The four bytes at p, likewise.
inline std::uint32_t load_half_word(const char* p) {
  std::uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

// First byte in [p, end) that ends a run of plain string characters: a quote,
// a backslash or a control character. Tests sixteen or eight bytes at a time.
inline const char* find_special(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i top_three_bits = _mm_set1_epi8(static_cast<char>(0xE0));
  // One bit per byte of the sixteen at q that ends a run.
  const auto special_bits = [&](const char* q) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i control = _mm_cmpeq_epi8(_mm_and_si128(bytes, top_three_bits), _mm_setzero_si128());
    const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)), control);
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
  };
  if (end - p >= 16) {
    while (end - p >= 16) {
      const unsigned mask = special_bits(p);
      if (mask != 0) return p + std::countr_zero(mask);
      p += 16;
    }
    if (p == end) return p;
    // The last sixteen bytes, overlapping those already tested, whose bits
    // are shifted out.
    const auto tested = static_cast<unsigned>(16 - (end - p));
    const unsigned mask = special_bits(end - 16) >> tested;
    return mask != 0 ? p + std::countr_zero(mask) : end;
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      const std::uint64_t hits = bytes_equal(word, '"') | bytes_equal(word, '\\') | bytes_below(word, 0x20);
      if (hits != 0) return p + std::countr_zero(hits) / 8;
      p += 8;
    }
  }
  while (p != end && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20) ++p;
  return p;
}

}  // namespace ledger::detail
