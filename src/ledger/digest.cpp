#include "ledger/digest.h"

#include <openssl/evp.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ledger {

EntryHasher::EntryHasher()
    : ctx_(EVP_MD_CTX_new()), md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)) {}

EntryHasher::~EntryHasher() {
  EVP_MD_CTX_free(ctx_);
  EVP_MD_free(md_);
}

namespace {

// Writes the 32 digest bytes as 64 lowercase hex digits.
void write_hex(const unsigned char* raw, char* hex) {
#if defined(__SSE2__)
  const __m128i low_nibble = _mm_set1_epi8(0x0F);
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i zero_digit = _mm_set1_epi8('0');
  const __m128i letter_gap = _mm_set1_epi8('a' - '0' - 10);
  // Each nibble n becomes '0' + n, plus the gap up to 'a' when n > 9.
  auto digits = [&](__m128i nibbles) {
    const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, nine), letter_gap);
    return _mm_add_epi8(_mm_add_epi8(nibbles, zero_digit), letters);
  };
  for (int half = 0; half < 2; ++half) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(raw + 16 * half));
    const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibble);
    const __m128i low = _mm_and_si128(bytes, low_nibble);
    // The high nibble's digit comes first in each pair.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(hex + 32 * half), digits(_mm_unpacklo_epi8(high, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(hex + 32 * half + 16), digits(_mm_unpackhi_epi8(high, low)));
  }
#else
  constexpr char kHexDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < 32; ++i) {
    hex[2 * i] = kHexDigits[raw[i] >> 4];
    hex[2 * i + 1] = kHexDigits[raw[i] & 0xF];
  }
#endif
}

// Inputs up to this size are gathered into one buffer and hashed with one
// update: each update through EVP pays its own dispatch and buffering.
constexpr std::size_t kGatherLimit = 512;

}  // namespace

Result<DigestHex> EntryHasher::digest(std::string_view prev_hash, std::string_view timestamp,
                                      std::string_view actor, double delta,
                                      std::string_view payload) {
  // The value's bit pattern, most significant byte first.
  std::uint64_t bits = std::bit_cast<std::uint64_t>(delta);
  if constexpr (std::endian::native == std::endian::little) bits = __builtin_bswap64(bits);
  unsigned char delta_bytes[8];
  std::memcpy(delta_bytes, &bits, sizeof bits);
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned int raw_length = 0;
  bool ok = ctx_ != nullptr && md_ != nullptr && EVP_DigestInit_ex2(ctx_, md_, nullptr) == 1;
  const std::size_t total =
      prev_hash.size() + timestamp.size() + actor.size() + sizeof delta_bytes + payload.size();
  if (total <= kGatherLimit) {
    char gathered[kGatherLimit];
    char* p = gathered;
    for (std::string_view part : {prev_hash, timestamp, actor}) {
      std::memcpy(p, part.data(), part.size());
      p += part.size();
    }
    std::memcpy(p, delta_bytes, sizeof delta_bytes);
    p += sizeof delta_bytes;
    std::memcpy(p, payload.data(), payload.size());
    ok = ok && EVP_DigestUpdate(ctx_, gathered, total) == 1;
  } else {
    ok = ok && EVP_DigestUpdate(ctx_, prev_hash.data(), prev_hash.size()) == 1 &&
         EVP_DigestUpdate(ctx_, timestamp.data(), timestamp.size()) == 1 &&
         EVP_DigestUpdate(ctx_, actor.data(), actor.size()) == 1 &&
         EVP_DigestUpdate(ctx_, delta_bytes, sizeof delta_bytes) == 1 &&
         EVP_DigestUpdate(ctx_, payload.data(), payload.size()) == 1;
  }
  ok = ok && EVP_DigestFinal_ex(ctx_, raw, &raw_length) == 1 && raw_length == 32;
  if (!ok) return fail(Failure::internal("SHA-256 computation failed"));
  DigestHex hex;
  write_hex(raw, hex.data());
  return hex;
}

Result<std::string> compute_entry_digest(std::string_view prev_hash, std::string_view timestamp,
                                         std::string_view actor, double delta,
                                         std::string_view payload) {
  EntryHasher hasher;
  auto hex = hasher.digest(prev_hash, timestamp, actor, delta, payload);
  if (!hex) return fail(std::move(hex).error());
  return std::string(hex->data(), hex->size());
}

}  // namespace ledger
