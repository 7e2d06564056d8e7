// The numbers of an entry, index and delta_i, from their JSON text: digits
// read eight at a time for the writer's plain forms, and the conversions of
// any scanned number with their range rules. Internal to the core.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>

#include "ledger/json_cursor.h"
#include "ledger/parse_result.h"
#include "ledger/string_scan.h"

namespace ledger::detail {

inline constexpr std::array<std::uint64_t, 20> kPowersOfTen = {
    1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000, 10000000000, 100000000000,
    1000000000000, 10000000000000, 100000000000000, 1000000000000000, 10000000000000000, 100000000000000000,
    1000000000000000000, 10000000000000000000U};

// High bit set in each byte of `word` that is not an ASCII digit; the lowest
// flagged byte is exact, higher ones may be false alarms.
constexpr std::uint64_t nondigit_bytes(std::uint64_t word) {
  const std::uint64_t offset = word ^ (kOnes * '0');  // digits become 0 to 9
  return ((offset + kOnes * 0x76) | offset) & kHighBits;
}

// Value of eight ASCII digits, the first in the lowest byte.
constexpr std::uint64_t eight_digits(std::uint64_t word) {
  word -= kOnes * '0';
  word = word * 10 + (word >> 8);  // pairs of digits in alternate bytes
  word = (((word & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
          (((word >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >> 32;
  return word;
}

// Number of ASCII digits in [q, end), counted up to at least 20: enough to
// tell that a number is too long for a plain form.
inline std::ptrdiff_t digit_run(const char* q, const char* end) {
  if (end - q >= 24) {
    const std::uint64_t first = nondigit_bytes(load_word(q));
    if (first != 0) return std::countr_zero(first) / 8;
    const std::uint64_t second = nondigit_bytes(load_word(q + 8));
    if (second != 0) return 8 + std::countr_zero(second) / 8;
    const std::uint64_t third = nondigit_bytes(load_word(q + 16));
    return 16 + (third != 0 ? std::countr_zero(third) / 8 : 8);
  }
  const char* r = q;
  while (r != end && r - q < 20 && is_digit(*r)) ++r;
  return r - q;
}

// Value of the `count` (at most 19) digits at q; eight bytes past the digits
// must be readable.
inline std::uint64_t digits_value(const char* q, std::ptrdiff_t count) {
  std::uint64_t value = 0;
  for (; count >= 8; count -= 8, q += 8) value = value * 100000000 + eight_digits(load_word(q));
  if (count > 0) {
    // Shift the last digits to the top of a word and fill below with '0'.
    const auto shift = static_cast<unsigned>(8 - count) * 8;
    const std::uint64_t word = (load_word(q) << shift) | ((kOnes * '0') >> (64 - shift));
    value = value * kPowersOfTen[static_cast<std::size_t>(count)] + eight_digits(word);
  }
  return value;
}

constexpr bool starts_number(char c) { return c == '-' || is_digit(c); }

// index from its scanned number: plain digits (kIndexNotInteger for a sign,
// fraction or exponent) of at most 2^64 - 1 (kIndexTooLarge).
inline std::expected<std::uint64_t, ParseError> index_value(const NumberText& number) {
  if (number.begin != number.int_begin || number.has_fraction || number.has_exponent) {
    return std::unexpected(ParseError::kIndexNotInteger);
  }
  std::uint64_t value = 0;
  for (const char* q = number.int_begin; q != number.int_end; ++q) {
    const auto digit = static_cast<std::uint64_t>(*q - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::unexpected(ParseError::kIndexTooLarge);
    value = value * 10 + digit;
  }
  return value;
}

// Read the value at the cursor (not at its end) as index or delta_i: a value
// of another JSON type is kWrongType, a number out of bounds is refused at
// its start. delta_i is the double nearest to the number (ties to even); a
// magnitude beyond the largest double is kDeltaTooLarge, one below the
// smallest reads as zero with the number's sign.
inline bool read_index(JsonCursor& in, std::uint64_t& index) {
  if (!starts_number(*in.p)) return in.fail(ParseError::kWrongType);
  NumberText number;
  if (!in.scan_number(number)) return false;
  const auto value = index_value(number);
  if (!value) return in.fail_at(number.begin, value.error());
  index = *value;
  return true;
}

bool read_delta(JsonCursor& in, double& delta);

}  // namespace ledger::detail
