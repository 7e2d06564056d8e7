// The tool's hashing and hex writing built on the ledger core's.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ledger/hex.h"
#include "tlog/encoding.h"

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

}  // namespace
}  // namespace ledger
