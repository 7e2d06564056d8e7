#include "cli/canonical.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "ledger/entry.h"
#include "ledger/format.h"

namespace ledger::cli {
namespace {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A nonzero number as write_delta spells it: the shortest round-trip digits
// d1 d2 ... dk (d1 and dk not zero) and the decimal exponent of d1.
struct Spelling {
  bool negative = false;
  int count = 0;
  char digits[17] = {};
  int exponent = 0;
};

// Appends the digits in [p, end) to `s`; false past 17 digits, more than any
// double's shortest spelling has.
bool add_digits(Spelling& s, const char* p, const char* end) {
  if (end - p > 17 - s.count) return false;
  std::copy(p, end, s.digits + s.count);
  s.count += static_cast<int>(end - p);
  return true;
}

// Reads `text` as one of write_delta's forms for a nonzero number; false when
// it is spelled any other way. The forms, by the exponent e of the first digit:
//   -5 <= e <= -1:  "0." then -e-1 zeros and the digits       (0.00125)
//    0 <= e <= 15:  the digits with the point after e+1 of them (12.5), or,
//                   when there are no more than e+1, the digits, zeros up
//                   to e+1 figures, and ".0"                  (1250.0)
//   otherwise:      the first digit, "." and the others when there are any,
//                   "e", the exponent's sign and its digits   (1.25e+20, 5e-7)
// each after a '-' for a negative number.
bool read_spelling(std::string_view text, Spelling& s) {
  const char* p = text.data();
  const char* const end = p + text.size();
  s.negative = p != end && *p == '-';
  if (s.negative) ++p;
  const char* const int_begin = p;
  while (p != end && is_digit(*p)) ++p;
  const char* const int_end = p;
  const auto int_digits = int_end - int_begin;
  if (int_digits == 0 || p == end) return false;  // the writer always writes '.' or 'e'
  const char* frac_begin = p;
  const char* frac_end = p;
  if (*p == '.') {
    frac_begin = ++p;
    while (p != end && is_digit(*p)) ++p;
    frac_end = p;
    if (frac_end == frac_begin) return false;
  }
  if (p == end) {
    if (*int_begin == '0') {
      // 0.000ddd
      if (int_digits != 1) return false;
      const char* q = frac_begin;
      while (q != frac_end && *q == '0') ++q;
      const auto zeros = q - frac_begin;
      if (q == frac_end || zeros > 4 || frac_end[-1] == '0') return false;
      s.exponent = -static_cast<int>(zeros) - 1;
      return add_digits(s, q, frac_end);
    }
    if (int_digits > 16) return false;  // e above 15 takes the exponent form
    s.exponent = static_cast<int>(int_digits) - 1;
    if (frac_end - frac_begin == 1 && *frac_begin == '0') {
      // A whole number: its digits are those before its trailing zeros.
      const char* last = int_end;
      while (last[-1] == '0') --last;  // stops at the first digit, which is not zero
      return add_digits(s, int_begin, last);
    }
    return frac_end[-1] != '0' && add_digits(s, int_begin, int_end) &&
           add_digits(s, frac_begin, frac_end);
  }
  // Exponent form.
  if (*p != 'e' || int_digits != 1 || *int_begin == '0') return false;
  if (frac_end != frac_begin && frac_end[-1] == '0') return false;
  ++p;
  if (p == end || (*p != '+' && *p != '-')) return false;
  const bool negative_exponent = *p++ == '-';
  const char* const exp_begin = p;
  int exponent = 0;
  while (p != end && is_digit(*p) && p - exp_begin < 4) exponent = exponent * 10 + (*p++ - '0');
  if (p != end || p == exp_begin || *exp_begin == '0') return false;
  s.exponent = negative_exponent ? -exponent : exponent;
  if (s.exponent >= -5 && s.exponent <= 15) return false;  // written in a fixed form
  return add_digits(s, int_begin, int_end) && add_digits(s, frac_begin, frac_end);
}

// Whether the shortest round-trip digits of `magnitude` (positive, finite),
// as write_delta takes them from std::to_chars, are those of `s`.
bool has_shortest_digits(double magnitude, const Spelling& s) {
  char sci[kMaxDeltaLength];
  const auto [sci_end, ec] = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific);
  if (ec != std::errc()) return false;
  // "d[.ddd]e[+-]x": s.count digits, then the exponent.
  const auto count = static_cast<std::size_t>(s.count);
  const char* q = sci + (count == 1 ? 1 : count + 1);
  if (q >= sci_end || *q != 'e' || sci[0] != s.digits[0] ||
      (count > 1 && (sci[1] != '.' || std::memcmp(sci + 2, s.digits + 1, count - 1) != 0))) {
    return false;
  }
  ++q;  // 'e'
  const bool negative_exponent = *q++ == '-';
  int exponent = 0;
  for (; q != sci_end; ++q) exponent = exponent * 10 + (*q - '0');
  return (negative_exponent ? -exponent : exponent) == s.exponent;
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
// are the fewest, and the only ones of that length. Below 1e-307 (where
// doubles thin out, 4.9e-324 and 5e-324 being the same one) and for 16 or 17
// digits the digits of the value are taken from to_chars, as the writer does.
bool is_writer_delta(std::string_view text, double value) {
  if (!std::isfinite(value)) return text == "null";
  if (value == 0.0) return text == (std::signbit(value) ? std::string_view("-0.0") : "0.0");
  Spelling s;
  if (!read_spelling(text, s) || s.negative != std::signbit(value)) return false;
  if (s.count <= 15 && s.exponent >= -307) return true;
  return has_shortest_digits(std::fabs(value), s);
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
         is_writer_delta(std::string_view(delta_begin, static_cast<std::size_t>(delta_end - delta_begin)),
                         entry.delta_i);
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

}  // namespace ledger::cli
