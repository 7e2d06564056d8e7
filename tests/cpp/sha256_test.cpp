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

TEST(Sha256Test, PairsOfEveryBoundarySizeEqualOpenSsl) {
  // Equal and unequal lengths in both orders: the shorter message ends while
  // the longer goes on alone.
  if (!sha256::native_available()) GTEST_SKIP() << "no SHA extensions here";
  std::mt19937_64 rng(11);
  const auto sizes = boundary_sizes();
  for (std::size_t size_a : sizes) {
    for (std::size_t size_b : sizes) {
      const auto a = random_bytes(rng, size_a);
      const auto b = random_bytes(rng, size_b);
      Digest got_a{}, got_b{};
      sha256::native_digest_pair(a.data(), a.size(), got_a.data(), b.data(), b.size(), got_b.data());
      EXPECT_EQ(got_a, openssl_digest(a)) << size_a << " with " << size_b;
      EXPECT_EQ(got_b, openssl_digest(b)) << size_b << " with " << size_a;
      auto padded_a = a;
      auto padded_b = b;
      padded_a.resize(size_a + sha256::kPaddingRoom, 0xFF);
      padded_b.resize(size_b + sha256::kPaddingRoom, 0xFF);
      sha256::native_digest_pair_padded(padded_a.data(), size_a, got_a.data(), padded_b.data(), size_b,
                                        got_b.data());
      EXPECT_EQ(got_a, openssl_digest(a)) << size_a << " with " << size_b << ", padded";
      EXPECT_EQ(got_b, openssl_digest(b)) << size_b << " with " << size_a << ", padded";
    }
  }
}

}  // namespace
}  // namespace ledger
