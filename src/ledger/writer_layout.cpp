#include "ledger/writer_layout.h"

#include <charconv>
#include <cstdint>
#include <system_error>
#include <utility>

#include "ledger/decimal.h"
#include "ledger/field_text.h"
#include "ledger/format.h"
#include "ledger/json_cursor.h"
#include "ledger/number.h"
#include "ledger/string_scan.h"

namespace ledger::detail {
namespace {

// The rest of a text after its opening quote, when it holds no escape and no
// control character, up to and including the closing quote.
[[gnu::always_inline]] inline bool take_plain_text(JsonCursor& in, std::string_view& text) {
  const char* start = in.p;
  in.p = find_special(in.p, in.end);
  text = std::string_view(start, static_cast<std::size_t>(in.p - start));
  return in.take<kTextClose>();
}

// index as plain digits (no leading zero) that fit in 64 bits.
bool take_plain_index(JsonCursor& in, std::uint64_t& index) {
  const char* q = in.p;
  std::uint64_t value = 0;
  while (q != in.end && is_digit(*q)) {
    const auto digit = static_cast<std::uint64_t>(*q - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
    ++q;
  }
  if (q == in.p || (*in.p == '0' && q - in.p > 1)) return false;
  index = value;
  in.p = q;
  return true;
}

// delta_i as the writer writes most numbers: an optional '-', then at most
// 19 digits in all, with or without a fraction. Reads the digits eight at a
// time; other forms go to the general read_delta. The cursor must not be at
// the end.
bool take_delta(JsonCursor& in, double& delta) {
  const char* const start = in.p;
  const char* const int_begin = start + (*start == '-');
  const char* const int_end = int_begin + digit_run(int_begin, in.end);
  const char* frac_end = int_end;
  if (int_end != in.end && *int_end == '.') frac_end = int_end + 1 + digit_run(int_end + 1, in.end);
  const auto int_digits = int_end - int_begin;
  const auto frac_digits = frac_end == int_end ? 0 : frac_end - int_end - 1;
  const bool plain = int_digits > 0 && (*int_begin != '0' || int_digits == 1) &&
                     (frac_end == int_end || frac_digits > 0) && int_digits + frac_digits <= 19 &&
                     in.end - frac_end >= 8 && *frac_end != 'e' && *frac_end != 'E';
  if (!plain) return read_delta(in, delta);
  std::uint64_t digits = digits_value(int_begin, int_digits);
  if (frac_digits > 0) {
    digits = digits * kPowersOfTen[static_cast<std::size_t>(frac_digits)] + digits_value(int_end + 1, frac_digits);
  }
  in.p = frac_end;
  const auto converted = decimal_to_double(digits, static_cast<int>(frac_digits), start != int_begin);
  if (converted) {
    delta = *converted;
    return true;
  }
  const auto [ptr, ec] = std::from_chars(start, frac_end, delta);
  return ec == std::errc() && ptr == frac_end;
}

// The member of field F: its prefix as the writer writes it, then its value.
template <Field F>
[[gnu::always_inline]] inline bool take_member(JsonCursor& in, EntryFields& fields) {
  if (!in.take<kMemberPrefix<F>>()) return false;
  if constexpr (is_text_field(F)) {
    return take_plain_text(in, text_field(fields, F));
  } else if constexpr (F == Field::kIndex) {
    return take_plain_index(in, fields.index);
  } else {
    return in.p != in.end && take_delta(in, fields.delta_i);
  }
}

template <std::size_t... kFields>
[[gnu::always_inline]] inline bool take_members(JsonCursor& in, EntryFields& fields,
                                                std::index_sequence<kFields...>) {
  return (take_member<static_cast<Field>(kFields)>(in, fields) && ...);
}

}  // namespace

bool read_writer_layout(std::string_view line, EntryFields& fields) {
  JsonCursor in(line);
  if (!in.take<kEntryOpen>() || !take_members(in, fields, std::make_index_sequence<kFieldCount>()) ||
      !in.take<kEntryClose>()) {
    return false;
  }
  in.skip_ws();
  return in.p == in.end;
}

}  // namespace ledger::detail
