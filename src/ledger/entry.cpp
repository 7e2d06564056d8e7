#include "ledger/entry.h"

#include "ledger/decimal.h"
#include "ledger/string_scan.h"

#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>

namespace ledger {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Copies a fixed text of the line format; returns the end.
template <std::size_t N>
char* put(char* out, const FixedText<N>& text) {
  std::memcpy(out, text.text, N);
  return out + N;
}

// Writes `value` as exactly `width` decimal digits, zero-padded; returns the end.
// Two digits at a time: a timestamp's nine fraction digits are five steps.
char* put_digits(char* out, std::uint64_t value, int width) {
  static constexpr auto kPairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
      pairs[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
      pairs[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
    }
    return pairs;
  }();
  int i = width;
  for (; i >= 2; i -= 2) {
    std::memcpy(out + i - 2, &kPairs[2 * (value % 100)], 2);
    value /= 100;
  }
  if (i == 1) out[0] = static_cast<char>('0' + value % 10);
  return out + width;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// Proleptic Gregorian date of a day count since 1970-01-01 (valid for every
// day count derived from a signed 64-bit second count).
CivilDate civil_from_days(std::int64_t days) {
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<std::uint64_t>(z - era * 146097);           // [0, 146096]
  const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);       // [0, 365]
  const std::uint64_t mp = (5 * doy + 2) / 153;                            // [0, 11]
  const auto day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

// Writes the content of a JSON string for `text`, escaped where JSON requires
// it, and its closing quote; `out` must have room for 6 * size + 1 bytes.
// Runs without special bytes are copied whole.
char* put_text(char* out, std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  for (;;) {
    const char* special = detail::find_special(p, end);
    std::memcpy(out, p, static_cast<std::size_t>(special - p));
    out += special - p;
    if (special == end) break;
    const auto byte = static_cast<unsigned char>(*special);
    p = special + 1;
    *out++ = '\\';
    switch (byte) {
      case '\b': *out++ = 'b'; break;
      case '\t': *out++ = 't'; break;
      case '\n': *out++ = 'n'; break;
      case '\f': *out++ = 'f'; break;
      case '\r': *out++ = 'r'; break;
      case '"': *out++ = '"'; break;
      case '\\': *out++ = '\\'; break;
      default: {
        const char escape[5] = {'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
        std::memcpy(out, escape, sizeof escape);
        out += sizeof escape;
      }
    }
  }
  return put(out, kTextClose);
}

// Room for everything of a line but its texts: the framing, the index and the delta.
constexpr std::size_t kLineOverhead = kLineFraming + 20 + kMaxDeltaLength;

}  // namespace

namespace {

// Writes the date and time of day of `seconds` ("2026-12-08T03:26:14", the
// year as format_ledger_timestamp writes it); returns the end.
char* put_whole_seconds(char* p, std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t rem = seconds % 86400;
  if (rem < 0) {
    rem += 86400;
    days -= 1;
  }
  const CivilDate date = civil_from_days(days);
  if (date.year >= 0 && date.year <= 9999) {
    p = put_digits(p, static_cast<std::uint64_t>(date.year), 4);
  } else {
    *p++ = date.year < 0 ? '-' : '+';
    const std::uint64_t magnitude =
        date.year < 0 ? 0 - static_cast<std::uint64_t>(date.year) : static_cast<std::uint64_t>(date.year);
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, magnitude);
    const auto count = static_cast<int>(end - digits);
    for (int pad = count; pad < 4; ++pad) *p++ = '0';
    std::memcpy(p, digits, static_cast<std::size_t>(count));
    p += count;
  }
  *p++ = '-';
  p = put_digits(p, date.month, 2);
  *p++ = '-';
  p = put_digits(p, date.day, 2);
  *p++ = 'T';
  const auto secs = static_cast<std::uint64_t>(rem);
  p = put_digits(p, secs / 3600, 2);
  *p++ = ':';
  p = put_digits(p, secs / 60 % 60, 2);
  *p++ = ':';
  return put_digits(p, secs % 60, 2);
}

// Writes the fraction (none, or 3, 6 or 9 digits, the fewest that hold
// `nanos`) and the zone; returns the end.
char* put_fraction_and_zone(char* p, std::uint32_t nanos) {
  if (nanos != 0) {
    *p++ = '.';
    if (nanos % 1'000'000 == 0) {
      p = put_digits(p, nanos / 1'000'000, 3);
    } else if (nanos % 1'000 == 0) {
      p = put_digits(p, nanos / 1'000, 6);
    } else {
      p = put_digits(p, nanos, 9);
    }
  }
  std::memcpy(p, "+00:00", 6);
  return p + 6;
}

}  // namespace

std::size_t write_ledger_timestamp(char* out, std::int64_t seconds, std::uint32_t nanos) {
  assert(nanos < 1'000'000'000);
  char* const p = put_fraction_and_zone(put_whole_seconds(out, seconds), nanos);
  assert(static_cast<std::size_t>(p - out) <= kMaxTimestampLength);
  return static_cast<std::size_t>(p - out);
}

std::size_t TimestampWriter::write(char* out, std::int64_t seconds, std::uint32_t nanos) {
  assert(nanos < 1'000'000'000);
  if (length_ == 0 || seconds != seconds_) {
    length_ = static_cast<std::size_t>(put_whole_seconds(whole_, seconds) - whole_);
    seconds_ = seconds;
  }
  std::memcpy(out, whole_, sizeof whole_);  // all of it: a fixed-size copy is cheaper
  return static_cast<std::size_t>(put_fraction_and_zone(out + length_, nanos) - out);
}

std::string format_ledger_timestamp(std::int64_t seconds, std::uint32_t nanos) {
  char buffer[kMaxTimestampLength];
  return std::string(buffer, write_ledger_timestamp(buffer, seconds, nanos));
}

namespace {

bool is_leap_year(std::int64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

unsigned days_in_month(std::int64_t year, unsigned month) {
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given proleptic Gregorian date; exact for any
// year of up to 12 digits, whose day counts stay far inside 64 bits.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  const std::int64_t y = year - (month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);                              // [0, 399]
  const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;  // [0, 365]
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;                         // [0, 146096]
  return era * 146097 + doe - 719468;
}

// The value of the two ASCII digits at `p`, or -1 if either is not a digit.
int two_digits(const char* p) {
  const auto tens = static_cast<unsigned>(p[0] - '0');
  const auto ones = static_cast<unsigned>(p[1] - '0');
  return tens < 10 && ones < 10 ? static_cast<int>(tens * 10 + ones) : -1;
}

// The value of `count` ASCII digits at `p`, or -1 if any is not a digit.
std::int64_t digits_at(const char* p, std::size_t count) {
  std::int64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (p[i] < '0' || p[i] > '9') return -1;
    value = value * 10 + (p[i] - '0');
  }
  return value;
}

}  // namespace

namespace {

// The length of the writer's date and time of day at the start of `text`
// ("2026-12-08T03:26:14", "+10000-01-01T00:00:00"): the year in four digits
// from 0000 to 9999, else signed and at least four digits without a needless
// zero; a real date and time of day, at an instant whose second count fits
// in 64 signed bits. 0 when `text` does not start so.
std::size_t writer_seconds_length(std::string_view text) {
  // The year: four digits, or a sign and four or more without a needless zero.
  std::size_t at = 0;
  const bool sign = !text.empty() && (text[0] == '+' || text[0] == '-');
  if (sign) at = 1;
  std::size_t digits = 0;
  while (at + digits < text.size() && text[at + digits] >= '0' && text[at + digits] <= '9') ++digits;
  if (digits < 4 || digits > 12 || (!sign && digits != 4)) return 0;
  if (digits > 4 && text[at] == '0') return 0;
  const std::int64_t magnitude = digits_at(text.data() + at, digits);
  const std::int64_t year = sign && text[0] == '-' ? -magnitude : magnitude;
  if (sign && year >= 0 && year <= 9999) return 0;  // written unsigned
  at += digits;
  // "-MM-DDTHH:MM:SS"
  constexpr std::size_t kDateTimeRest = 15;
  if (text.size() - at < kDateTimeRest) return 0;
  const char* const p = text.data() + at;
  if (p[0] != '-' || p[3] != '-' || p[6] != 'T' || p[9] != ':' || p[12] != ':') return 0;
  const int month = two_digits(p + 1);
  const int day = two_digits(p + 4);
  const int hour = two_digits(p + 7);
  const int minute = two_digits(p + 10);
  const int second = two_digits(p + 13);
  if (month < 1 || month > 12 || day < 1 ||
      day > static_cast<int>(days_in_month(year, static_cast<unsigned>(month))) || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    return 0;
  }
  at += kDateTimeRest;
  // The instant must fit in 64 signed bits of seconds, which every year of up
  // to 11 digits does. Before 1970 the day's end is counted back from, so that
  // no step leaves the range on the way to an instant inside it.
  if (digits < 12) return at;
  const std::int64_t days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  const std::int64_t time_of_day = hour * 3600 + minute * 60 + second;
  std::int64_t seconds;
  const bool fits = days >= 0 ? !__builtin_mul_overflow(days, std::int64_t{86400}, &seconds) &&
                                    !__builtin_add_overflow(seconds, time_of_day, &seconds)
                              : !__builtin_mul_overflow(days + 1, std::int64_t{86400}, &seconds) &&
                                    !__builtin_add_overflow(seconds, time_of_day - 86400, &seconds);
  return fits ? at : 0;
}

// Whether `rest` is the writer's fraction and zone: no fraction for a whole
// second, else 3, 6 or 9 digits, the fewest that hold the nanoseconds; then
// "+00:00".
bool is_writer_fraction_and_zone(std::string_view rest) {
  constexpr std::string_view kZone = "+00:00";
  if (!rest.ends_with(kZone)) return false;
  rest.remove_suffix(kZone.size());
  if (rest.empty()) return true;
  const std::size_t fraction = rest.size() - 1;
  if (rest[0] != '.' || (fraction != 3 && fraction != 6 && fraction != 9)) return false;
  const std::int64_t value = digits_at(rest.data() + 1, fraction);
  if (value < 0) return false;
  // Three digits hold any nonzero millisecond count; six or nine are used
  // only when the last three would not all be zero.
  return fraction == 3 ? value != 0 : value % 1000 != 0;
}

}  // namespace

bool is_writer_timestamp(std::string_view text) {
  const std::size_t seconds = writer_seconds_length(text);
  return seconds != 0 && is_writer_fraction_and_zone(text.substr(seconds));
}

bool WriterTimestampCheck::operator()(std::string_view text) {
  // The same date and time of day as the last valid one: only what follows
  // it is left to check.
  if (length_ != 0 && text.size() > length_ && std::memcmp(text.data(), seconds_, length_) == 0) {
    return is_writer_fraction_and_zone(text.substr(length_));
  }
  const std::size_t seconds = writer_seconds_length(text);
  if (seconds == 0 || !is_writer_fraction_and_zone(text.substr(seconds))) return false;
  if (seconds <= sizeof seconds_) {
    std::memcpy(seconds_, text.data(), seconds);
    length_ = seconds;
  }
  return true;
}

namespace {

// The shortest round-trip digits of a positive finite `value` that is m / 10^p
// (correctly rounded) for an integer m of at most 15 digits and p <= 22, as
// most deltas are (amounts with a few decimals): the common case, without the
// general shortest-digits search. Two different decimals of at most 15
// significant digits never round to the same double, so the m of the least p
// is the only candidate of its length or shorter; the division of two exact
// doubles is correctly rounded, so the test below is exact. Returns false for
// any other value.
bool short_decimal_digits(double value, char* digits, int& count, int& exponent) {
  for (int places = 0; places <= 22; ++places) {
    const double scale = detail::kExactPowersOfTen[static_cast<std::size_t>(places)];
    const double scaled = value * scale;
    if (!(scaled < 1e15)) return false;
    // Where an m exists, scaled lies within an eighth of it, so rounding
    // scaled finds it.
    const auto m = static_cast<std::uint64_t>(scaled + 0.5);
    if (m == 0 || static_cast<double>(m) / scale != value) continue;
    char text[16] = {};
    char* const end = std::to_chars(text, text + sizeof text, m).ptr;
    const int length = static_cast<int>(end - text);
    int kept = length;
    while (kept > 1 && text[kept - 1] == '0') --kept;  // only when places == 0
    std::memcpy(digits, text, static_cast<std::size_t>(kept));
    count = kept;
    exponent = length - 1 - places;
    return true;
  }
  return false;
}

}  // namespace

std::size_t write_delta(char* out, double value) {
  if (!std::isfinite(value)) {
    std::memcpy(out, "null", 4);
    return 4;
  }
  char* p = out;
  if (std::signbit(value)) {
    *p++ = '-';
    value = -value;
  }
  if (value == 0.0) {
    std::memcpy(p, "0.0", 3);
    return static_cast<std::size_t>(p + 3 - out);
  }
  // The shortest round-trip digits (nearest to the exact value among equals)
  // and the decimal exponent of the first: value = d.ddd * 10^exponent.
  char digits[20];
  int k = 0;
  int exponent = 0;
  if (!short_decimal_digits(value, digits, k, exponent)) {
    // "d[.ddd]e[+-]x"
    char sci[kMaxDeltaLength];
    const auto [sci_end, ec] = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    assert(ec == std::errc());
    const char* q = sci;
    for (; *q != 'e'; ++q) {
      if (*q != '.') digits[k++] = *q;
    }
    ++q;  // 'e'
    const bool negative_exponent = *q++ == '-';
    std::from_chars(q, sci_end, exponent);
    if (negative_exponent) exponent = -exponent;
  }

  if (exponent >= -5 && exponent <= -1) {
    *p++ = '0';
    *p++ = '.';
    for (int i = 0; i < -exponent - 1; ++i) *p++ = '0';
    std::memcpy(p, digits, static_cast<std::size_t>(k));
    p += k;
  } else if (exponent >= 0 && exponent <= 15) {
    if (exponent < k - 1) {
      std::memcpy(p, digits, static_cast<std::size_t>(exponent + 1));
      p += exponent + 1;
      *p++ = '.';
      std::memcpy(p, digits + exponent + 1, static_cast<std::size_t>(k - exponent - 1));
      p += k - exponent - 1;
    } else {
      std::memcpy(p, digits, static_cast<std::size_t>(k));
      p += k;
      for (int i = 0; i < exponent - k + 1; ++i) *p++ = '0';
      *p++ = '.';
      *p++ = '0';
    }
  } else {
    *p++ = digits[0];
    if (k > 1) {
      *p++ = '.';
      std::memcpy(p, digits + 1, static_cast<std::size_t>(k - 1));
      p += k - 1;
    }
    *p++ = 'e';
    *p++ = exponent < 0 ? '-' : '+';
    p = std::to_chars(p, out + kMaxDeltaLength, exponent < 0 ? -exponent : exponent).ptr;
  }
  return static_cast<std::size_t>(p - out);
}

namespace {

// Copies a text that holds nothing JSON escapes, and its closing quote.
char* put_plain_text(char* out, std::string_view text) {
  assert(holds_nothing_to_escape(text));
  std::memcpy(out, text.data(), text.size());
  return put(out + text.size(), kTextClose);
}

template <bool kOwnTextsPlain>
void append_line(std::string& out, const EntryView& entry, bool prev_hash_plain) {
  const std::size_t texts = entry.timestamp.size() + entry.prev_hash.size() + entry.actor.size() +
                            entry.payload.size() + entry.signature.size();
  const std::size_t start = out.size();
  out.resize_and_overwrite(start + kLineOverhead + 6 * texts, [&](char* buffer, std::size_t) {
    char* p = put(buffer + start, kEntryOpen);
    p = put(p, kMemberPrefix<Field::kIndex>);
    p = std::to_chars(p, p + 20, entry.index).ptr;
    p = put(p, kMemberPrefix<Field::kTimestamp>);
    p = kOwnTextsPlain ? put_plain_text(p, entry.timestamp) : put_text(p, entry.timestamp);
    p = put(p, kMemberPrefix<Field::kPrevHash>);
    p = prev_hash_plain ? put_plain_text(p, entry.prev_hash) : put_text(p, entry.prev_hash);
    p = put_text(put(p, kMemberPrefix<Field::kActor>), entry.actor);
    p = put(p, kMemberPrefix<Field::kDelta>);
    p += write_delta(p, entry.delta_i);
    p = put_text(put(p, kMemberPrefix<Field::kPayload>), entry.payload);
    p = put(p, kMemberPrefix<Field::kSignature>);
    p = kOwnTextsPlain ? put_plain_text(p, entry.signature) : put_text(p, entry.signature);
    p = put(p, kEntryClose);
    return static_cast<std::size_t>(p - buffer);
  });
}

}  // namespace

void append_entry_json(std::string& out, const EntryView& entry) {
  append_line<false>(out, entry, false);
}

void append_written_entry_json(std::string& out, const EntryView& entry, bool prev_hash_plain) {
  append_line<true>(out, entry, prev_hash_plain);
}

bool holds_nothing_to_escape(std::string_view text) {
  const char* const end = text.data() + text.size();
  return detail::find_special(text.data(), end) == end;
}

std::string entry_to_json(const LogEntry& entry) {
  std::string out;
  append_entry_json(out, view_of(entry));
  return out;
}

}  // namespace ledger
