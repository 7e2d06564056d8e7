#include "ledger/sha256.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define LEDGER_SHA_X86 1
#endif

namespace ledger::sha256 {

#if defined(LEDGER_SHA_X86)

namespace {

#define LEDGER_SHA_TARGET __attribute__((target("sha,ssse3,sse4.1")))
#define LEDGER_SHA_INLINE __attribute__((target("sha,ssse3,sse4.1"), always_inline)) inline

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

alignas(16) constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// A message as the blocks the compression reads: its whole blocks where they
// lie, then the padded tail (one or two blocks) copied aside.
struct Blocks {
  Blocks(const unsigned char* data, std::size_t size)
      : data_(data), whole_(size / 64), count_(whole_ + (size % 64 < 56 ? 1 : 2)) {
    const std::size_t rest = size % 64;
    std::memset(tail_, 0, sizeof tail_);
    if (rest != 0) std::memcpy(tail_, data + 64 * whole_, rest);
    tail_[rest] = 0x80;
    const std::uint64_t bits = static_cast<std::uint64_t>(size) * 8;
    unsigned char* length = tail_ + 64 * (count_ - whole_) - 8;
    for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  }
  std::size_t count() const { return count_; }
  const unsigned char* block(std::size_t i) const {
    return i < whole_ ? data_ + 64 * i : tail_ + 64 * (i - whole_);
  }

 private:
  const unsigned char* data_;
  std::size_t whole_;  // blocks read in place
  std::size_t count_;  // all blocks, the padded tail included
  unsigned char tail_[128];
};

// A message followed by room for its padding, which is written there: every
// block is read in place.
struct PaddedInPlace {
  PaddedInPlace(unsigned char* data, std::size_t size) : data_(data), count_((size + 8) / 64 + 1) {
    const std::size_t padded = 64 * count_;
    data[size] = 0x80;
    std::memset(data + size + 1, 0, padded - 8 - size - 1);
    const std::uint64_t bits = static_cast<std::uint64_t>(size) * 8;
    for (int i = 0; i < 8; ++i) data[padded - 8 + static_cast<std::size_t>(i)] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  }
  std::size_t count() const { return count_; }
  const unsigned char* block(std::size_t i) const { return data_ + 64 * i; }

 private:
  const unsigned char* data_;
  std::size_t count_;
};

// The state as the SHA instructions hold it: ABEF and CDGH.
struct State {
  __m128i abef;
  __m128i cdgh;
};

LEDGER_SHA_INLINE State initial_state() {
  const __m128i abcd = _mm_load_si128(reinterpret_cast<const __m128i*>(kInitial));
  const __m128i efgh = _mm_load_si128(reinterpret_cast<const __m128i*>(kInitial + 4));
  const __m128i cdab = _mm_shuffle_epi32(abcd, 0xB1);
  const __m128i hgfe = _mm_shuffle_epi32(efgh, 0x1B);
  return {_mm_alignr_epi8(cdab, hgfe, 8), _mm_blend_epi16(hgfe, cdab, 0xF0)};
}

// Writes the digest bytes: the eight words, most significant byte first.
LEDGER_SHA_INLINE void store_digest(const State& s, unsigned char* out) {
  const __m128i feba = _mm_shuffle_epi32(s.abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(s.cdgh, 0xB1);
  const __m128i dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  const __m128i hgfe = _mm_alignr_epi8(dchg, feba, 8);
  // Word order a..h in memory; each word's bytes reversed to big-endian.
  const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(dcba, swap));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_shuffle_epi8(hgfe, swap));
}

// Compresses one block into the state.
LEDGER_SHA_INLINE void compress(State& state, const unsigned char* block) {
  const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  const State saved = state;
  __m128i w[4];
  // Sixteen groups of four rounds. Group g uses message words 4g..4g+3, held
  // in w[g % 4]; the schedule computes each later group from earlier ones
  // (sha256msg1 two groups ahead, sha256msg2 one group ahead).
#pragma GCC unroll 16
  for (int g = 0; g < 16; ++g) {
    if (g < 4) {
      w[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block) + g), swap);
    }
    __m128i message = _mm_add_epi32(w[g % 4], _mm_load_si128(reinterpret_cast<const __m128i*>(kRound) + g));
    state.cdgh = _mm_sha256rnds2_epu32(state.cdgh, state.abef, message);
    if (g >= 3 && g <= 14) {
      const __m128i next = _mm_add_epi32(w[(g + 1) % 4], _mm_alignr_epi8(w[g % 4], w[(g + 3) % 4], 4));
      w[(g + 1) % 4] = _mm_sha256msg2_epu32(next, w[g % 4]);
    }
    message = _mm_shuffle_epi32(message, 0x0E);
    state.abef = _mm_sha256rnds2_epu32(state.abef, state.cdgh, message);
    if (g >= 1 && g <= 12) w[(g + 3) % 4] = _mm_sha256msg1_epu32(w[(g + 3) % 4], w[g % 4]);
  }
  state.abef = _mm_add_epi32(state.abef, saved.abef);
  state.cdgh = _mm_add_epi32(state.cdgh, saved.cdgh);
}

template <typename Message>
LEDGER_SHA_INLINE void hash(const Message& message, unsigned char* out) {
  State state = initial_state();
  for (std::size_t i = 0; i < message.count(); ++i) compress(state, message.block(i));
  store_digest(state, out);
}

LEDGER_SHA_TARGET void digest_copying_tail(const unsigned char* data, std::size_t size,
                                           unsigned char* out) {
  hash(Blocks(data, size), out);
}

LEDGER_SHA_TARGET void digest_in_place(unsigned char* data, std::size_t size, unsigned char* out) {
  hash(PaddedInPlace(data, size), out);
}

bool detect() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool ssse3 = (c & bit_SSSE3) != 0;
  const bool sse41 = (c & bit_SSE4_1) != 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  const bool sha = (b & bit_SHA) != 0;
  return ssse3 && sse41 && sha;
}

}  // namespace

bool native_available() {
  static const bool available = detect();
  return available;
}

void native_digest(const unsigned char* data, std::size_t size, unsigned char* out) {
  digest_copying_tail(data, size, out);
}

void native_digest_padded(unsigned char* data, std::size_t size, unsigned char* out) {
  digest_in_place(data, size, out);
}

#else

bool native_available() { return false; }

void native_digest(const unsigned char*, std::size_t, unsigned char*) { __builtin_trap(); }

void native_digest_padded(unsigned char*, std::size_t, unsigned char*) { __builtin_trap(); }

#endif

}  // namespace ledger::sha256
