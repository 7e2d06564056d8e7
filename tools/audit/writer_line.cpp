#include "audit/writer_line.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <system_error>

#include "ledger/entry.h"
#include "ledger/format.h"
#include "ledger/number.h"

namespace ledger::audit {
namespace {

using detail::is_digit;
using detail::kPowersOfTen;

// A nonzero number as write_delta spells it: the shortest round-trip digits
// d1 d2 ... dk (d1 and dk not zero), as one integer, and the decimal exponent
// of d1.
struct Spelling {
  bool negative = false;
  int count = 0;  // k, at most 17 (no double needs more)
  std::uint64_t digits = 0;
  int exponent = 0;
};

// The run of digits at p, up to 21 of them (the most a form holds: "0.0000"
// and 17 digits), stopping at `end`, as an integer in `value`; returns its
// end. `value` is exact unless the run has more than 19 digits after its
// leading zeros, which no form accepts (it may wrap then). Bytes up to
// `readable_end` (at or past `end`) may be read: where 32 of them can, the
// digits are found and read eight at a time, with no loop whose exit depends
// on how many there are.
const char* take_digits(const char* p, const char* end, const char* readable_end,
                        std::uint64_t& value) {
  if (readable_end - p >= 32) {  // digit_run tests 24 bytes; digits_value reads 8 past 19 digits
    const auto run = std::min(detail::digit_run(p, readable_end), end - p);
    if (run <= 19) {
      value = detail::digits_value(p, run);
      return p + run;
    }
  }
  value = 0;
  const char* const limit = end - p > 21 ? p + 21 : end;
  for (; p != limit && is_digit(*p); ++p) value = value * 10 + static_cast<std::uint64_t>(*p - '0');
  return p;
}

// Reads `text` as one of write_delta's forms for a nonzero number; false when
// it is spelled any other way. The forms, by the exponent e of the first digit:
//   -5 <= e <= -1:  "0." then -e-1 zeros and the digits       (0.00125)
//    0 <= e <= 15:  the digits with the point after e+1 of them (12.5), or,
//                   when there are no more than e+1, the digits, zeros up
//                   to e+1 figures, and ".0"                  (1250.0)
//   otherwise:      the first digit, "." and the others when there are any,
//                   "e", the exponent's sign and its digits   (1.25e+20, 5e-7)
// each after a '-' for a negative number. A run of more than 21 digits stops
// at a digit, which no form accepts there.
bool read_spelling(std::string_view text, const char* readable_end, Spelling& s) {
  const char* p = text.data();
  const char* const end = p + text.size();
  s.negative = p != end && *p == '-';
  if (s.negative) ++p;
  std::uint64_t int_value = 0;
  const char* const int_begin = p;
  p = take_digits(p, end, readable_end, int_value);
  const auto int_digits = static_cast<int>(p - int_begin);
  if (int_digits == 0 || p == end) return false;  // the writer always writes '.' or 'e'
  std::uint64_t frac_value = 0;
  const char* frac_begin = p;
  if (*p == '.') {
    frac_begin = ++p;
    p = take_digits(p, end, readable_end, frac_value);
    if (p == frac_begin) return false;
  }
  const char* const frac_end = p;
  const auto frac_digits = static_cast<int>(frac_end - frac_begin);
  if (p == end) {
    if (*int_begin == '0') {
      // 0.000ddd
      if (int_digits != 1 || frac_end[-1] == '0') return false;
      const char* q = frac_begin;
      while (*q == '0') ++q;  // stops at the last digit, which is not zero
      const auto zeros = static_cast<int>(q - frac_begin);
      if (zeros > 4) return false;
      s.exponent = -zeros - 1;
      s.count = frac_digits - zeros;
      s.digits = frac_value;
      return s.count <= 17;
    }
    if (int_digits > 16) return false;  // e above 15 takes the exponent form
    s.exponent = int_digits - 1;
    if (frac_end[-1] == '0') {
      // Only a whole number ends in a zero: "ddd00.0". Its digits are those
      // before its trailing zeros.
      if (frac_digits != 1) return false;
      s.digits = int_value;
      s.count = int_digits;
      for (; s.digits % 10 == 0; s.digits /= 10) --s.count;  // the first digit is not zero
      return true;
    }
  } else {
    // Exponent form.
    if (*p != 'e' || int_digits != 1 || *int_begin == '0') return false;
    if (frac_digits > 0 && frac_end[-1] == '0') return false;
    ++p;
    if (p == end || (*p != '+' && *p != '-')) return false;
    const bool negative_exponent = *p++ == '-';
    const char* const exp_begin = p;
    int exponent = 0;
    while (p != end && is_digit(*p) && p - exp_begin < 4) exponent = exponent * 10 + (*p++ - '0');
    if (p != end || p == exp_begin || *exp_begin == '0') return false;
    s.exponent = negative_exponent ? -exponent : exponent;
    if (s.exponent >= -5 && s.exponent <= 15) return false;  // written in a fixed form
  }
  // The digits before the point, then those after it.
  s.count = int_digits + frac_digits;
  if (s.count > 17) return false;
  s.digits = int_value * kPowersOfTen[static_cast<std::size_t>(frac_digits)] + frac_value;
  return true;
}

// Whether the shortest round-trip digits of `magnitude` (positive, finite),
// as write_delta takes them from std::to_chars, are those of `s`.
bool has_shortest_digits(double magnitude, const Spelling& s) {
  char sci[kMaxDeltaLength];
  const auto [sci_end, ec] = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific);
  if (ec != std::errc()) return false;
  // "d[.ddd]e[+-]x"
  const char* q = sci;
  std::uint64_t digits = 0;
  int count = 0;
  for (; q != sci_end && *q != 'e'; ++q) {
    if (*q == '.') continue;
    digits = digits * 10 + static_cast<std::uint64_t>(*q - '0');
    ++count;
  }
  if (q == sci_end || count != s.count || digits != s.digits) return false;
  ++q;  // 'e'
  const bool negative_exponent = *q++ == '-';
  int exponent = 0;
  for (; q != sci_end; ++q) exponent = exponent * 10 + (*q - '0');
  return (negative_exponent ? -exponent : exponent) == s.exponent;
}

__extension__ using Wide = unsigned __int128;

// Whether the shortest round-trip digits of `magnitude` are those of `s`,
// told with exact integer arithmetic, or nullopt where that would not be
// exact or the answer sits on a boundary where rounding ties decide.
//
// Let x = D * 10^p be the text's value (D the digits as an integer, k of
// them) and d = M * 2^q the double nearest to it (M of 53 bits). The reals
// that read back as d are those around d up to half its ulp 2^q on either
// side (the lower side is narrower when M = 2^52, left to to_chars). The
// shortest digits are D exactly when
//   (1) no decimal of fewer digits reads back as d: the two nearest to x
//       on the grid of k-1 digits, L = D - D mod 10 and L + 10 (times 10^p),
//       lie beyond d -+ 2^(q-1); every other one of fewer digits lies beyond
//       them; and
//   (2) D is the nearest to d of the decimals of k digits: |x - d| < 10^p / 2.
// (With (1), d lies strictly between L and L + 10, in x's decade, where
// decimals of k digits are 10^p apart.) Scaled by 10^-p * 2^(1-q), every
// quantity is an integer below 2^128 when 0 <= -p <= 22 and 1 <= 1-q <= 70:
//   x -> D * 2^(1-q) < 2^(56.5+70),  d -+ 2^(q-1) -> (2M -+ 1) * 10^-p < 2^(54+73.1),
//   10^p / 2 -> 2^-q.
// Strict inequalities give the answer either way: L or L + 10 strictly inside
// reads back as d whatever the tie rule, and with |x - d| > 10^p / 2 the
// neighbour of D toward d is strictly nearer to d, so strictly inside too,
// and has k digits or fewer; to_chars then gives other digits. An equality
// is left to to_chars.
std::optional<bool> shortest_digits_exactly(double magnitude, const Spelling& s) {
  const auto bits = std::bit_cast<std::uint64_t>(magnitude);
  const auto biased = static_cast<int>(bits >> 52);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased == 0 || fraction == 0) return std::nullopt;  // subnormal, or a power of two
  const std::uint64_t m = fraction | (std::uint64_t{1} << 52);
  const int q = biased - 1075;
  const int minus_p = s.count - 1 - s.exponent;
  if (q > 0 || 1 - q > 70 || minus_p < 0 || minus_p > 22) return std::nullopt;
  const std::uint64_t digits = s.digits;
  const int shift = 1 - q;
  const Wide scale = Wide{kPowersOfTen[static_cast<std::size_t>(std::min(minus_p, 19))]} *
                     kPowersOfTen[static_cast<std::size_t>(std::max(minus_p - 19, 0))];
  const Wide x = Wide{digits} << shift;
  const Wide below = (Wide{m} * 2 - 1) * scale;  // d - 2^(q-1)
  const Wide above = (Wide{m} * 2 + 1) * scale;  // d + 2^(q-1)
  const Wide low = Wide{digits - digits % 10} << shift;
  const Wide high = Wide{digits - digits % 10 + 10} << shift;
  const Wide value = Wide{m} * 2 * scale;
  const Wide half_step = Wide{1} << (shift - 1);
  const Wide distance = x > value ? x - value : value - x;
  if (low < below && high > above && distance < half_step) return true;
  if (low > below || high < above || distance > half_step) return false;
  return std::nullopt;
}

}  // namespace

// write_delta writes a nonzero finite value as its shortest round-trip digits
// (std::to_chars: the fewest digits that read back as the value, the nearest
// to it among those), laid out by their exponent alone. So a text is its
// spelling exactly when the text is in one of those forms, for the value's
// sign, with the shortest digits of the value.
//
// Those digits need no conversion when the text has at most 15 significant
// digits and its value is at least 1e-307, so that it and the double nearest
// to it are normal: no two different decimals of at most 15 significant
// digits are nearest to the same normal double d. The reals nearest to d
// (ties included) span at most ulp(d) <= d * 2^-52. Two decimals of 15
// digits around d, where d < 10^(n+1) for the decade [10^n, 10^(n+1)) of the
// lower one, are at least 10^(n-14) apart, and
//   d * 2^-52 < 10^(n+1) * (1 + 2^-52) * 2^-52 = 10^(n-14) * 0.2220... * (1 + 2^-52),
// so both cannot be nearest to d. Hence the text's digits (no trailing zero)
// are the only spelling of at most their length that reads back as d: they
// are the fewest, and the only ones of that length. Below 1e-307 doubles thin
// out (4.9e-324 and 5e-324 are the same one). There, and for 16 or 17 digits,
// the digits are checked with integers where that is exact
// (shortest_digits_exactly), else taken from to_chars as the writer does.
namespace {

// is_writer_delta for a text after which bytes up to `readable_end` may be read.
bool is_writer_delta_in(std::string_view text, const char* readable_end, double value) {
  if (!std::isfinite(value)) return text == "null";
  if (value == 0.0) return text == (std::signbit(value) ? std::string_view("-0.0") : "0.0");
  Spelling s;
  if (!read_spelling(text, readable_end, s) || s.negative != std::signbit(value)) return false;
  if (s.count <= 15 && s.exponent >= -307) return true;
  if (const auto exact = shortest_digits_exactly(std::fabs(value), s)) return *exact;
  return has_shortest_digits(std::fabs(value), s);
}

}  // namespace

bool is_writer_delta(std::string_view text, double value) {
  return is_writer_delta_in(text, text.data() + text.size(), value);
}

// A line read on the writer's-layout path (EntryFields::writer_layout) is the
// writer's members in the writer's order with the writer's prefixes; its
// index is plain digits without a leading zero, the writer's only spelling of
// that number; each text holds no quote, backslash or control character,
// which are the only bytes the writer escapes (it writes every other byte,
// non-ASCII included, as it is), so each text is written back as it stands.
// What is left is the delta's spelling and the white space the path allows
// after the closing brace.
bool is_writer_line_fast(std::string_view line, const EntryFields& entry) {
  if (!entry.writer_layout) return false;
  const char* const delta_begin = entry.actor.data() + entry.actor.size() + kTextClose.size +
                                  kMemberPrefix<Field::kDelta>.size;
  const char* const delta_end = entry.payload.data() - kMemberPrefix<Field::kPayload>.size;
  const char* const entry_end =
      entry.signature.data() + entry.signature.size() + kTextClose.size + kEntryClose.size;
  return entry_end == line.data() + line.size() &&
         is_writer_delta_in(std::string_view(delta_begin, static_cast<std::size_t>(delta_end - delta_begin)),
                            line.data() + line.size(), entry.delta_i);
}

std::size_t rewritten_line_difference(std::string_view line, const EntryFields& entry,
                                      std::string& scratch) {
  scratch.clear();
  append_entry_json(scratch, EntryView{entry.index, entry.timestamp, entry.prev_hash, entry.actor,
                                       entry.delta_i, entry.payload, entry.signature});
  if (line == scratch) return 0;  // memcmp: compared in wide words
  const auto differs = std::mismatch(line.begin(), line.end(), scratch.begin(), scratch.end());
  return static_cast<std::size_t>(differs.first - line.begin()) + 1;
}

std::size_t writer_line_difference(std::string_view line, const EntryFields& entry,
                                   std::string& scratch) {
  if (is_writer_line_fast(line, entry)) return 0;
  return rewritten_line_difference(line, entry, scratch);
}

}  // namespace ledger::audit
