#include "ledger/sha256.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <random>
#include <vector>

namespace ledger {
namespace {

using Digest = std::array<unsigned char, 32>;

Digest openssl_digest(const std::vector<unsigned char>& data) {
  Digest out{};
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_sha256(), nullptr), 1);
  return out;
}

std::vector<unsigned char> random_bytes(std::mt19937_64& rng, std::size_t size) {
  std::vector<unsigned char> out(size);
  for (auto& byte : out) byte = static_cast<unsigned char>(rng());
  return out;
}

// Sizes on both sides of every place where the padding changes shape: one
// block or two for the tail (55/56), whole blocks (63/64/65), over a few blocks.
// Random bytes; the padded form over spare bytes that are not zero.
std::vector<std::size_t> boundary_sizes() {
  std::vector<std::size_t> sizes;
  for (std::size_t blocks = 0; blocks < 6; ++blocks) {
    for (std::size_t offset : {0u, 1u, 54u, 55u, 56u, 57u, 62u, 63u}) sizes.push_back(64 * blocks + offset);
  }
  sizes.push_back(1000);
  sizes.push_back(4099);
  return sizes;
}

TEST(Sha256Test, NativeDigestEqualsOpenSsl) {
  if (!sha256::native_available()) GTEST_SKIP() << "no SHA extensions here";
  std::mt19937_64 rng(7);
  for (std::size_t size : boundary_sizes()) {
    const auto data = random_bytes(rng, size);
    Digest got{};
    sha256::native_digest(data.data(), data.size(), got.data());
    EXPECT_EQ(got, openssl_digest(data)) << size;
    // Padded where it lies, over bytes that are not zero.
    auto buffer = data;
    buffer.resize(size + sha256::kPaddingRoom, 0xA5);
    sha256::native_digest_padded(buffer.data(), size, got.data());
    EXPECT_EQ(got, openssl_digest(data)) << size;
  }
}

}  // namespace
}  // namespace ledger
