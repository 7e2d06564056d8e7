// SHA-256 on the processor's SHA extensions.
//
// The entry digest uses this where the processor has the extensions (x86
// SHA, SSSE3 and SSE4.1), and OpenSSL's EVP interface everywhere else: for a
// message of a few blocks, EVP's set-up, dispatch and clean-up are a large
// part of the cost.
#pragma once

#include <cstddef>

namespace ledger::sha256 {

inline constexpr std::size_t kDigestSize = 32;

// Whether this processor runs the functions below (checked once).
bool native_available();

// SHA-256 of `size` bytes at `data` into `out`. Only when native_available().
void native_digest(const unsigned char* data, std::size_t size, unsigned char* out);

// Bytes that a buffer must hold past its message for native_digest_padded.
inline constexpr std::size_t kPaddingRoom = 72;

// native_digest for a message followed by kPaddingRoom bytes of its buffer,
// where the padding is written: no block is copied. Only when
// native_available().
void native_digest_padded(unsigned char* data, std::size_t size, unsigned char* out);

}  // namespace ledger::sha256
