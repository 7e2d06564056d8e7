// Parsing a line into EntryFields: the shorter path for the writer's layout
// (writer_layout.h) first, else the general walk below, which maps the object
// and array forms onto the fields of format.h over a JsonCursor
// (json_cursor.h), with the numbers read by number.h.
#include "ledger/parser.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>

#include "ledger/field_text.h"
#include "ledger/format.h"
#include "ledger/json_cursor.h"
#include "ledger/number.h"
#include "ledger/writer_layout.h"

namespace ledger {
namespace {

using detail::JsonCursor;

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

// The field after `field` in the writer's order; none after the last.
constexpr std::optional<Field> field_after(Field field) {
  const auto next = static_cast<std::size_t>(field) + 1;
  if (next == kFieldCount) return std::nullopt;
  return static_cast<Field>(next);
}

std::optional<Field> field_named(std::string_view name) {
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    if (name == kFieldNames[i]) return static_cast<Field>(i);
  }
  return std::nullopt;
}

// The name of field F between quotes, as it stands in a line without escapes.
template <Field F>
constexpr auto kQuotedName = [] {
  constexpr std::string_view name = field_name(F);
  FixedText<name.size() + 2> quoted;
  quoted.text[0] = '"';
  std::ranges::copy(name, quoted.text + 1);
  quoted.text[name.size() + 1] = '"';
  return quoted;
}();

// Consumes the name of `field` between quotes when the cursor holds it as
// plain bytes. One branch per field, each comparing with constants.
bool take_quoted_name(JsonCursor& in, Field field) {
  bool taken = false;
  [&]<std::size_t... kFields>(std::index_sequence<kFields...>) {
    // Stops at the field that matches `field`, after trying its name.
    static_cast<void>(((field == static_cast<Field>(kFields) &&
                        (taken = in.take<kQuotedName<static_cast<Field>(kFields)>>(), true)) ||
                       ...));
  }(std::make_index_sequence<kFieldCount>());
  return taken;
}

// Reads a member name at the cursor ('"'); `field` becomes the field it
// names, if any. Lines as the writer makes them hold the names in field order
// without escapes, so the name `expected` in that order is tried first as
// plain bytes.
bool read_member_name(JsonCursor& in, std::optional<Field> expected, std::string& scratch,
                      std::optional<Field>& field) {
  if (expected && take_quoted_name(in, *expected)) {
    field = expected;
    return true;
  }
  std::string_view name;
  if (!in.read_string(name, scratch)) return false;
  field = field_named(name);
  return true;
}

// Reads the value of `field` at the cursor (no leading white space).
[[gnu::always_inline]] inline bool read_field(JsonCursor& in, Field field, EntryFields& fields) {
  if (in.p == in.end) return in.fail(ParseError::kUnexpectedEnd);
  if (field == Field::kIndex) return detail::read_index(in, fields.index);
  if (field == Field::kDelta) return detail::read_delta(in, fields.delta_i);
  if (*in.p != '"') return in.fail(ParseError::kWrongType);
  return in.read_string(detail::text_field(fields, field), fields.decoded[static_cast<std::size_t>(field)]);
}

// The object form: members in any order, those of other names skipped.
bool read_object(JsonCursor& in, EntryFields& fields) {
  ++in.p;  // '{'
  std::array<bool, kFieldCount> seen{};
  std::optional<Field> next_in_order = Field::kIndex;  // the member that the writer's order puts next
  std::string name_scratch;   // decoded member name, reused
  std::string open_brackets;  // of a skipped value, reused
  in.skip_ws();
  if (in.p != in.end && *in.p == '}') {
    ++in.p;
    return in.fail(ParseError::kMissingField);
  }
  for (;;) {
    in.skip_ws();
    if (in.p == in.end) return in.fail(ParseError::kUnexpectedEnd);
    if (*in.p == '}') return in.fail(ParseError::kTrailingComma);
    if (*in.p != '"') return in.fail(ParseError::kExpectedName);
    const char* name_start = in.p;
    std::optional<Field> field;
    if (!read_member_name(in, next_in_order, name_scratch, field)) return false;
    next_in_order = field ? field_after(*field) : Field::kIndex;
    if (!in.expect(':', ParseError::kExpectedColon)) return false;
    in.skip_ws();
    if (!field) {
      if (!in.skip_value(open_brackets)) return false;
    } else {
      bool& field_seen = seen[static_cast<std::size_t>(*field)];
      if (field_seen) return in.fail_at(name_start, ParseError::kDuplicateField);
      field_seen = true;
      if (!read_field(in, *field, fields)) return false;
    }
    in.skip_ws();
    if (in.p == in.end) return in.fail(ParseError::kUnexpectedEnd);
    if (*in.p == ',') {
      ++in.p;
      continue;
    }
    if (*in.p != '}') return in.fail(ParseError::kExpectedSeparator);
    ++in.p;
    break;
  }
  if (!std::ranges::all_of(seen, std::identity())) return in.fail(ParseError::kMissingField);
  return true;
}

// The array form: the values of all fields in field order.
bool read_array(JsonCursor& in, EntryFields& fields) {
  ++in.p;  // '['
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    const bool last = i + 1 == kFieldCount;
    in.skip_ws();
    if (in.p == in.end) return in.fail(ParseError::kUnexpectedEnd);
    if (*in.p == ']') return in.fail(i == 0 ? ParseError::kWrongArrayLength : ParseError::kTrailingComma);
    if (!read_field(in, static_cast<Field>(i), fields)) return false;
    in.skip_ws();
    if (in.p == in.end) return in.fail(ParseError::kUnexpectedEnd);
    if (*in.p == ']') {
      if (!last) return in.fail(ParseError::kWrongArrayLength);
      ++in.p;
      return true;
    }
    if (*in.p != ',') return in.fail(ParseError::kExpectedSeparator);
    if (last) return in.fail(ParseError::kWrongArrayLength);
    ++in.p;
  }
  return true;  // not reached: the loop returns at the last value
}

// Any JSON layout of the line, from its start. Kept out of line so that
// parse_entry_fields stays a short call around the writer's layout.
[[gnu::noinline]] std::expected<void, ParseFailure> read_any_layout(std::string_view line, EntryFields& fields) {
  JsonCursor in(line);
  in.skip_ws();
  bool ok;
  if (in.p == in.end) {
    ok = in.fail(ParseError::kNoValue);
  } else if (*in.p == '{') {
    ok = read_object(in, fields);
  } else if (*in.p == '[') {
    ok = read_array(in, fields);
  } else {
    ok = in.fail(ParseError::kNotEntry);
  }
  if (ok) {
    in.skip_ws();
    if (in.p != in.end) ok = in.fail(ParseError::kTrailingCharacters);
  }
  if (!ok) return std::unexpected(in.error);
  return {};
}

}  // namespace

std::string_view describe(ParseError code) {
  const auto i = static_cast<std::size_t>(code);
  return i < kMessages.size() ? kMessages[i] : "unknown parse error";
}

std::expected<void, ParseFailure> parse_entry_fields(std::string_view line, EntryFields& fields) {
  fields.writer_layout = detail::read_writer_layout(line, fields);
  if (fields.writer_layout) return {};
  return read_any_layout(line, fields);
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
