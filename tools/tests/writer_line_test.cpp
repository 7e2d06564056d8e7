// The shorter test for the writer's line against the rewrite it stands in
// for: the same answer, and the same column, on hand-made lines and on many
// random numbers and texts.
#include "audit/writer_line.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "ledger/entry.h"
#include "ledger/parser.h"

namespace ledger::cli {

using audit::is_writer_delta;
using audit::is_writer_line_fast;
using audit::rewritten_line_difference;
using audit::writer_line_difference;

namespace {

const std::string kSignature(64, 'a');

std::string line_with_delta(std::string_view delta) {
  return R"({"index":7,"timestamp":"2026-01-02T03:04:05.123+00:00","prev_hash":"GENESIS_BLOCK_HASH",)"
         R"("actor":"alice","delta_i":)" + std::string(delta) + R"(,"payload":"hello","signature":")" +
         kSignature + "\"}";
}

std::string writer_delta(double value) {
  char text[kMaxDeltaLength];
  return std::string(text, write_delta(text, value));
}

// Parses `line` and checks that the shorter test never claims a line the
// rewrite rejects, and that the column is the rewrite's. Returns that column.
std::size_t agreed_difference(const std::string& line) {
  EntryFields fields;
  const auto parsed = parse_entry_fields(line, fields);
  EXPECT_TRUE(parsed.has_value()) << line;
  if (!parsed) return 0;
  std::string scratch;
  const std::size_t rewritten = rewritten_line_difference(line, fields, scratch);
  EXPECT_TRUE(!is_writer_line_fast(line, fields) || rewritten == 0) << line;
  EXPECT_EQ(writer_line_difference(line, fields, scratch), rewritten) << line;
  return rewritten;
}

// Checks is_writer_delta against write_delta for `text` as the parser reads
// it (in a line laid out as the writer lays lines out); false when the
// parser refuses the text (beyond the range of a double).
bool check_delta(const std::string& text) {
  EntryFields fields;
  const std::string line = line_with_delta(text);
  if (!parse_entry_fields(line, fields)) return false;
  EXPECT_EQ(is_writer_delta(text, fields.delta_i), text == writer_delta(fields.delta_i))
      << text << " read as " << writer_delta(fields.delta_i);
  // In a line the digits are read eight at a time (the line goes on past the
  // number), alone one at a time: both readings must agree.
  EXPECT_EQ(is_writer_line_fast(line, fields), text == writer_delta(fields.delta_i)) << text;
  EXPECT_EQ(agreed_difference(line) == 0, text == writer_delta(fields.delta_i)) << text;
  return true;
}

TEST(CanonicalTest, DeltaSpellings) {
  const struct {
    const char* text;
    bool writer;
  } cases[] = {
      {"1.5", true},        {"-0.75", true},      {"-0.750", false},    {"123.0", true},
      {"123", false},       {"123.00", false},    {"0.1", true},        {"0.10000000000000001", false},
      {"0.30000000000000004", true},              {"1e+20", true},      {"1E+20", false},
      {"1e20", false},      {"1.0e+20", false},   {"10e+19", false},    {"100000000000000008191", false},
      {"100000000000000000000.0", false},         {"1000000000000000.0", true},  // e = 15
      {"1e+15", false},     {"1e+16", true},      {"10000000000000000.0", false},
      {"0.00001", true},    {"1e-5", false},      {"1e-6", true},       {"1e-06", false},
      {"0.000001", false},  {"1.5e-7", true},     {"15e-8", false},
      {"0.0", true},        {"-0.0", true},       {"0", false},         {"-0", false},
      {"0.00", false},      {"0e+0", false},      {"-0e-5", false},
      {"5e-324", true},     {"4.9e-324", false},  {"4.940656458412465e-324", false},
      {"1e-310", true},     {"1.0e-310", false},  {"2.2250738585072014e-308", true},
      {"2.225073858507201e-308", true},           {"1.7976931348623157e+308", true},
      {"1.797693134862315e+308", true},           {"9007199254740993.0", false},
      {"9007199254740992.0", true},               {"1.2345678901234567e+200", true},
      {"123456789012345.6", true},                {"1234567890123456.0", true},
      {"-9.87654321e-100", true},                 {"1e+0100", false},   {"1e+100", true},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(check_delta(c.text)) << c.text;
    EntryFields fields;
    ASSERT_TRUE(parse_entry_fields(line_with_delta(c.text), fields));
    EXPECT_EQ(is_writer_delta(c.text, fields.delta_i), c.writer) << c.text;
  }
}

TEST(CanonicalTest, LineLayouts) {
  const std::string writer = line_with_delta("1.5");
  const struct {
    std::string line;
    std::size_t column;  // where it differs from the writer's line; 0 when it is that line
  } cases[] = {
      {writer, 0},
      {writer + " ", writer.size() + 1},
      {writer + "\t", writer.size() + 1},
      {"{ " + writer.substr(1), 2},
      {R"({"index":7 ,)" + writer.substr(11), 11},
      // Escapes the writer does not write, and those it does.
      {R"({"index":7,"timestamp":"2026-01-02T03:04:05.123+00:00","prev_hash":"GENESIS_BLOCK_HASH",)"
       R"("actor":"\u0061lice","delta_i":1.5,"payload":"hello","signature":")" + kSignature + "\"}", 98},
      {R"({"index":7,"timestamp":"2026-01-02T03:04:05.123+00:00","prev_hash":"GENESIS_BLOCK_HASH",)"
       R"("actor":"alice","delta_i":1.5,"payload":"he\/llo","signature":")" + kSignature + "\"}", 132},
      {R"({"index":7,"timestamp":"2026-01-02T03:04:05.123+00:00","prev_hash":"GENESIS_BLOCK_HASH",)"
       R"("actor":"a\"b\\c","delta_i":1.5,"payload":"x\n\t\u001f\b\f\ry","signature":")" + kSignature + "\"}", 0},
      {R"({"index":7,"timestamp":"2026-01-02T03:04:05.123+00:00","prev_hash":"GENESIS_BLOCK_HASH",)"
       R"("actor":"alice","delta_i":1.5,"payload":"\u001F","signature":")" + kSignature + "\"}", 135},
      {R"({"index":7,"timestamp":"2026-01-02T03:04:05.123+00:00","prev_hash":"GENESIS_BLOCK_HASH",)"
       R"("actor":"alice","delta_i":1.5,"payload":"\u000a","signature":")" + kSignature + "\"}", 131},
      // Bytes the writer writes as they are.
      {R"({"index":7,"timestamp":"2026-01-02T03:04:05.123+00:00","prev_hash":"GENESIS_BLOCK_HASH",)"
       "\"actor\":\"\xc3\xa9\x7f/\",\"delta_i\":1.5,\"payload\":\"hello\",\"signature\":\"" + kSignature + "\"}", 0},
      // Another order, another member, the array form, another index spelling.
      {R"({"timestamp":"2026-01-02T03:04:05.123+00:00","index":7,"prev_hash":"GENESIS_BLOCK_HASH",)"
       R"("actor":"alice","delta_i":1.5,"payload":"hello","signature":")" + kSignature + "\"}", 3},
      {writer.substr(0, writer.size() - 1) + R"(,"note":1})", writer.size()},
      {R"([7,"2026-01-02T03:04:05.123+00:00","GENESIS_BLOCK_HASH","alice",1.5,"hello",")" + kSignature + "\"]", 1},
      {line_with_delta("1.50"), 118},
      {line_with_delta("-0.0"), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(agreed_difference(c.line), c.column) << c.line;
  }
  EntryFields fields;
  ASSERT_TRUE(parse_entry_fields(writer, fields));
  EXPECT_TRUE(is_writer_line_fast(writer, fields));
}

// Lays out `digits` (no leading or trailing zero) with the exponent of the
// first as write_delta lays out shortest digits.
std::string writer_form(bool negative, const std::string& digits, int exponent) {
  std::string out = negative ? "-" : "";
  const auto k = static_cast<int>(digits.size());
  if (exponent >= -5 && exponent <= -1) {
    out.append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
  } else if (exponent >= 0 && exponent < k - 1) {
    const auto point = static_cast<std::size_t>(exponent + 1);
    out.append(digits, 0, point).append(".").append(digits, point);
  } else if (exponent >= 0 && exponent <= 15) {
    out.append(digits).append(static_cast<std::size_t>(exponent - k + 1), '0').append(".0");
  } else {
    out.append(digits, 0, 1);
    if (k > 1) out.append(".").append(digits, 1);
    out.append(exponent < 0 ? "e-" : "e+").append(std::to_string(std::abs(exponent)));
  }
  return out;
}

TEST(CanonicalTest, RandomNumbersAgreeWithTheWriter) {
  std::mt19937_64 random(20261210);
  std::uniform_int_distribution<int> count(1, 17);
  std::uniform_int_distribution<int> exponent(-330, 310);
  std::uniform_int_distribution<int> digit(0, 9);
  std::uniform_int_distribution<int> precision(0, 20);
  std::uniform_int_distribution<int> binade(-17, 52);
  char text[64];
  for (int i = 0; i < 100'000; ++i) {
    // Random bits, as the writer writes them and as printf spells them.
    const double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    ASSERT_TRUE(check_delta(writer_delta(value)));
    for (const char* format : {"%.15g", "%.17g", "%.16e"}) {
      std::snprintf(text, sizeof text, format, value);
      check_delta(text);
    }
    std::snprintf(text, sizeof text, "%.*e", precision(random), value);
    check_delta(text);
    // Decimals in the writer's form, of random digits and exponents.
    std::string digits(static_cast<std::size_t>(count(random)), '0');
    for (char& d : digits) d = static_cast<char>('0' + digit(random));
    digits.front() = static_cast<char>('1' + digit(random) % 9);
    digits.back() = static_cast<char>('1' + digit(random) % 9);
    check_delta(writer_form(i % 2 == 0, digits, exponent(random)));

    // Between 2^-17 and 2^53, where 16 and 17 digits are told with integers:
    // random bits, quotients as amounts are, and their spellings one unit
    // off in the last digit, which often read back as the same double.
    const auto in_range = std::bit_cast<double>((random() & ((std::uint64_t{1} << 52) - 1)) |
                                                 (static_cast<std::uint64_t>(1023 + binade(random)) << 52));
    const double quotient = static_cast<double>(static_cast<std::int64_t>(random() % 2'000'000) - 1'000'000) /
                            static_cast<double>(1 + random() % 1000);
    for (const double near : {in_range, quotient}) {
      std::string spelled = writer_delta(near);
      ASSERT_TRUE(check_delta(spelled));
      for (const char* format : {"%.16g", "%.17g"}) {
        std::snprintf(text, sizeof text, format, near);
        check_delta(text);
      }
      char& last = spelled.back();
      if (last > '0' && last < '9') {
        for (const int step : {-1, 1}) {
          last = static_cast<char>(last + step);
          check_delta(spelled);
          last = static_cast<char>(last - step);
        }
      }
    }
  }
}

TEST(CanonicalTest, RandomTextsAgreeWithTheRewrite) {
  std::mt19937_64 random(7);
  // Plain bytes, bytes the writer escapes, and the escapes a line may use.
  const std::vector<std::string> pieces = {"a", "Z", "0", " ", "/", "\xc3\xa9", "\x7f", "\\\"",
                                           "\\\\", "\\/", "\\n", "\\u0041", "\\u001f", "\\u001F",
                                           "\\t", "\\b", "\\f", "\\r", "\\u00e9", "\\ud83d\\ude00"};
  const auto text = [&] {
    std::string out;
    for (auto n = random() % 6; n > 0; --n) out += pieces[random() % pieces.size()];
    return out;
  };
  for (int i = 0; i < 20'000; ++i) {
    const std::string line = R"({"index":)" + std::to_string(random() % 1000) + R"(,"timestamp":")" +
                             text() + R"(","prev_hash":")" + text() + R"(","actor":")" + text() +
                             R"(","delta_i":)" + writer_delta(static_cast<double>(random() % 2001) / 8 - 125) +
                             R"(,"payload":")" + text() + R"(","signature":")" + text() + "\"}";
    agreed_difference(line);
  }
}

}  // namespace
}  // namespace ledger::cli
