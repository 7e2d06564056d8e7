// What parsing a ledger line gives: the values of its fields, or where and
// why it failed. Shared by the parser (parser.h) and its helpers, which need
// these types but not the parser itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ledger/format.h"

namespace ledger {

enum class ParseError : std::uint8_t {
  kNoValue,               // the line holds nothing but JSON white space
  kNotEntry,              // the value is neither an object nor an array
  kUnexpectedEnd,         // the line ends inside the value
  kExpectedName,          // a member name is not a string
  kExpectedColon,         // no ':' after a member name
  kExpectedSeparator,     // neither ',' nor the closing bracket after a value
  kTrailingComma,         // ',' directly before '}' or ']'
  kDuplicateField,        // one of the seven names occurs twice
  kMissingField,          // one of the seven names never occurs
  kWrongArrayLength,      // the array form holds other than seven values
  kWrongType,             // a field's value is of another JSON type
  kBadValue,              // a skipped value is not well-formed JSON
  kBadNumber,             // a number breaks the JSON number grammar
  kIndexNotInteger,       // index has a sign, fraction or exponent
  kIndexTooLarge,         // index exceeds 2^64 - 1
  kDeltaTooLarge,         // delta_i's magnitude exceeds the largest double
  kControlCharacter,      // a raw character below U+0020 inside a string
  kBadEscape,             // a backslash followed by anything but a JSON escape
  kLoneSurrogate,         // a \u escape of an unpaired UTF-16 surrogate
  kTrailingCharacters,    // something other than white space after the value
  kCount_,                // number of codes; not an error
};

// One-line description of `code`.
std::string_view describe(ParseError code);

struct ParseFailure {
  ParseError code;
  std::size_t offset;  // byte offset in the line where the parse stopped
};

// The seven values of a parsed line, with the texts as views: into the line
// itself for a string without escapes (the common case), else into the
// decoded copy kept in `decoded`. Valid until the line changes or the next
// parse into the same EntryFields. Lets the verification walk read a line
// without copying its texts.
struct EntryFields {
  std::uint64_t index = 0;
  std::string_view timestamp;
  std::string_view prev_hash;
  std::string_view actor;
  double delta_i = 0.0;
  std::string_view payload;
  std::string_view signature;
  std::array<std::string, kFieldCount> decoded;  // by field; storage for texts with escapes
  // The line was read as laid out in the writer's layout (format.h): the
  // members in field order with the writer's prefixes and nothing between
  // them, index as plain digits without a leading zero, and every text a view
  // into the line, right after its member prefix, that holds no quote,
  // backslash or control character. White space may follow the closing brace.
  bool writer_layout = false;
};

}  // namespace ledger
