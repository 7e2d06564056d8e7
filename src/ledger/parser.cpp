#include "ledger/parser.h"

#include "ledger/decimal.h"
#include "ledger/string_scan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <charconv>
#include <string>

namespace ledger {
namespace {

constexpr std::size_t kParseErrorCount = static_cast<std::size_t>(ParseError::kCount_);

// No default case: a code without a message does not compile (-Wswitch).
constexpr std::string_view message_of(ParseError code) {
  switch (code) {
    case ParseError::kNoValue: return "the line holds no JSON value";
    case ParseError::kNotEntry: return "the value is neither an object nor an array";
    case ParseError::kUnexpectedEnd: return "the line ends inside the value";
    case ParseError::kExpectedName: return "expected a member name";
    case ParseError::kExpectedColon: return "expected ':' after the member name";
    case ParseError::kExpectedSeparator: return "expected ',' or the closing bracket";
    case ParseError::kTrailingComma: return "',' before the closing bracket";
    case ParseError::kDuplicateField: return "a field occurs twice";
    case ParseError::kMissingField: return "a field is missing";
    case ParseError::kWrongArrayLength: return "the array does not hold exactly seven values";
    case ParseError::kWrongType: return "a field's value has the wrong JSON type";
    case ParseError::kBadValue: return "a value is not well-formed JSON";
    case ParseError::kBadNumber: return "a number is not well-formed";
    case ParseError::kIndexNotInteger: return "index is not an unsigned integer";
    case ParseError::kIndexTooLarge: return "index exceeds 18446744073709551615";
    case ParseError::kDeltaTooLarge: return "delta_i is too large for a double";
    case ParseError::kControlCharacter: return "a raw control character inside a string";
    case ParseError::kBadEscape: return "an invalid escape sequence";
    case ParseError::kLoneSurrogate: return "an unpaired UTF-16 surrogate escape";
    case ParseError::kTrailingCharacters: return "characters after the value";
    case ParseError::kCount_: break;
  }
  return {};
}

constexpr auto kMessages = [] {
  std::array<std::string_view, kParseErrorCount> messages{};
  for (std::size_t i = 0; i < kParseErrorCount; ++i) messages[i] = message_of(static_cast<ParseError>(i));
  return messages;
}();
static_assert(std::ranges::none_of(kMessages, [](std::string_view message) { return message.empty(); }),
              "every ParseError needs a message");

enum Field : int { kIndex, kTimestamp, kPrevHash, kActor, kDelta, kPayload, kSignature, kNoField };

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// A string literal usable as a template argument.
template <std::size_t N>
struct Literal {
  constexpr Literal(const char (&text_in)[N]) {  // NOLINT: implicit on purpose
    for (std::size_t i = 0; i < N; ++i) text[i] = text_in[i];
  }
  static constexpr std::size_t size = N - 1;
  char text[N] = {};
};

// Where a scanned number's parts stand, for the conversions that follow.
struct NumberText {
  const char* begin;      // first character ('-' or a digit)
  const char* int_begin;  // first integer digit
  const char* int_end;    // one past the last integer digit
  const char* end;        // one past the number
  bool has_fraction;
  bool has_exponent;
};

// Cursor over one line. Each step returns false at the first violation, after
// recording the error and leaving `p_` where it stopped.
class Parser {
 public:
  Parser(std::string_view line, EntryFields& entry)
      : begin_(line.data()), p_(line.data()), end_(line.data() + line.size()), entry_(entry) {}

  std::expected<void, ParseFailure> run() {
    if (parse_writer_layout()) return {};
    p_ = begin_;
    skip_ws();
    if (p_ == end_) return failure(ParseError::kNoValue);
    bool ok;
    if (*p_ == '{') {
      ok = parse_object();
    } else if (*p_ == '[') {
      ok = parse_array();
    } else {
      return failure(ParseError::kNotEntry);
    }
    if (!ok) return std::unexpected(error_);
    skip_ws();
    if (p_ != end_) return failure(ParseError::kTrailingCharacters);
    return {};
  }

 private:
  std::unexpected<ParseFailure> failure(ParseError code) {
    set_error(code);
    return std::unexpected(error_);
  }

  bool set_error(ParseError code) {
    error_ = {code, static_cast<std::size_t>(p_ - begin_)};
    return false;
  }

  // Lines as the writer makes them: the members in field order, no white
  // space between tokens, no escapes. Matching that layout with fixed-size
  // compares skips the general walk's bookkeeping for each member. Accepts
  // only lines that the general walk reads the same way; false leaves the
  // line to the general walk, which then decides from the start.
  bool parse_writer_layout() {
    if (!take<"{\"index\":">() || !parse_plain_index()) return false;
    if (!take<",\"timestamp\":\"">() || !take_plain_string(entry_.timestamp)) return false;
    if (!take<",\"prev_hash\":\"">() || !take_plain_string(entry_.prev_hash)) return false;
    if (!take<",\"actor\":\"">() || !take_plain_string(entry_.actor)) return false;
    if (!take<",\"delta_i\":">() || p_ == end_ || !parse_plain_delta()) return false;
    if (!take<",\"payload\":\"">() || !take_plain_string(entry_.payload)) return false;
    if (!take<",\"signature\":\"">() || !take_plain_string(entry_.signature)) return false;
    if (!take<"}">()) return false;
    skip_ws();
    return p_ == end_;
  }

  // Consumes `kText` when p_ holds exactly it. Texts of 8 to 16 bytes are
  // compared as two overlapping 8-byte words; for those sizes the compiler
  // would otherwise call memcmp.
  template <Literal kText>
  bool take() {
    constexpr std::size_t n = kText.size;
    if (static_cast<std::size_t>(end_ - p_) < n) return false;
    bool same;
    if constexpr (n >= 8 && n <= 16) {
      same = word_at(p_) == word_at(kText.text) && word_at(p_ + n - 8) == word_at(kText.text + n - 8);
    } else {
      same = std::memcmp(p_, kText.text, n) == 0;
    }
    if (!same) return false;
    p_ += n;
    return true;
  }

  static std::uint64_t word_at(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
  }

  // The rest of a string after its opening quote, when it holds no escape
  // and no control character; consumes the closing quote.
  [[gnu::always_inline]] bool take_plain_string(std::string_view& text) {
    const char* start = p_;
    p_ = detail::find_special(p_, end_);
    if (p_ == end_ || *p_ != '"') return false;
    text = std::string_view(start, static_cast<std::size_t>(p_ - start));
    ++p_;
    return true;
  }

  // delta_i as the writer writes most numbers: an optional '-', then at most
  // 19 digits in all, with or without a fraction. Reads the digits eight at a
  // time; other forms go to parse_delta.
  bool parse_plain_delta() {
    const char* const start = p_;
    const char* q = p_ + (*p_ == '-');
    const char* const int_begin = q;
    const char* const int_end = q + digit_run(q);
    const char* frac_end = int_end;
    if (int_end != end_ && *int_end == '.') frac_end = int_end + 1 + digit_run(int_end + 1);
    const auto int_digits = int_end - int_begin;
    const auto frac_digits = frac_end == int_end ? 0 : frac_end - int_end - 1;
    const bool plain = int_digits > 0 && (*int_begin != '0' || int_digits == 1) &&
                       (frac_end == int_end || frac_digits > 0) && int_digits + frac_digits <= 19 &&
                       end_ - frac_end >= 8 && *frac_end != 'e' && *frac_end != 'E';
    if (!plain) return parse_delta();
    std::uint64_t digits = digits_value(int_begin, int_digits);
    if (frac_digits > 0) digits = digits * kPowersOfTen[frac_digits] + digits_value(int_end + 1, frac_digits);
    p_ = frac_end;
    const auto converted = detail::decimal_to_double(digits, static_cast<int>(frac_digits), start != int_begin);
    if (converted) {
      entry_.delta_i = *converted;
      return true;
    }
    const auto [ptr, ec] = std::from_chars(start, frac_end, entry_.delta_i);
    return ec == std::errc() && ptr == frac_end;
  }

  static constexpr std::uint64_t kPowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000,
      100000000, 1000000000, 10000000000, 100000000000, 1000000000000, 10000000000000,
      100000000000000, 1000000000000000, 10000000000000000, 100000000000000000,
      1000000000000000000, 10000000000000000000U};

  // Number of ASCII digits starting at q, counted up to at least 20: enough
  // to tell that a number is too long for the plain form.
  std::ptrdiff_t digit_run(const char* q) const {
    if (end_ - q >= 24) {
      const std::uint64_t first = nondigit_bytes(word_at(q));
      if (first != 0) return std::countr_zero(first) / 8;
      const std::uint64_t second = nondigit_bytes(word_at(q + 8));
      if (second != 0) return 8 + std::countr_zero(second) / 8;
      const std::uint64_t third = nondigit_bytes(word_at(q + 16));
      return 16 + (third != 0 ? std::countr_zero(third) / 8 : 8);
    }
    const char* r = q;
    while (r != end_ && r - q < 20 && is_digit(*r)) ++r;
    return r - q;
  }

  // High bit set in each byte of `word` that is not an ASCII digit; the
  // lowest flagged byte is exact, higher ones may be false alarms.
  static std::uint64_t nondigit_bytes(std::uint64_t word) {
    const std::uint64_t offset = word ^ (detail::kOnes * '0');  // digits become 0 to 9
    return ((offset + detail::kOnes * 0x76) | offset) & detail::kHighBits;
  }

  // Value of the `count` (at most 19) digits at q; eight bytes past the
  // digits must be readable.
  static std::uint64_t digits_value(const char* q, std::ptrdiff_t count) {
    std::uint64_t value = 0;
    for (; count >= 8; count -= 8, q += 8) value = value * 100000000 + eight_digits(word_at(q));
    if (count > 0) {
      // Shift the last digits to the top of a word and fill below with '0'.
      const auto shift = static_cast<unsigned>(8 - count) * 8;
      const std::uint64_t word = (word_at(q) << shift) | ((detail::kOnes * '0') >> (64 - shift));
      value = value * kPowersOfTen[count] + eight_digits(word);
    }
    return value;
  }

  // Value of eight ASCII digits, the first in the lowest byte.
  static std::uint64_t eight_digits(std::uint64_t word) {
    word -= detail::kOnes * '0';
    word = word * 10 + (word >> 8);  // pairs of digits in alternate bytes
    word = (((word & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
            (((word >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >> 32;
    return word;
  }

  // index as plain digits (no leading zero) that fit in 64 bits.
  bool parse_plain_index() {
    const char* q = p_;
    std::uint64_t value = 0;
    while (q != end_ && is_digit(*q)) {
      const auto digit = static_cast<std::uint64_t>(*q - '0');
      if (value > (UINT64_MAX - digit) / 10) return false;
      value = value * 10 + digit;
      ++q;
    }
    if (q == p_ || (*p_ == '0' && q - p_ > 1)) return false;
    entry_.index = value;
    p_ = q;
    return true;
  }

  // Every JSON white-space byte is at most ' ': one test settles the common
  // case of a token that follows directly.
  void skip_ws() {
    while (p_ != end_ && static_cast<unsigned char>(*p_) <= ' ' &&
           (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) {
      ++p_;
    }
  }

  // Consumes `c` after optional white space.
  bool expect(char c, ParseError code) {
    skip_ws();
    if (p_ == end_) return set_error(ParseError::kUnexpectedEnd);
    if (*p_ != c) return set_error(code);
    ++p_;
    return true;
  }

  bool parse_object() {
    ++p_;  // '{'
    bool seen[7] = {};
    Field next_in_order = kIndex;  // the member that the writer's order puts next
    skip_ws();
    if (p_ != end_ && *p_ == '}') {
      ++p_;
      return set_error(ParseError::kMissingField);
    }
    for (;;) {
      skip_ws();
      if (p_ == end_) return set_error(ParseError::kUnexpectedEnd);
      if (*p_ == '}') return set_error(ParseError::kTrailingComma);
      if (*p_ != '"') return set_error(ParseError::kExpectedName);
      const char* name_start = p_;
      Field field;
      if (!read_member_name(field, next_in_order)) return false;
      next_in_order = field == kNoField ? kIndex : static_cast<Field>(field + 1);
      if (!expect(':', ParseError::kExpectedColon)) return false;
      skip_ws();
      if (field == kNoField) {
        if (!skip_value()) return false;
      } else {
        if (seen[field]) {
          p_ = name_start;
          return set_error(ParseError::kDuplicateField);
        }
        seen[field] = true;
        if (!parse_field(field)) return false;
      }
      skip_ws();
      if (p_ == end_) return set_error(ParseError::kUnexpectedEnd);
      if (*p_ == ',') {
        ++p_;
        continue;
      }
      if (*p_ != '}') return set_error(ParseError::kExpectedSeparator);
      ++p_;
      break;
    }
    for (bool s : seen) {
      if (!s) return set_error(ParseError::kMissingField);
    }
    return true;
  }

  bool parse_array() {
    ++p_;  // '['
    for (int field = kIndex; field <= kSignature; ++field) {
      skip_ws();
      if (p_ == end_) return set_error(ParseError::kUnexpectedEnd);
      if (*p_ == ']') {
        return set_error(field == kIndex ? ParseError::kWrongArrayLength
                                         : ParseError::kTrailingComma);
      }
      if (!parse_field(static_cast<Field>(field))) return false;
      skip_ws();
      if (p_ == end_) return set_error(ParseError::kUnexpectedEnd);
      if (*p_ == ']') {
        if (field != kSignature) return set_error(ParseError::kWrongArrayLength);
        ++p_;
        return true;
      }
      if (*p_ != ',') return set_error(ParseError::kExpectedSeparator);
      if (field == kSignature) return set_error(ParseError::kWrongArrayLength);
      ++p_;
    }
    return true;  // not reached: the loop returns at the seventh value
  }

  // Reads a member name at p_ ('"') and tells which field it names. Lines as
  // the writer makes them hold the names in field order without escapes, so
  // the name that order expects is tried first as plain bytes.
  bool read_member_name(Field& field, Field expected) {
    if (expected < kNoField && quoted_name_at(expected)) {
      p_ += kFieldNames[static_cast<std::size_t>(expected)].size() + 2;
      field = expected;
      return true;
    }
    std::string_view name;
    if (!read_string(name, name_)) return false;
    field = field_of(name);
    return true;
  }

  // Whether p_ holds the name of `field` between quotes, as plain bytes.
  bool quoted_name_at(Field field) const {
    switch (field) {
      case kIndex: return quoted_literal_at<"index">();
      case kTimestamp: return quoted_literal_at<"timestamp">();
      case kPrevHash: return quoted_literal_at<"prev_hash">();
      case kActor: return quoted_literal_at<"actor">();
      case kDelta: return quoted_literal_at<"delta_i">();
      case kPayload: return quoted_literal_at<"payload">();
      case kSignature: return quoted_literal_at<"signature">();
      default: return false;
    }
  }

  template <Literal kName>
  bool quoted_literal_at() const {
    constexpr std::size_t n = kName.size;
    return static_cast<std::size_t>(end_ - p_) >= n + 2 && p_[n + 1] == '"' &&
           std::memcmp(p_ + 1, kName.text, n) == 0;  // constant size: inlined
  }

  static Field field_of(std::string_view name) {
    auto is = [name](Field f) { return name == kFieldNames[static_cast<std::size_t>(f)]; };
    switch (name.size()) {
      case 5: return is(kIndex) ? kIndex : is(kActor) ? kActor : kNoField;
      case 7: return is(kDelta) ? kDelta : is(kPayload) ? kPayload : kNoField;
      case 9: return is(kTimestamp) ? kTimestamp : is(kPrevHash) ? kPrevHash : is(kSignature) ? kSignature : kNoField;
      default: return kNoField;
    }
  }

  std::string_view& text_field(Field field) {
    switch (field) {
      case kTimestamp: return entry_.timestamp;
      case kPrevHash: return entry_.prev_hash;
      case kActor: return entry_.actor;
      case kPayload: return entry_.payload;
      default: return entry_.signature;
    }
  }

  // Parses the value of `field` at p_ (no leading white space).
  bool parse_field(Field field) {
    if (p_ == end_) return set_error(ParseError::kUnexpectedEnd);
    if (field == kIndex) return parse_index();
    if (field == kDelta) return parse_delta();
    if (*p_ != '"') return set_error(ParseError::kWrongType);
    return read_string(text_field(field), entry_.decoded[static_cast<std::size_t>(field)]);
  }

  bool parse_index() {
    if (*p_ != '-' && !is_digit(*p_)) return set_error(ParseError::kWrongType);
    const char* start = p_;
    NumberText number;
    if (!scan_number(number)) return false;
    if (number.begin != number.int_begin || number.has_fraction || number.has_exponent) {
      p_ = start;
      return set_error(ParseError::kIndexNotInteger);
    }
    std::uint64_t value = 0;
    for (const char* q = number.int_begin; q != number.int_end; ++q) {
      const auto digit = static_cast<std::uint64_t>(*q - '0');
      if (value > (UINT64_MAX - digit) / 10) {
        p_ = start;
        return set_error(ParseError::kIndexTooLarge);
      }
      value = value * 10 + digit;
    }
    entry_.index = value;
    return true;
  }

  bool parse_delta() {
    if (*p_ != '-' && !is_digit(*p_)) return set_error(ParseError::kWrongType);
    const char* start = p_;
    NumberText number;
    if (!scan_number(number)) return false;
    if (exact_decimal(number, entry_.delta_i)) return true;
    const auto [ptr, ec] = std::from_chars(number.begin, number.end, entry_.delta_i);
    if (ec == std::errc() && ptr == number.end) return true;
    // Out of range: too large fails; too small is zero with the number's sign.
    if (ec == std::errc::result_out_of_range && !magnitude_at_least_one(number)) {
      entry_.delta_i = number.begin != number.int_begin ? -0.0 : 0.0;
      return true;
    }
    p_ = start;
    return set_error(ParseError::kDeltaTooLarge);
  }

  // A number without exponent with at most 19 digits converts without a
  // library call. Lines in the writer's layout never get here (see
  // parse_plain_delta), so a plain loop over the digits does.
  static bool exact_decimal(const NumberText& number, double& value) {
    // At most 19 characters hold at most 19 digits, which 64 bits hold without wrapping.
    if (number.has_exponent || number.end - number.int_begin > 19) return false;
    std::uint64_t digits = 0;
    for (const char* q = number.int_begin; q != number.end; ++q) {
      if (*q != '.') digits = digits * 10 + static_cast<std::uint64_t>(*q - '0');
    }
    const auto fraction_digits = number.has_fraction ? number.end - number.int_end - 1 : 0;
    const auto converted = detail::decimal_to_double(digits, static_cast<int>(fraction_digits),
                                                     number.begin != number.int_begin);
    if (!converted) return false;
    value = *converted;
    return true;
  }

  // Whether a nonzero number's magnitude is at least 1, judged from the
  // decimal position of its first significant digit.
  static bool magnitude_at_least_one(const NumberText& number) {
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

  // Scans a JSON number at p_ and checks its form only.
  bool scan_number(NumberText& number) {
    number.begin = p_;
    if (*p_ == '-') ++p_;
    number.int_begin = p_;
    if (p_ == end_) return set_error(ParseError::kBadNumber);
    if (*p_ == '0') {
      ++p_;
      if (p_ != end_ && is_digit(*p_)) return set_error(ParseError::kBadNumber);
    } else if (is_digit(*p_)) {
      while (p_ != end_ && is_digit(*p_)) ++p_;
    } else {
      return set_error(ParseError::kBadNumber);
    }
    number.int_end = p_;
    number.has_fraction = p_ != end_ && *p_ == '.';
    if (number.has_fraction) {
      ++p_;
      if (p_ == end_ || !is_digit(*p_)) return set_error(ParseError::kBadNumber);
      while (p_ != end_ && is_digit(*p_)) ++p_;
    }
    number.has_exponent = p_ != end_ && (*p_ == 'e' || *p_ == 'E');
    if (number.has_exponent) {
      ++p_;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !is_digit(*p_)) return set_error(ParseError::kBadNumber);
      while (p_ != end_ && is_digit(*p_)) ++p_;
    }
    number.end = p_;
    return true;
  }

  // Reads four hex digits at p_ into `unit`.
  bool read_hex4(std::uint32_t& unit) {
    if (end_ - p_ < 4) return set_error(p_ == end_ ? ParseError::kUnexpectedEnd : ParseError::kBadEscape);
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = hex_value(p_[i]);
      if (digit < 0) return set_error(ParseError::kBadEscape);
      unit = unit << 4 | static_cast<std::uint32_t>(digit);
    }
    p_ += 4;
    return true;
  }

  // Reads the string at p_ ('"') with strict escapes (surrogates must pair).
  // `text` becomes its decoded content: a view into the line when the string
  // holds no escape, which is the common case, or else `scratch`.
  bool read_string(std::string_view& text, std::string& scratch) {
    const char* start = ++p_;
    p_ = detail::find_special(p_, end_);
    if (p_ != end_ && *p_ == '"') {
      text = std::string_view(start, static_cast<std::size_t>(p_ - start));
      ++p_;
      return true;
    }
    scratch.assign(start, p_);
    if (!decode_string_rest(&scratch, /*strict=*/true)) return false;
    text = scratch;
    return true;
  }

  // Skips the string at p_; its \u escapes need only four hex digits.
  bool skip_string() {
    ++p_;
    return decode_string_rest(nullptr, /*strict=*/false);
  }

  // Continues a string after its opening quote up to and including the
  // closing one, appending decoded text to `out` unless it is null. `strict`
  // pairs surrogate escapes.
  bool decode_string_rest(std::string* out, bool strict) {
    for (;;) {
      const char* run = p_;
      p_ = detail::find_special(p_, end_);
      if (out != nullptr) out->append(run, p_);
      if (p_ == end_) return set_error(ParseError::kUnexpectedEnd);
      if (*p_ == '"') {
        ++p_;
        return true;
      }
      if (*p_ != '\\') return set_error(ParseError::kControlCharacter);
      const char* escape_start = p_;
      ++p_;
      if (p_ == end_) return set_error(ParseError::kUnexpectedEnd);
      char decoded;
      switch (*p_) {
        case '"': decoded = '"'; break;
        case '\\': decoded = '\\'; break;
        case '/': decoded = '/'; break;
        case 'b': decoded = '\b'; break;
        case 'f': decoded = '\f'; break;
        case 'n': decoded = '\n'; break;
        case 'r': decoded = '\r'; break;
        case 't': decoded = '\t'; break;
        case 'u': {
          ++p_;
          std::uint32_t unit;
          if (!read_hex4(unit)) return false;
          if (!strict) continue;
          if (unit >= 0xDC00 && unit <= 0xDFFF) {
            p_ = escape_start;
            return set_error(ParseError::kLoneSurrogate);
          }
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            std::uint32_t low;
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') {
              p_ = escape_start;
              return set_error(ParseError::kLoneSurrogate);
            }
            p_ += 2;
            if (!read_hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) {
              p_ = escape_start;
              return set_error(ParseError::kLoneSurrogate);
            }
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          }
          if (out != nullptr) append_utf8(*out, unit);
          continue;
        }
        default:
          p_ = escape_start;
          return set_error(ParseError::kBadEscape);
      }
      ++p_;
      if (out != nullptr) out->push_back(decoded);
    }
  }

  bool skip_literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::string_view(p_, word.size()) != word) {
      return set_error(ParseError::kBadValue);
    }
    p_ += word.size();
    return true;
  }

  // Skips one scalar value at p_, or opens a container by pushing its bracket.
  // Returns false on a violation; sets `opened` when a container was entered.
  bool skip_scalar_or_open(bool& opened) {
    opened = false;
    if (p_ == end_) return set_error(ParseError::kUnexpectedEnd);
    switch (*p_) {
      case '"': return skip_string();
      case '{':
      case '[':
        nesting_.push_back(*p_);
        ++p_;
        opened = true;
        return true;
      case 't': return skip_literal("true");
      case 'f': return skip_literal("false");
      case 'n': return skip_literal("null");
      default:
        if (*p_ == '-' || is_digit(*p_)) {
          NumberText ignored;
          return scan_number(ignored);
        }
        return set_error(ParseError::kBadValue);
    }
  }

  // Skips a member name and its ':' inside a skipped object, at p_.
  bool skip_member_name() {
    skip_ws();
    if (p_ == end_) return set_error(ParseError::kUnexpectedEnd);
    if (*p_ != '"') return set_error(*p_ == '}' ? ParseError::kTrailingComma : ParseError::kExpectedName);
    if (!skip_string()) return false;
    if (!expect(':', ParseError::kExpectedColon)) return false;
    skip_ws();
    return true;
  }

  // Skips any well-formed JSON value at p_, nested to any depth, with an
  // explicit stack of open brackets instead of recursion.
  bool skip_value() {
    nesting_.clear();
    bool opened;
    if (!skip_scalar_or_open(opened)) return false;
    bool just_opened = opened;
    while (!nesting_.empty()) {
      skip_ws();
      if (p_ == end_) return set_error(ParseError::kUnexpectedEnd);
      const char close = nesting_.back() == '{' ? '}' : ']';
      if (*p_ == close) {
        ++p_;
        nesting_.pop_back();
        just_opened = false;
        continue;
      }
      if (!just_opened) {
        if (*p_ != ',') return set_error(ParseError::kExpectedSeparator);
        ++p_;
        skip_ws();
        if (p_ != end_ && *p_ == close) return set_error(ParseError::kTrailingComma);
      }
      if (nesting_.back() == '{' && !skip_member_name()) return false;
      skip_ws();
      if (!skip_scalar_or_open(opened)) return false;
      just_opened = opened;
    }
    return true;
  }

  const char* begin_;
  const char* p_;
  const char* end_;
  EntryFields& entry_;
  std::string name_;     // decoded member name, reused
  std::string nesting_;  // open brackets of a skipped value
  ParseFailure error_{ParseError::kNoValue, 0};
};

}  // namespace

std::string_view describe(ParseError code) {
  const auto i = static_cast<std::size_t>(code);
  return i < kMessages.size() ? kMessages[i] : "unknown parse error";
}

std::expected<void, ParseFailure> parse_entry_fields(std::string_view line, EntryFields& fields) {
  return Parser(line, fields).run();
}

std::expected<void, ParseFailure> parse_log_entry_into(std::string_view line, LogEntry& entry) {
  EntryFields fields;
  auto parsed = parse_entry_fields(line, fields);
  if (!parsed) return parsed;
  entry.index = fields.index;
  entry.timestamp.assign(fields.timestamp);
  entry.prev_hash.assign(fields.prev_hash);
  entry.actor.assign(fields.actor);
  entry.delta_i = fields.delta_i;
  entry.payload.assign(fields.payload);
  entry.signature.assign(fields.signature);
  return {};
}

std::expected<LogEntry, ParseFailure> parse_log_entry(std::string_view line) {
  LogEntry entry;
  auto parsed = parse_log_entry_into(line, entry);
  if (!parsed) return std::unexpected(parsed.error());
  return entry;
}

}  // namespace ledger
