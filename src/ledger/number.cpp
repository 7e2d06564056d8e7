#include "ledger/number.h"

#include <charconv>
#include <optional>
#include <system_error>

#include "ledger/decimal.h"

namespace ledger::detail {
namespace {

// A number without exponent with at most 19 digits converts without a
// library call. Lines in the writer's layout never get here (the shorter path
// reads such numbers eight digits at a time), so a plain loop over the digits
// does.
std::optional<double> exact_decimal(const NumberText& number) {
  // At most 19 characters hold at most 19 digits, which 64 bits hold without wrapping.
  if (number.has_exponent || number.end - number.int_begin > 19) return std::nullopt;
  std::uint64_t digits = 0;
  for (const char* q = number.int_begin; q != number.end; ++q) {
    if (*q != '.') digits = digits * 10 + static_cast<std::uint64_t>(*q - '0');
  }
  const auto fraction_digits = number.has_fraction ? number.end - number.int_end - 1 : 0;
  return decimal_to_double(digits, static_cast<int>(fraction_digits), number.begin != number.int_begin);
}

// Whether a nonzero number's magnitude is at least 1, judged from the
// decimal position of its first significant digit.
bool magnitude_at_least_one(const NumberText& number) {
  long long position;  // decimal exponent of the first significant digit
  if (*number.int_begin != '0') {
    position = number.int_end - number.int_begin - 1;
  } else {
    position = -1;
    const char* q = number.int_end + 1;  // after '.'
    while (q != number.end && *q == '0') {
      --position;
      ++q;
    }
  }
  long long exponent = 0;
  if (number.has_exponent) {
    const char* q = number.end;
    while (is_digit(q[-1])) --q;  // start of the exponent digits
    const bool negative = q[-1] == '-';
    for (; q != number.end && exponent < 1'000'000'000LL; ++q) exponent = exponent * 10 + (*q - '0');
    if (negative) exponent = -exponent;
  }
  return position + exponent >= 0;
}

// delta_i from its scanned number: the double nearest to it (ties to even). A
// magnitude beyond the largest double is kDeltaTooLarge; one below the
// smallest reads as zero with the number's sign.
std::expected<double, ParseError> delta_value(const NumberText& number) {
  if (const auto exact = exact_decimal(number)) return *exact;
  double value;
  const auto [ptr, ec] = std::from_chars(number.begin, number.end, value);
  if (ec == std::errc() && ptr == number.end) return value;
  // Out of range: too large fails; too small is zero with the number's sign.
  if (ec == std::errc::result_out_of_range && !magnitude_at_least_one(number)) {
    return number.begin != number.int_begin ? -0.0 : 0.0;
  }
  return std::unexpected(ParseError::kDeltaTooLarge);
}

}  // namespace

bool read_delta(JsonCursor& in, double& delta) {
  if (!starts_number(*in.p)) return in.fail(ParseError::kWrongType);
  NumberText number;
  if (!in.scan_number(number)) return false;
  const auto value = delta_value(number);
  if (!value) return in.fail_at(number.begin, value.error());
  delta = *value;
  return true;
}

}  // namespace ledger::detail
