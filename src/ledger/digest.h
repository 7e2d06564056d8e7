// The entry digest: what an entry's signature is.
//
// The signature is SHA-256 over prev_hash, timestamp, actor, the 8 big-endian
// bytes of delta_i and payload, joined with no separators, as 64 lowercase hex
// digits. index and signature are not covered. Stored ledgers and their other
// readers depend on exactly these bytes.
#pragma once

#include <array>
#include <initializer_list>
#include <string>
#include <string_view>

#include "ledger/evp_sha256.h"
#include "ledger/failure.h"
#include "ledger/format.h"

namespace ledger {

using DigestHex = std::array<char, kSignatureLength>;

// Computes entry digests. Inputs of up to a few hundred bytes (nearly every
// entry) are gathered into one buffer and hashed on the processor's SHA
// extensions where it has them (sha256.h); anything else goes through one
// reused OpenSSL context, as resetting a context is cheaper than making a
// fresh one. Not thread-safe: one owner at a time.
class EntryHasher {
 public:
  EntryHasher();
  ~EntryHasher();
  EntryHasher(const EntryHasher&) = delete;
  EntryHasher& operator=(const EntryHasher&) = delete;

  // Digest of the five inputs as 64 lowercase hex digits. Fails only when
  // libcrypto does (out of memory), as an internal fault.
  Result<DigestHex> digest(std::string_view prev_hash, std::string_view timestamp,
                           std::string_view actor, double delta, std::string_view payload);

 private:
  // The digest of `parts` joined, through OpenSSL.
  Result<DigestHex> evp_digest(std::initializer_list<std::string_view> parts);

  sha256::EvpContext ctx_;  // null if allocation failed
  const evp_md_st* md_;     // the process's SHA-256 implementation (evp_sha256())
};

// One-shot form of EntryHasher::digest.
Result<std::string> compute_entry_digest(std::string_view prev_hash, std::string_view timestamp,
                                         std::string_view actor, double delta,
                                         std::string_view payload);

}  // namespace ledger
