// Fuzzes the SHA-256 on the processor's SHA extensions, and the entry digests
// built on it, against OpenSSL.
//
// The input's first two bytes choose where the rest is cut into two messages.
// Properties (where the processor has the extensions):
//  - each message's native digest equals OpenSSL's SHA-256;
//  - the two hashed at once, in either order, give the same two digests;
//  - entries made of the bytes (each message cut into the five inputs at
//    points taken from it) get from EntryHasher::digest and digest_pair the
//    digests that OpenSSL gives over the joined inputs.
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
DigestInput entry_of(std::string_view bytes) {
  std::size_t cuts[3] = {};
  for (std::size_t& cut : cuts) {
    cut = bytes.empty() ? 0 : static_cast<unsigned char>(bytes.front()) % (bytes.size() + 1);
    if (!bytes.empty()) bytes.remove_prefix(1);
  }
  DigestInput in{};
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

void check_entry_digests(EntryHasher& hasher, const DigestInput& a, const DigestInput& b) {
  const std::string want_a = reference_entry_digest(a.prev_hash, a.timestamp, a.actor, a.delta, a.payload);
  const std::string want_b = reference_entry_digest(b.prev_hash, b.timestamp, b.actor, b.delta, b.payload);
  auto one = hasher.digest(a);
  FUZZ_CHECK(one.has_value() && std::string_view(one->data(), one->size()) == want_a, want_a);
  auto both = hasher.digest_pair(a, b);
  FUZZ_CHECK(both.has_value(), "digest_pair failed");
  FUZZ_CHECK(std::string_view((*both)[0].data(), 64) == want_a, want_a);
  FUZZ_CHECK(std::string_view((*both)[1].data(), 64) == want_b, want_b);
}

}  // namespace
}  // namespace ledger::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ledger;
  using namespace ledger::fuzz;
  if (size < 2) return 0;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t cut_at = (static_cast<std::size_t>(data[0]) << 8 | data[1]) % (size - 1);
  input.remove_prefix(2);
  const std::string_view a = input.substr(0, cut_at);
  const std::string_view b = input.substr(cut_at);

  if (sha256::native_available()) {
    const Digest want_a = openssl_digest(a);
    const Digest want_b = openssl_digest(b);
    Digest got_a{}, got_b{};
    sha256::native_digest(bytes_of(a), a.size(), got_a.data());
    FUZZ_CHECK(got_a == want_a, printable(a));
    sha256::native_digest_pair(bytes_of(a), a.size(), got_a.data(), bytes_of(b), b.size(), got_b.data());
    FUZZ_CHECK(got_a == want_a && got_b == want_b, printable(a) + " | " + printable(b));
    sha256::native_digest_pair(bytes_of(b), b.size(), got_b.data(), bytes_of(a), a.size(), got_a.data());
    FUZZ_CHECK(got_a == want_a && got_b == want_b, printable(b) + " | " + printable(a));
  }
  static EntryHasher hasher;
  check_entry_digests(hasher, entry_of(a), entry_of(b));
  return 0;
}
