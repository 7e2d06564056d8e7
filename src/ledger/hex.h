// Lowercase hexadecimal: two digits a byte, the high nibble's digit first.
// The one hex writer of the ledger and of its tool (entry signatures, hashes,
// keys).
#pragma once

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ledger {

inline constexpr std::size_t kHexBlock = 16;  // bytes that write_hex_block takes

// Writes the 2 * kHexBlock hex digits of kHexBlock bytes.
inline void write_hex_block(const unsigned char* bytes, char* hex) {
#if defined(__SSE2__)
  // Each nibble n becomes '0' + n, plus the gap up to 'a' when n > 9.
  const __m128i low_nibble = _mm_set1_epi8(0x0F);
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i zero_digit = _mm_set1_epi8('0');
  const __m128i letter_gap = _mm_set1_epi8('a' - '0' - 10);
  auto digits = [&](__m128i nibbles) {
    const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, nine), letter_gap);
    return _mm_add_epi8(_mm_add_epi8(nibbles, zero_digit), letters);
  };
  const __m128i loaded = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  const __m128i high = _mm_and_si128(_mm_srli_epi16(loaded, 4), low_nibble);
  const __m128i low = _mm_and_si128(loaded, low_nibble);
  // The high nibble's digit comes first in each pair.
  _mm_storeu_si128(reinterpret_cast<__m128i*>(hex), digits(_mm_unpacklo_epi8(high, low)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(hex + 16), digits(_mm_unpackhi_epi8(high, low)));
#else
  constexpr char kHexDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < kHexBlock; ++i) {
    hex[2 * i] = kHexDigits[bytes[i] >> 4];
    hex[2 * i + 1] = kHexDigits[bytes[i] & 0xF];
  }
#endif
}

// The 64 hex digits of a 32-byte digest: two blocks, on the commit path.
inline void write_digest_hex(const unsigned char* digest, char* hex) {
  for (int half = 0; half < 2; ++half) write_hex_block(digest + 16 * half, hex + 32 * half);
}

// Writes the 2 * size hex digits of the `size` bytes at `bytes` to `hex`.
inline void write_hex(const unsigned char* bytes, std::size_t size, char* hex) {
  std::size_t done = 0;
  for (; done + kHexBlock <= size; done += kHexBlock) write_hex_block(bytes + done, hex + 2 * done);
  constexpr char kHexDigits[] = "0123456789abcdef";
  for (std::size_t i = done; i < size; ++i) {
    hex[2 * i] = kHexDigits[bytes[i] >> 4];
    hex[2 * i + 1] = kHexDigits[bytes[i] & 0xF];
  }
}

}  // namespace ledger
