// A minimal writer for one-line JSON objects, and the quoting both output
// forms use for text that comes from a ledger or a command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ledger::tlog {

// `text` as a JSON string literal in ASCII: quotes, backslashes and control
// characters escaped, every other non-ASCII character as \u escapes (a pair
// for characters above U+FFFF), and every byte that is not part of valid
// UTF-8 as \ufffd. Safe to print to a terminal.
std::string json_quote(std::string_view text);

// `text` unchanged when it is printable ASCII without spaces (signatures,
// sentinels, plain file names), otherwise json_quote(text).
std::string display(std::string_view text);

// Builds one JSON object; members are written in the order they are added.
class JsonWriter {
 public:
  JsonWriter() : out_(1, '{') {}

  JsonWriter& field(std::string_view name, std::string_view value);
  JsonWriter& field(std::string_view name, const char* value) {
    return field(name, std::string_view(value));
  }
  JsonWriter& field(std::string_view name, std::uint64_t value);
  JsonWriter& field(std::string_view name, std::optional<std::uint64_t> value);
  JsonWriter& null_field(std::string_view name);
  // Opens a nested object or array as the value of `name`, or as the next
  // element of the array that is open.
  JsonWriter& begin_object(std::string_view name = {});
  JsonWriter& end_object();
  JsonWriter& begin_array(std::string_view name);
  JsonWriter& end_array();

  // The object, closed, without a line feed.
  std::string finish();

 private:
  void key(std::string_view name);

  std::string out_;          // text so far
  bool need_comma_ = false;  // a value precedes in the open object or array
};

}  // namespace ledger::tlog
