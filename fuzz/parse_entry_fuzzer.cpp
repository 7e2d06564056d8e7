// Fuzzes the entry parser on arbitrary UTF-8 lines.
//
// Properties:
//  - a refused line reports a known code with a description and an offset
//    inside the line;
//  - parsing into a reused entry (as the reopen scan does) and into reused
//    views of the fields (as the verification walk does) gives exactly what
//    parsing into a fresh entry gives;
//  - whatever parses has a finite delta, and its line as the writer makes it is
//    one line that parses back to the same seven values, doubles bit for bit.
// The input is handed over in a buffer of its exact size, so AddressSanitizer
// catches any read past the end of the line.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "ledger/entry.h"
#include "ledger/parser.h"
#include "ledger/reader.h"

namespace ledger::fuzz {
namespace {

template <typename Fields>
bool same_values(const Fields& a, const LogEntry& b) {
  return a.index == b.index && a.timestamp == b.timestamp && a.prev_hash == b.prev_hash &&
         a.actor == b.actor && std::bit_cast<std::uint64_t>(a.delta_i) ==
         std::bit_cast<std::uint64_t>(b.delta_i) && a.payload == b.payload &&
         a.signature == b.signature;
}

std::string show(std::string_view line, const std::expected<LogEntry, ParseFailure>& result) {
  std::string out = "line: " + printable(line) + "\n  ";
  if (result) return out + "parsed; written back: " + printable(entry_to_json(*result));
  return out + "refused at " + std::to_string(result.error().offset) + ": " +
         std::string(describe(result.error().code));
}

void check_failure(std::string_view line, const ParseFailure& failure) {
  const auto code = static_cast<std::size_t>(failure.code);
  FUZZ_CHECK(code < static_cast<std::size_t>(ParseError::kCount_), printable(line));
  FUZZ_CHECK(!describe(failure.code).empty(), printable(line));
  FUZZ_CHECK(failure.offset <= line.size(), printable(line));
}

bool same_failure(const ParseFailure& a, const ParseFailure& b) {
  return a.code == b.code && a.offset == b.offset;
}

void check_line(std::string_view line) {
  const auto fresh = parse_log_entry(line);

  // Left over from earlier inputs, like the values the readers keep reusing.
  static LogEntry reused{7, "stale timestamp", "stale prev", "stale actor", -3.5,
                         std::string(100, 'p'), "stale signature"};
  static EntryFields views;
  const auto into = parse_log_entry_into(line, reused);
  const auto viewed = parse_entry_fields(line, views);
  FUZZ_CHECK(into.has_value() == fresh.has_value(), show(line, fresh));
  FUZZ_CHECK(viewed.has_value() == fresh.has_value(), show(line, fresh));
  if (!fresh) {
    check_failure(line, fresh.error());
    FUZZ_CHECK(same_failure(into.error(), fresh.error()), show(line, fresh));
    FUZZ_CHECK(same_failure(viewed.error(), fresh.error()), show(line, fresh));
    return;
  }
  FUZZ_CHECK(same_values(reused, *fresh), show(line, fresh));
  FUZZ_CHECK(same_values(views, *fresh), show(line, fresh));
  FUZZ_CHECK(std::isfinite(fresh->delta_i), show(line, fresh));

  const std::string written = entry_to_json(*fresh);
  FUZZ_CHECK(written.find_first_of("\r\n") == std::string::npos, show(line, fresh));
  FUZZ_CHECK(is_valid_utf8(written), show(line, fresh));
  const auto again = parse_log_entry(written);
  FUZZ_CHECK(again.has_value(), show(line, fresh) + "\n  written line refused: " +
                                    show(written, again));
  FUZZ_CHECK(same_values(*again, *fresh), show(line, fresh) + "\n  read back as: " +
                                              show(written, again));
}

}  // namespace
}  // namespace ledger::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  // Lines come from the line reader, which delivers only UTF-8.
  if (!ledger::is_valid_utf8(line)) return -1;
  ledger::fuzz::check_line(line);
  return 0;
}
