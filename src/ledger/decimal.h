// Exact conversion of short decimal numbers to double, without a library
// call. Internal to the core; the parser uses it for delta_i, which the
// writer writes with at most 17 significant digits and no exponent.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>

namespace ledger::detail {

__extension__ using Uint128 = unsigned __int128;

// The most fraction digits that decimal_to_double takes.
inline constexpr int kMaxFractionDigits = 19;

// 5^-k for k in [0, kMaxFractionDigits] as 128-bit fixed point with the top
// bit set, rounded up: floor(2^(b + 127) / 5^k) + 1 where 2^b is the smallest
// power of two above 5^k (and exactly 2^127 for k = 0). Rounded up, the
// product with the digits below never falls short of the true value, which
// the rounding step relies on.
consteval std::array<Uint128, kMaxFractionDigits + 1> make_inverse_powers_of_five() {
  std::array<Uint128, kMaxFractionDigits + 1> table{};
  table[0] = Uint128{1} << 127;
  std::uint64_t power = 1;
  for (int k = 1; k <= kMaxFractionDigits; ++k) {
    power *= 5;
    int bits = 0;
    while ((std::uint64_t{1} << bits) < power) ++bits;
    // Long division of 2^(bits + 127) by 5^k, one quotient bit per step.
    Uint128 quotient = 0;
    std::uint64_t remainder = 1;
    for (int step = 0; step < bits + 127; ++step) {
      remainder <<= 1;
      quotient <<= 1;
      if (remainder >= power) {
        remainder -= power;
        quotient |= 1;
      }
    }
    table[static_cast<std::size_t>(k)] = quotient + 1;
  }
  return table;
}

inline constexpr auto kInversePowersOfFive = make_inverse_powers_of_five();

// 10^k for k in [0, 22]: every power of ten that is an exact double.
inline constexpr std::array<double, 23> kExactPowersOfTen = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The double nearest to digits / 10^fraction_digits (ties to even), for
// fraction_digits in [0, kMaxFractionDigits]; std::nullopt when this
// routine cannot tell (the caller then asks std::from_chars).
//
// Digits up to 2^53 and 10^k up to 10^19 are exact doubles, so one correctly
// rounded division gives the answer. Larger digits go through a 128-bit
// product with 5^-k (the Eisel-Lemire method, Lemire 2021, "Number parsing
// at a gigabyte per second"): for decimal exponents in [-27, 55] that
// product is precise enough to round correctly, and ties can only occur for
// exponents of -4 and above, where the product is exact and the tie is seen.
inline std::optional<double> decimal_to_double(std::uint64_t digits, int fraction_digits, bool negative) {
  if (fraction_digits < 0 || fraction_digits > kMaxFractionDigits) return std::nullopt;
  if (digits <= (std::uint64_t{1} << 53)) {
    const double magnitude = static_cast<double>(digits) / kExactPowersOfTen[static_cast<std::size_t>(fraction_digits)];
    return negative ? -magnitude : magnitude;
  }
  const int q = -fraction_digits;
  const int leading_zeros = std::countl_zero(digits);
  const std::uint64_t w = digits << leading_zeros;
  const Uint128 power = kInversePowersOfFive[static_cast<std::size_t>(fraction_digits)];
  const auto power_high = static_cast<std::uint64_t>(power >> 64);
  const auto power_low = static_cast<std::uint64_t>(power);
  Uint128 product = Uint128{w} * power_high;
  auto high = static_cast<std::uint64_t>(product >> 64);
  auto low = static_cast<std::uint64_t>(product);
  // 55 bits are needed (53, one to round, one that the normalisation may
  // shift out). When the bits below them are all ones, a carry from the low
  // half of the power could still reach them: add its contribution.
  constexpr std::uint64_t kBelowPrecision = ~std::uint64_t{0} >> 55;
  if ((high & kBelowPrecision) == kBelowPrecision) {
    const auto second_high = static_cast<std::uint64_t>((Uint128{w} * power_low) >> 64);
    low += second_high;
    if (second_high > low) ++high;
  }
  const int upper_bit = static_cast<int>(high >> 63);
  const int shift = upper_bit + 64 - 52 - 3;
  std::uint64_t mantissa = high >> shift;
  // floor(log2(10^q)) + 63 + upper_bit - leading_zeros, biased by 1023.
  const int power2 = (((152170 + 65536) * q) >> 16) + 63 + upper_bit - leading_zeros + 1023;
  // A tie between two doubles: round to even instead of up.
  if (low <= 1 && q >= -4 && (mantissa & 3) == 1 && (mantissa << shift) == high) mantissa &= ~std::uint64_t{1};
  mantissa += mantissa & 1;
  mantissa >>= 1;
  int exponent = power2;
  if (mantissa >= (std::uint64_t{2} << 52)) {
    mantissa = std::uint64_t{1} << 52;
    ++exponent;
  }
  // digits > 2^53 and 10^q >= 10^-19 keep the result far from subnormal and
  // infinite values: the exponent is always in range here.
  mantissa &= ~(std::uint64_t{1} << 52);
  const std::uint64_t bits = mantissa | (static_cast<std::uint64_t>(exponent) << 52) |
                             (static_cast<std::uint64_t>(negative) << 63);
  return std::bit_cast<double>(bits);
}

}  // namespace ledger::detail
