// The tool's hashing and hex writing built on the ledger core's.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ledger/hex.h"
#include "tlog/encoding.h"
#include "tlog/merkle.h"
#include "tlog/signing.h"

namespace ledger {
namespace {

std::string hex_one_by_one(const std::vector<std::uint8_t>& bytes) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

// Every length around the 16-byte blocks the vector path writes, with every
// byte value among them, against the digits written one byte at a time.
TEST(SharedHex, EveryLengthAndByteValue) {
  std::vector<std::uint8_t> all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(255 - i);
  for (const std::size_t size : std::vector<std::size_t>{0, 1, 15, 16, 17, 31, 32, 33, 47, 64, 100, 256}) {
    const std::vector<std::uint8_t> bytes(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_EQ(tlog::hex_encode(bytes), hex_one_by_one(bytes)) << size;
  }
}

TEST(SharedHex, WritesExactlyTwoDigitsPerByte) {
  const unsigned char bytes[] = {0x00, 0x09, 0x0a, 0x0f, 0x10, 0x9f, 0xa0, 0xff, 0x5c, 0xc5,
                                 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  std::string hex(2 * sizeof bytes + 2, '#');
  write_hex(bytes, sizeof bytes, hex.data() + 1);
  EXPECT_EQ(hex, "#00090a0f109fa0ff5cc50123456789abcdef#");
}

// The one-shot hash that callers carrying a Result use, against FIPS 180-2's
// vectors; the empty tree's root is the constant SHA-256 of nothing, also
// where a builder or a list of leaves has none.
TEST(SharedHashing, OneShotHashAndTheEmptyTree) {
  const struct {
    std::string_view bytes;
    std::string_view hex;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const auto& c : cases) {
    const Result<tlog::Hash> hash = tlog::sha256_of(c.bytes);
    ASSERT_TRUE(hash.has_value()) << c.bytes;
    EXPECT_EQ(tlog::hex_encode(*hash), c.hex) << c.bytes;
  }
  EXPECT_EQ(tlog::empty_tree_hash(), *tlog::sha256_of(""));
  EXPECT_EQ(tlog::TreeBuilder().root(), tlog::empty_tree_hash());
  EXPECT_EQ(tlog::tree_root({}), tlog::empty_tree_hash());
}

// A key hash is the first four bytes of SHA-256 over name, line feed,
// algorithm byte (1, Ed25519) and key, as a value that can carry a failure.
TEST(SharedHashing, KeyHashIsTheLeadingBytesOfItsDigest) {
  tlog::Ed25519Key key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
  std::string input = "auditor\n\x01";
  input.append(reinterpret_cast<const char*>(key.data()), key.size());
  const tlog::Hash digest = *tlog::sha256_of(input);
  const Result<std::uint32_t> hash = tlog::key_hash("auditor", key);
  ASSERT_TRUE(hash.has_value());
  EXPECT_EQ(*hash, (std::uint32_t{digest[0]} << 24) | (std::uint32_t{digest[1]} << 16) |
                       (std::uint32_t{digest[2]} << 8) | digest[3]);
}

}  // namespace
}  // namespace ledger
