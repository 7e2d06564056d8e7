// SHA-256 on the processor's SHA extensions, one message or two at once.
//
// Each block of a message depends on the one before it, so hashing one
// message leaves the SHA units waiting on the latency of each round; two
// independent messages hashed with their rounds interleaved keep them busy.
// The entry digest uses these where the processor has the extensions (x86
// SHA, SSSE3 and SSE4.1), and OpenSSL's EVP interface everywhere else.
#pragma once

#include <cstddef>

namespace ledger::sha256 {

inline constexpr std::size_t kDigestSize = 32;

// Whether this processor runs the functions below (checked once).
bool native_available();

// SHA-256 of `size` bytes at `data` into `out`. Only when native_available().
void native_digest(const unsigned char* data, std::size_t size, unsigned char* out);

// SHA-256 of two messages at once, their rounds interleaved: the same digests
// as two native_digest calls. Only when native_available().
void native_digest_pair(const unsigned char* data_a, std::size_t size_a, unsigned char* out_a,
                        const unsigned char* data_b, std::size_t size_b, unsigned char* out_b);

// Bytes that a buffer must hold past its message for the padded forms below.
inline constexpr std::size_t kPaddingRoom = 72;

// native_digest and native_digest_pair for messages followed by
// kPaddingRoom bytes of their buffers, where the padding is written: no block
// is copied. Only when native_available().
void native_digest_padded(unsigned char* data, std::size_t size, unsigned char* out);
void native_digest_pair_padded(unsigned char* data_a, std::size_t size_a, unsigned char* out_a,
                               unsigned char* data_b, std::size_t size_b, unsigned char* out_b);

}  // namespace ledger::sha256
