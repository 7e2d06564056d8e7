#include "ledger/digest.h"

#include <openssl/evp.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "ledger/hex.h"
#include "ledger/sha256.h"

namespace ledger {

EntryHasher::EntryHasher() : ctx_(sha256::new_evp_context()), md_(sha256::evp_sha256()) {}

EntryHasher::~EntryHasher() = default;

namespace {

// Inputs up to this size are gathered into one buffer and hashed with one
// update: each update through EVP pays its own dispatch and buffering.
constexpr std::size_t kGatherLimit = 512;

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
  write_digest_hex(raw, hex.data());
  return hex;
}

}  // namespace

Result<DigestHex> EntryHasher::evp_digest(std::initializer_list<std::string_view> parts) {
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned int raw_length = 0;
  bool ok = ctx_ != nullptr && md_ != nullptr && EVP_DigestInit_ex2(ctx_.get(), md_, nullptr) == 1;
  for (std::string_view part : parts) ok = ok && EVP_DigestUpdate(ctx_.get(), part.data(), part.size()) == 1;
  ok = ok && EVP_DigestFinal_ex(ctx_.get(), raw, &raw_length) == 1 && raw_length == 32;
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
