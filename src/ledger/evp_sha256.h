// SHA-256 through OpenSSL's EVP interface: the set-up that the entry digest
// (digest.h) and the tool's Merkle tree share, for the hashes that do not run
// on the processor's SHA instructions (sha256.h).
#pragma once

#include <memory>

struct evp_md_ctx_st;
struct evp_md_st;

namespace ledger::sha256 {

struct EvpContextFree {
  void operator()(evp_md_ctx_st* ctx) const noexcept;
};

// An owned EVP digest context.
using EvpContext = std::unique_ptr<evp_md_ctx_st, EvpContextFree>;

// A new, empty context; null when libcrypto cannot make one (out of memory).
EvpContext new_evp_context();

// OpenSSL's SHA-256 implementation, fetched once for the process and kept for
// its lifetime: an implicit fetch on every digest would pay a lookup each
// time. Null when libcrypto has none to give. Thread-safe.
const evp_md_st* evp_sha256();

}  // namespace ledger::sha256
