#include "ledger/digest.h"

#include <openssl/evp.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "ledger/sha256.h"

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

namespace {

// The delta's bit pattern, most significant byte first.
void put_delta_bytes(double delta, unsigned char* out) {
  std::uint64_t bits = std::bit_cast<std::uint64_t>(delta);
  if constexpr (std::endian::native == std::endian::little) bits = __builtin_bswap64(bits);
  std::memcpy(out, &bits, sizeof bits);
}

constexpr std::size_t kDeltaBytes = 8;

// The five inputs of one entry digest.
struct DigestInput {
  std::string_view prev_hash;
  std::string_view timestamp;
  std::string_view actor;
  double delta;
  std::string_view payload;
};

std::size_t joined_size(const DigestInput& in) {
  return in.prev_hash.size() + in.timestamp.size() + in.actor.size() + kDeltaBytes +
         in.payload.size();
}

// Joins the inputs into `out`, which holds at least joined_size(in) bytes.
void gather(const DigestInput& in, unsigned char* out) {
  for (std::string_view part : {in.prev_hash, in.timestamp, in.actor}) {
    if (!part.empty()) std::memcpy(out, part.data(), part.size());
    out += part.size();
  }
  put_delta_bytes(in.delta, out);
  out += kDeltaBytes;
  if (!in.payload.empty()) std::memcpy(out, in.payload.data(), in.payload.size());
}

DigestHex hex_of(const unsigned char* raw) {
  DigestHex hex;
  write_hex(raw, hex.data());
  return hex;
}

}  // namespace

Result<DigestHex> EntryHasher::evp_digest(std::initializer_list<std::string_view> parts) {
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned int raw_length = 0;
  bool ok = ctx_ != nullptr && md_ != nullptr && EVP_DigestInit_ex2(ctx_, md_, nullptr) == 1;
  for (std::string_view part : parts) ok = ok && EVP_DigestUpdate(ctx_, part.data(), part.size()) == 1;
  ok = ok && EVP_DigestFinal_ex(ctx_, raw, &raw_length) == 1 && raw_length == 32;
  if (!ok) return fail(Failure::internal("SHA-256 computation failed"));
  return hex_of(raw);
}

Result<DigestHex> EntryHasher::digest(std::string_view prev_hash, std::string_view timestamp,
                                      std::string_view actor, double delta,
                                      std::string_view payload) {
  const DigestInput in{prev_hash, timestamp, actor, delta, payload};
  const std::size_t total = joined_size(in);
  if (total <= kGatherLimit) {
    unsigned char gathered[kGatherLimit + sha256::kPaddingRoom];
    gather(in, gathered);
    if (!sha256::native_available()) {
      return evp_digest({std::string_view(reinterpret_cast<const char*>(gathered), total)});
    }
    unsigned char raw[sha256::kDigestSize];
    sha256::native_digest_padded(gathered, total, raw);
    return hex_of(raw);
  }
  unsigned char delta_bytes[kDeltaBytes];
  put_delta_bytes(delta, delta_bytes);
  return evp_digest({prev_hash, timestamp, actor,
                     std::string_view(reinterpret_cast<const char*>(delta_bytes), kDeltaBytes),
                     payload});
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
