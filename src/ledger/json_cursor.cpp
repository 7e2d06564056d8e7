#include "ledger/json_cursor.h"

namespace ledger::detail {
namespace {

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

}  // namespace

bool JsonCursor::read_escaped_string(const char* start, std::string_view& text, std::string& scratch) {
  scratch.assign(start, p);
  if (!decode_string_rest(&scratch, /*strict=*/true)) return false;
  text = scratch;
  return true;
}

bool JsonCursor::read_hex4(std::uint32_t& unit) {
  if (end - p < 4) return fail(p == end ? ParseError::kUnexpectedEnd : ParseError::kBadEscape);
  unit = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_value(p[i]);
    if (digit < 0) return fail(ParseError::kBadEscape);
    unit = unit << 4 | static_cast<std::uint32_t>(digit);
  }
  p += 4;
  return true;
}

bool JsonCursor::decode_string_rest(std::string* out, bool strict) {
  for (;;) {
    const char* run = p;
    p = find_special(p, end);
    if (out != nullptr) out->append(run, p);
    if (p == end) return fail(ParseError::kUnexpectedEnd);
    if (*p == '"') {
      ++p;
      return true;
    }
    if (*p != '\\') return fail(ParseError::kControlCharacter);
    const char* escape_start = p;
    ++p;
    if (p == end) return fail(ParseError::kUnexpectedEnd);
    char decoded;
    switch (*p) {
      case '"': decoded = '"'; break;
      case '\\': decoded = '\\'; break;
      case '/': decoded = '/'; break;
      case 'b': decoded = '\b'; break;
      case 'f': decoded = '\f'; break;
      case 'n': decoded = '\n'; break;
      case 'r': decoded = '\r'; break;
      case 't': decoded = '\t'; break;
      case 'u': {
        ++p;
        std::uint32_t unit;
        if (!read_hex4(unit)) return false;
        if (!strict) continue;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_at(escape_start, ParseError::kLoneSurrogate);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          std::uint32_t low;
          if (end - p < 2 || p[0] != '\\' || p[1] != 'u') return fail_at(escape_start, ParseError::kLoneSurrogate);
          p += 2;
          if (!read_hex4(low)) return false;
          if (low < 0xDC00 || low > 0xDFFF) return fail_at(escape_start, ParseError::kLoneSurrogate);
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        if (out != nullptr) append_utf8(*out, unit);
        continue;
      }
      default:
        return fail_at(escape_start, ParseError::kBadEscape);
    }
    ++p;
    if (out != nullptr) out->push_back(decoded);
  }
}

// Skips the string at p; its \u escapes need only four hex digits.
bool JsonCursor::skip_string() {
  ++p;
  return decode_string_rest(nullptr, /*strict=*/false);
}

bool JsonCursor::skip_literal(std::string_view word) {
  if (static_cast<std::size_t>(end - p) < word.size() || std::string_view(p, word.size()) != word) {
    return fail(ParseError::kBadValue);
  }
  p += word.size();
  return true;
}

// Skips one scalar value at p, or enters a container by pushing its bracket
// and setting `opened`.
bool JsonCursor::skip_scalar_or_open(std::string& open_brackets, bool& opened) {
  opened = false;
  if (p == end) return fail(ParseError::kUnexpectedEnd);
  switch (*p) {
    case '"': return skip_string();
    case '{':
    case '[':
      open_brackets.push_back(*p);
      ++p;
      opened = true;
      return true;
    case 't': return skip_literal("true");
    case 'f': return skip_literal("false");
    case 'n': return skip_literal("null");
    default:
      if (*p == '-' || is_digit(*p)) {
        NumberText ignored;
        return scan_number(ignored);
      }
      return fail(ParseError::kBadValue);
  }
}

// Skips a member name and its ':' inside a skipped object, at p.
bool JsonCursor::skip_member_name() {
  skip_ws();
  if (p == end) return fail(ParseError::kUnexpectedEnd);
  if (*p != '"') return fail(*p == '}' ? ParseError::kTrailingComma : ParseError::kExpectedName);
  if (!skip_string()) return false;
  if (!expect(':', ParseError::kExpectedColon)) return false;
  skip_ws();
  return true;
}

bool JsonCursor::skip_value(std::string& open_brackets) {
  open_brackets.clear();
  bool opened;
  if (!skip_scalar_or_open(open_brackets, opened)) return false;
  bool just_opened = opened;
  while (!open_brackets.empty()) {
    skip_ws();
    if (p == end) return fail(ParseError::kUnexpectedEnd);
    const char close = open_brackets.back() == '{' ? '}' : ']';
    if (*p == close) {
      ++p;
      open_brackets.pop_back();
      just_opened = false;
      continue;
    }
    if (!just_opened) {
      if (*p != ',') return fail(ParseError::kExpectedSeparator);
      ++p;
      skip_ws();
      if (p != end && *p == close) return fail(ParseError::kTrailingComma);
    }
    if (open_brackets.back() == '{' && !skip_member_name()) return false;
    skip_ws();
    if (!skip_scalar_or_open(open_brackets, opened)) return false;
    just_opened = opened;
  }
  return true;
}

}  // namespace ledger::detail
