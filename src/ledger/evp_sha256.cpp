#include "ledger/evp_sha256.h"

#include <openssl/evp.h>

namespace ledger::sha256 {

void EvpContextFree::operator()(evp_md_ctx_st* ctx) const noexcept { EVP_MD_CTX_free(ctx); }

EvpContext new_evp_context() { return EvpContext(EVP_MD_CTX_new()); }

const evp_md_st* evp_sha256() {
  static const EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}

}  // namespace ledger::sha256
