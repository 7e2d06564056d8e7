// Fuzzes the entry parser on arbitrary UTF-8 lines.
//
// Properties:
//  - a refused line reports a known code with a description and an offset
//    inside the line;
//  - parsing into a reused entry (as the reopen scan does) and into reused
//    views of the fields (as the verification walk does) gives exactly what
//    parsing into a fresh entry gives;
//  - the line with a space in front, which the shorter path for lines laid out
//    as the writer lays them out never takes, reads the same: the same values,
//    or the same failure one byte further on;
//  - whatever parses has a finite delta, and its line as the writer makes it is
//    one line that parses back to the same seven values, doubles bit for bit;
//  - the auditor's tool's shorter test for the writer's line gives the
//    rewrite's answer: it never claims a line that differs from the written
//    one, the column of a difference is the rewrite's, and its test of a
//    delta's spelling is exactly "write_delta writes this text";
//  - an input that is one JSON number, put in a line as delta_i, reads as the C
//    library's correctly rounded strtod reads it (a result too large for a
//    double is refused), both in a line that the general walk reads and in
//    one laid out as the writer lays it out; one that is plain digits, put in
//    as index, reads as std::from_chars reads it, or is refused as too large.
// The input is handed over in a buffer of its exact size, so AddressSanitizer
// catches any read past the end of the line.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "audit/writer_line.h"
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
  const auto general = parse_log_entry(" " + std::string(line));
  FUZZ_CHECK(general.has_value() == fresh.has_value(), show(line, fresh));
  if (fresh) {
    FUZZ_CHECK(same_values(*general, *fresh), show(line, fresh));
  } else {
    FUZZ_CHECK(general.error().code == fresh.error().code &&
                   general.error().offset == fresh.error().offset + 1,
               show(line, fresh));
  }
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

  std::string scratch;
  const std::size_t rewritten = audit::rewritten_line_difference(line, views, scratch);
  FUZZ_CHECK((rewritten == 0) == (line == written), show(line, fresh));
  FUZZ_CHECK(!audit::is_writer_line_fast(line, views) || rewritten == 0, show(line, fresh));
  FUZZ_CHECK(audit::writer_line_difference(line, views, scratch) == rewritten, show(line, fresh));
}

// Whether `text` is exactly one number by the JSON grammar.
bool is_json_number(std::string_view text) {
  std::size_t i = 0;
  const auto digit_at = [&](std::size_t at) {
    return at < text.size() && text[at] >= '0' && text[at] <= '9';
  };
  const auto skip_digits = [&] {
    const std::size_t first = i;
    while (digit_at(i)) ++i;
    return i > first;
  };
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0') {
    ++i;
  } else if (!digit_at(i) || !skip_digits()) {
    return false;
  }
  if (i < text.size() && text[i] == '.' && (++i, !skip_digits())) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (!skip_digits()) return false;
  }
  return i == text.size();
}

// An array-form line whose index and delta_i are the given texts.
std::string line_with(std::string_view index, std::string_view delta) {
  return "[" + std::string(index) + ",\"t\",\"p\",\"a\"," + std::string(delta) +
         ",\"x\",\"s\"]";
}

std::string bits_of(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%a (%.17g)", value, value);
  return text;
}

// A line laid out as the writer lays it out, whose delta_i is the given text.
std::string writer_line_with(std::string_view delta) {
  return R"({"index":0,"timestamp":"t","prev_hash":"p","actor":"a","delta_i":)" + std::string(delta) +
         R"(,"payload":"x","signature":"s"})";
}

void check_number(std::string_view number) {
  const std::string text(number);  // strtod needs the terminating NUL
  const double expected = std::strtod(text.c_str(), nullptr);
  for (const std::string& as_delta : {line_with("0", number), writer_line_with(number)}) {
    const auto delta = parse_log_entry(as_delta);
    if (std::isinf(expected)) {
      FUZZ_CHECK(!delta && delta.error().code == ParseError::kDeltaTooLarge, show(as_delta, delta));
    } else {
      FUZZ_CHECK(delta.has_value(), show(as_delta, delta));
      FUZZ_CHECK(std::bit_cast<std::uint64_t>(delta->delta_i) ==
                     std::bit_cast<std::uint64_t>(expected),
                 show(as_delta, delta) + ", strtod gives " + bits_of(expected));
      char spelled[kMaxDeltaLength];
      const std::string_view writer(spelled, write_delta(spelled, delta->delta_i));
      FUZZ_CHECK(audit::is_writer_delta(number, delta->delta_i) == (number == writer),
                 show(as_delta, delta));
    }
  }

  if (number.find_first_not_of("0123456789") != std::string_view::npos) return;
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  const std::string as_index = line_with(number, "1.0");
  const auto index = parse_log_entry(as_index);
  if (ec == std::errc::result_out_of_range) {
    FUZZ_CHECK(!index && index.error().code == ParseError::kIndexTooLarge, show(as_index, index));
  } else {
    FUZZ_CHECK(index.has_value() && index->index == value, show(as_index, index));
  }
}

}  // namespace
}  // namespace ledger::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  // Lines come from the line reader, which delivers only UTF-8.
  if (!ledger::is_valid_utf8(line)) return -1;
  ledger::fuzz::check_line(line);
  if (ledger::fuzz::is_json_number(line)) ledger::fuzz::check_number(line);
  return 0;
}
