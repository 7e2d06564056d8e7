// Fuzzes the SHA-256 on the processor's SHA extensions, and the entry digest
// built on it, against OpenSSL.
//
// Properties (the first where the processor has the extensions):
//  - the input's native digest, read in place and padded in a copy with spare
//    bytes that are not zero, equals OpenSSL's SHA-256;
//  - an entry made of the input (cut into the five inputs at points taken
//    from its first bytes) gets from EntryHasher::digest the digest that
//    OpenSSL gives over the joined inputs.
#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "ledger/digest.h"
#include "ledger/sha256.h"

namespace ledger::fuzz {
namespace {

using Digest = std::array<unsigned char, sha256::kDigestSize>;

Digest openssl_digest(std::string_view bytes) {
  Digest out{};
  unsigned int length = 0;
  FUZZ_CHECK(EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, EVP_sha256(), nullptr) == 1,
             "EVP_Digest failed");
  return out;
}

const unsigned char* bytes_of(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// An entry's inputs cut from `bytes`: prev_hash, timestamp and actor of
// lengths taken from its first bytes, 8 bytes of delta bits, the rest payload.
struct EntryInput {
  std::string_view prev_hash, timestamp, actor;
  double delta;
  std::string_view payload;
};

EntryInput entry_of(std::string_view bytes) {
  std::size_t cuts[3] = {};
  for (std::size_t& cut : cuts) {
    cut = bytes.empty() ? 0 : static_cast<unsigned char>(bytes.front()) % (bytes.size() + 1);
    if (!bytes.empty()) bytes.remove_prefix(1);
  }
  EntryInput in{};
  std::string_view* parts[3] = {&in.prev_hash, &in.timestamp, &in.actor};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::size_t take = cuts[i] < bytes.size() ? cuts[i] : bytes.size();
    *parts[i] = bytes.substr(0, take);
    bytes.remove_prefix(take);
  }
  std::uint64_t bits = 0;
  if (bytes.size() >= 8) {
    std::memcpy(&bits, bytes.data(), 8);
    bytes.remove_prefix(8);
  }
  std::memcpy(&in.delta, &bits, 8);
  in.payload = bytes;
  return in;
}

}  // namespace
}  // namespace ledger::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ledger;
  using namespace ledger::fuzz;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (sha256::native_available()) {
    const Digest want = openssl_digest(input);
    Digest got{};
    sha256::native_digest(bytes_of(input), input.size(), got.data());
    FUZZ_CHECK(got == want, printable(input));
    std::string padded(input);
    padded.resize(size + sha256::kPaddingRoom, '\xA5');
    sha256::native_digest_padded(reinterpret_cast<unsigned char*>(padded.data()), size, got.data());
    FUZZ_CHECK(got == want, printable(input));
  }
  static EntryHasher hasher;
  const EntryInput in = entry_of(input);
  const std::string want = reference_entry_digest(in.prev_hash, in.timestamp, in.actor, in.delta, in.payload);
  auto got = hasher.digest(in.prev_hash, in.timestamp, in.actor, in.delta, in.payload);
  FUZZ_CHECK(got.has_value() && std::string_view(got->data(), got->size()) == want, want);
  return 0;
}
