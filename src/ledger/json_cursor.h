// A cursor over one line of JSON text (RFC 8259) for the parser: white space,
// fixed texts, strings (decoded strictly, or skipped), numbers (scanned for
// their form only), literals, and whole values skipped. Internal to the core.
//
// Each step returns false at the first violation, after recording its code
// and offset in `error` and leaving `p` where it stopped; only take, a test
// for a fixed text, records nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "ledger/format.h"
#include "ledger/parse_result.h"
#include "ledger/string_scan.h"

namespace ledger::detail {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Where a scanned number's parts stand, for the conversions that follow.
struct NumberText {
  const char* begin;      // first character ('-' or a digit)
  const char* int_begin;  // first integer digit
  const char* int_end;    // one past the last integer digit
  const char* end;        // one past the number
  bool has_fraction;
  bool has_exponent;
};

class JsonCursor {
 public:
  explicit JsonCursor(std::string_view text)
      : begin(text.data()), p(text.data()), end(text.data() + text.size()) {}

  const char* const begin;
  const char* p;
  const char* const end;
  ParseFailure error{ParseError::kNoValue, 0};

  // Records `code` at p; returns false for the caller to pass on.
  bool fail(ParseError code) {
    error = {code, static_cast<std::size_t>(p - begin)};
    return false;
  }

  // Moves back to `at`, where the offending token starts, and records `code` there.
  bool fail_at(const char* at, ParseError code) {
    p = at;
    return fail(code);
  }

  // Every JSON white-space byte is at most ' ': one test settles the common
  // case of a token that follows directly.
  void skip_ws() {
    while (p != end && static_cast<unsigned char>(*p) <= ' ' &&
           (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) {
      ++p;
    }
  }

  // Consumes `kText` when the cursor holds exactly it, else leaves p. Texts
  // of 4 to 16 bytes are compared as two overlapping words; for those sizes
  // the compiler may otherwise call memcmp.
  template <FixedText kText>
  [[gnu::always_inline]] bool take() {
    constexpr std::size_t n = kText.size;
    if (static_cast<std::size_t>(end - p) < n) return false;
    bool same;
    if constexpr (n >= 8 && n <= 16) {
      same = load_word(p) == load_word(kText.text) && load_word(p + n - 8) == load_word(kText.text + n - 8);
    } else if constexpr (n >= 4 && n < 8) {
      same = load_half_word(p) == load_half_word(kText.text) &&
             load_half_word(p + n - 4) == load_half_word(kText.text + n - 4);
    } else {
      same = std::memcmp(p, kText.text, n) == 0;
    }
    if (!same) return false;
    p += n;
    return true;
  }

  // Consumes `c` after optional white space; `code` when another byte stands there.
  bool expect(char c, ParseError code) {
    skip_ws();
    if (p == end) return fail(ParseError::kUnexpectedEnd);
    if (*p != c) return fail(code);
    ++p;
    return true;
  }

  // Reads the string at p ('"') with strict escapes (surrogates must pair).
  // `text` becomes its decoded content: a view into the line when the string
  // holds no escape, which is the common case, or else `scratch`.
  bool read_string(std::string_view& text, std::string& scratch) {
    const char* start = ++p;
    p = find_special(p, end);
    if (p != end && *p == '"') {
      text = std::string_view(start, static_cast<std::size_t>(p - start));
      ++p;
      return true;
    }
    return read_escaped_string(start, text, scratch);
  }

  // Scans the JSON number at p and checks its form only; p must not be at the end.
  bool scan_number(NumberText& number) {
    number.begin = p;
    if (*p == '-') ++p;
    number.int_begin = p;
    if (p == end) return fail(ParseError::kBadNumber);
    if (*p == '0') {
      ++p;
      if (p != end && is_digit(*p)) return fail(ParseError::kBadNumber);
    } else if (is_digit(*p)) {
      while (p != end && is_digit(*p)) ++p;
    } else {
      return fail(ParseError::kBadNumber);
    }
    number.int_end = p;
    number.has_fraction = p != end && *p == '.';
    if (number.has_fraction) {
      ++p;
      if (p == end || !is_digit(*p)) return fail(ParseError::kBadNumber);
      while (p != end && is_digit(*p)) ++p;
    }
    number.has_exponent = p != end && (*p == 'e' || *p == 'E');
    if (number.has_exponent) {
      ++p;
      if (p != end && (*p == '+' || *p == '-')) ++p;
      if (p == end || !is_digit(*p)) return fail(ParseError::kBadNumber);
      while (p != end && is_digit(*p)) ++p;
    }
    number.end = p;
    return true;
  }

  // Skips any well-formed JSON value at p, nested to any depth, keeping the
  // open brackets in `open_brackets` (storage the caller may reuse) instead
  // of recursing. Strings in it are checked with relaxed rules: a \u escape
  // needs only four hex digits, no surrogate partner.
  bool skip_value(std::string& open_brackets);

 private:
  // read_string past the plain run at whose end p stands: copies the run from
  // `start` into `scratch` and decodes the rest of the string after it.
  bool read_escaped_string(const char* start, std::string_view& text, std::string& scratch);

  // Continues a string after its opening quote up to and including the
  // closing one, appending decoded text to `out` unless it is null. `strict`
  // pairs surrogate escapes.
  bool decode_string_rest(std::string* out, bool strict);

  // Reads four hex digits at p into `unit`.
  bool read_hex4(std::uint32_t& unit);

  bool skip_string();
  bool skip_literal(std::string_view word);
  bool skip_scalar_or_open(std::string& open_brackets, bool& opened);
  bool skip_member_name();
};

}  // namespace ledger::detail
