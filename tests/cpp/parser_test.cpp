#include "ledger/parser.h"
#include "ledger/writer_layout.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <random>
#include <cmath>
#include <string>
#include <vector>

namespace ledger {
namespace {

const LogEntry kExample{0,
                        "2026-01-02T03:04:05.123+00:00",
                        "GENESIS_BLOCK_HASH",
                        "alice",
                        1.5,
                        "hello",
                        "f1ddf018e131378af13b0196f2b5fa6871def3457b365cb0266748d8fd171d0c"};

const std::string kLine = entry_to_json(kExample);

// The example line with its `delta_i` (or another member's) value text replaced.
std::string with_member(std::string_view name, std::string_view value_text) {
  std::string line = kLine;
  const std::string key = "\"" + std::string(name) + "\":";
  const std::size_t start = line.find(key) + key.size();
  std::size_t end = start;
  if (line[start] == '"') {
    end = line.find('"', start + 1) + 1;
  } else {
    end = line.find_first_of(",}", start);
  }
  line.replace(start, end - start, value_text);
  return line;
}

// The example line with an extra member in front.
std::string with_extra(std::string_view member) {
  return "{" + std::string(member) + "," + kLine.substr(1);
}

TEST(ParserTest, WrittenLineParsesBack) {
  auto entry = parse_log_entry(kLine);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(*entry, kExample);
}

TEST(ParserTest, EquivalentFormsGiveTheSameEntry) {
  const std::string cases[] = {
      // Reverse order, white space of all four kinds around tokens.
      " {\"signature\" :\t\"f1ddf018e131378af13b0196f2b5fa6871def3457b365cb0266748d8fd171d0c\" ,"
      "\"payload\":\"hello\",\r\n\"delta_i\"\t:\t1.5,\"actor\":\"alice\",\"prev_hash\":"
      "\"GENESIS_BLOCK_HASH\",\"timestamp\":\"2026-01-02T03:04:05.123+00:00\",\"index\":0 }  ",
      // A name written with an escape; text with escapes.
      with_member("actor", R"("\u0061lic\u0065")").replace(kLine.find("\"index\""), 7, R"("\u0069ndex")"),
      // Other members, any value, repeated, nested.
      with_extra(R"("note":[1,{"a":[true,false,null,-0.5e+3,"\ud800"]},[]],"note":{})"),
      // The array form.
      R"([0,"2026-01-02T03:04:05.123+00:00","GENESIS_BLOCK_HASH","alice",1.5,"hello",)"
      R"("f1ddf018e131378af13b0196f2b5fa6871def3457b365cb0266748d8fd171d0c"])",
      // Numbers written differently.
      with_member("delta_i", "15e-1"),
      with_member("delta_i", "0.15E+1"),
      with_member("delta_i", "1.50"),
  };
  for (const auto& line : cases) {
    auto entry = parse_log_entry(line);
    ASSERT_TRUE(entry.has_value()) << line << "\n" << describe(entry.error().code);
    EXPECT_EQ(*entry, kExample) << line;
  }
}

TEST(ParserTest, FieldValues) {
  const struct {
    const char* name;
    std::string line;
    LogEntry expected;
  } cases[] = {
      {"delta integer", with_member("delta_i", "5"), [] { auto e = kExample; e.delta_i = 5.0; return e; }()},
      {"delta 2^53+1 rounds", with_member("delta_i", "9007199254740993"),
       [] { auto e = kExample; e.delta_i = 9007199254740992.0; return e; }()},
      {"delta underflow", with_member("delta_i", "1e-400"), [] { auto e = kExample; e.delta_i = 0.0; return e; }()},
      {"delta largest", with_member("delta_i", "1.7976931348623157e308"),
       [] { auto e = kExample; e.delta_i = 1.7976931348623157e308; return e; }()},
      {"index max", with_member("index", "18446744073709551615"),
       [] { auto e = kExample; e.index = 18446744073709551615ULL; return e; }()},
      {"escaped tab", with_member("payload", R"("a\tb\/\"\\")"),
       [] { auto e = kExample; e.payload = "a\tb/\"\\"; return e; }()},
      {"surrogate pair", with_member("payload", R"("\uD83D\uDE00")"),
       [] { auto e = kExample; e.payload = "\xF0\x9F\x98\x80"; return e; }()},
      {"escaped NUL", with_member("payload", R"("a\u0000b")"),
       [] { auto e = kExample; e.payload = std::string("a\0b", 3); return e; }()},
      {"raw non-ASCII and DEL", with_member("payload", "\"\xc3\xa9\x7f\xe3\x80\x80\""),
       [] { auto e = kExample; e.payload = "\xc3\xa9\x7f\xe3\x80\x80"; return e; }()},
      {"any signature", with_member("signature", R"("not a digest")"),
       [] { auto e = kExample; e.signature = "not a digest"; return e; }()},
  };
  for (const auto& c : cases) {
    auto entry = parse_log_entry(c.line);
    ASSERT_TRUE(entry.has_value()) << c.name << ": " << describe(entry.error().code);
    EXPECT_EQ(*entry, c.expected) << c.name;
  }
}

TEST(ParserTest, NegativeZeroAndNegativeUnderflowKeepTheSign) {
  for (const char* text : {"-0", "-0.0", "-1e-400", "-0e5"}) {
    auto entry = parse_log_entry(with_member("delta_i", text));
    ASSERT_TRUE(entry.has_value()) << text;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(entry->delta_i), 0x8000000000000000ULL) << text;
  }
}

TEST(ParserTest, RefusedLines) {
  const struct {
    const char* name;
    std::string line;
    ParseError error;
  } cases[] = {
      {"empty", "", ParseError::kNoValue},
      {"white space only", " \t", ParseError::kNoValue},
      {"byte order mark", "\xEF\xBB\xBF" + kLine, ParseError::kNotEntry},
      {"no-break space before", "\xC2\xA0" + kLine, ParseError::kNotEntry},
      {"a string", R"("text")", ParseError::kNotEntry},
      {"cut short", kLine.substr(0, kLine.size() - 1), ParseError::kUnexpectedEnd},
      {"second object", kLine + kLine, ParseError::kTrailingCharacters},
      {"trailing text", kLine + " x", ParseError::kTrailingCharacters},
      {"empty object", "{}", ParseError::kMissingField},
      {"missing member", "{" + kLine.substr(kLine.find("\"timestamp\"")), ParseError::kMissingField},
      {"capital Index", "{\"Index\":0," + kLine.substr(kLine.find("\"timestamp\"")), ParseError::kMissingField},
      {"index twice", with_extra(R"("index":0)"), ParseError::kDuplicateField},
      {"trailing comma", kLine.substr(0, kLine.size() - 1) + ",}", ParseError::kTrailingComma},
      {"missing comma", with_member("actor", R"("alice" "x")"), ParseError::kExpectedSeparator},
      {"missing colon", R"({"index" 0})", ParseError::kExpectedColon},
      {"name not a string", R"({index:0})", ParseError::kExpectedName},
      {"delta null", with_member("delta_i", "null"), ParseError::kWrongType},
      {"delta string", with_member("delta_i", R"("1.5")"), ParseError::kWrongType},
      {"delta NaN", with_member("delta_i", "NaN"), ParseError::kWrongType},
      {"delta Infinity", with_member("delta_i", "-Infinity"), ParseError::kBadNumber},
      {"delta too large", with_member("delta_i", "1e400"), ParseError::kDeltaTooLarge},
      {"delta too large negative", with_member("delta_i", "-1.8e308"), ParseError::kDeltaTooLarge},
      {"delta plus sign", with_member("delta_i", "+1"), ParseError::kWrongType},
      {"delta leading zero", with_member("delta_i", "01"), ParseError::kBadNumber},
      {"delta bare point", with_member("delta_i", "1."), ParseError::kBadNumber},
      {"delta point first", with_member("delta_i", ".5"), ParseError::kWrongType},
      {"delta hex", with_member("delta_i", "0x10"), ParseError::kExpectedSeparator},
      {"delta empty exponent", with_member("delta_i", "1e"), ParseError::kBadNumber},
      {"index negative", with_member("index", "-1"), ParseError::kIndexNotInteger},
      {"index negative zero", with_member("index", "-0"), ParseError::kIndexNotInteger},
      {"index fraction", with_member("index", "1.0"), ParseError::kIndexNotInteger},
      {"index exponent", with_member("index", "1e2"), ParseError::kIndexNotInteger},
      {"index leading zero", with_member("index", "01"), ParseError::kBadNumber},
      {"index 2^64", with_member("index", "18446744073709551616"), ParseError::kIndexTooLarge},
      {"index string", with_member("index", R"("0")"), ParseError::kWrongType},
      {"text not a string", with_member("actor", "7"), ParseError::kWrongType},
      {"raw tab in text", with_member("actor", "\"a\tb\""), ParseError::kControlCharacter},
      {"bad escape", with_member("actor", R"("a\x")"), ParseError::kBadEscape},
      {"short unicode escape", with_member("actor", R"("\u12")"), ParseError::kBadEscape},
      {"lone high surrogate", with_member("actor", R"("\uD83D")"), ParseError::kLoneSurrogate},
      {"lone low surrogate", with_member("actor", R"("\uDE00")"), ParseError::kLoneSurrogate},
      {"high then non-surrogate", with_member("actor", R"("\uD83D\u0041")"), ParseError::kLoneSurrogate},
      {"lone surrogate in a name", with_extra(R"("\uD83D":1)"), ParseError::kLoneSurrogate},
      {"array of six", R"([0,"t","p","a",1.5,"x"])", ParseError::kWrongArrayLength},
      {"array of eight", R"([0,"t","p","a",1.5,"x","s",1])", ParseError::kWrongArrayLength},
      {"array trailing comma", R"([0,"t","p","a",1.5,"x","s",])", ParseError::kWrongArrayLength},
      {"empty array", "[]", ParseError::kWrongArrayLength},
      {"array wrong type", R"([0,"t","p","a","1.5","x","s"])", ParseError::kWrongType},
      {"skipped bad literal", with_extra(R"("x":tru)"), ParseError::kBadValue},
      {"skipped trailing comma", with_extra(R"("x":[1,])"), ParseError::kTrailingComma},
      {"skipped object trailing comma", with_extra(R"("x":{"a":1,})"), ParseError::kTrailingComma},
      {"skipped unclosed", "{\"x\":[[[", ParseError::kUnexpectedEnd},
      {"skipped bad number", with_extra(R"("x":-)"), ParseError::kBadNumber},
      {"skipped control char", with_extra("\"x\":\"\x01\""), ParseError::kControlCharacter},
  };
  for (const auto& c : cases) {
    auto entry = parse_log_entry(c.line);
    ASSERT_FALSE(entry.has_value()) << c.name;
    EXPECT_EQ(entry.error().code, c.error) << c.name << ": got " << describe(entry.error().code);
  }
}

// Lines laid out as the writer lays them out take a shorter path through the
// parser. Whatever such a line holds after a change, that path must read it
// exactly as the general walk does, which a leading space forces: the same
// values, or the same failure one byte further on.
TEST(ParserTest, WriterLayoutReadsAsTheGeneralWalkDoes) {
  std::vector<std::string> lines;
  for (const char* delta : {"0", "-0", "7", "-12.5", "1055.1007751937984", "-1207.5019305019305",
                            "123456789012345678.5", "1e+300", "4.9406564584124654e-324", "-0.000001"}) {
    lines.push_back(with_member("delta_i", delta));
  }
  lines.push_back(with_member("index", "18446744073709551615"));
  lines.push_back(with_member("actor", R"("tab\tand \u00e9")"));
  lines.push_back(kLine + "\r\n");
  const char kBytes[] = {'"', '\\', ' ', '0', '9', '-', '+', '.', 'e', ',', ':', '{', '}', ']', '\x01', 'a'};
  auto same_reading = [](const std::string& line) {
    const auto direct = parse_log_entry(line);
    const auto general = parse_log_entry(" " + line);
    ASSERT_EQ(direct.has_value(), general.has_value()) << line;
    if (direct) {
      EXPECT_EQ(*direct, *general) << line;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(direct->delta_i), std::bit_cast<std::uint64_t>(general->delta_i)) << line;
    } else {
      EXPECT_EQ(direct.error().code, general.error().code) << line;
      EXPECT_EQ(direct.error().offset + 1, general.error().offset) << line;
    }
  };
  for (const std::string& line : lines) {
    same_reading(line);
    for (std::size_t i = 0; i < line.size(); ++i) {
      same_reading(line.substr(0, i));
      same_reading(line.substr(0, i) + line.substr(i + 1));
      for (char byte : kBytes) {
        std::string changed = line;
        changed[i] = byte;
        same_reading(changed);
        same_reading(line.substr(0, i) + byte + line.substr(i));
      }
    }
  }
}

// The writer's own lines must take the shorter path: were it to decline them,
// they would still parse through the general walk and the comparison above
// would still pass, only slower. Lines of other layouts it must leave to the
// general walk.
TEST(ParserTest, WriterLinesTakeTheShorterPath) {
  const struct {
    const char* name;
    std::string line;
    bool taken;
  } cases[] = {
      {"example", kLine, true},
      {"largest index, exponent delta, empty texts",
       entry_to_json({18446744073709551615ULL, "t", "p", "", -1e-7, "", "s"}), true},
      {"texts the writer escapes", entry_to_json({7, "t", "p", "a\tb", 1.5, "say \"hi\"", "s"}), false},
      {"white space before", " " + kLine, false},
      {"another member", kLine.substr(0, kLine.size() - 1) + ",\"x\":1}", false},
      {"index left out", "{" + kLine.substr(kLine.find("\"timestamp\"")), false},
  };
  for (const auto& c : cases) {
    EntryFields fields;
    EXPECT_EQ(detail::read_writer_layout(c.line, fields), c.taken) << c.name;
  }
}

TEST(ParserTest, SkippedValuesFollowTheRelaxedRules) {
  // Sizes are not checked and \u escapes need no partner inside skipped values.
  for (const char* member : {R"("x":1e99999)", R"("x":123456789012345678901234567890)",
                             R"("x":"\uDE00\uD800")", R"("x":{"\uDFFF":[]})"}) {
    EXPECT_TRUE(parse_log_entry(with_extra(member)).has_value()) << member;
  }
}

TEST(ParserTest, DeepNestingIsSkippedWithoutRecursion) {
  constexpr std::size_t kDepth = 1'000'000;
  std::string deep = "\"deep\":" + std::string(kDepth, '[') + std::string(kDepth, ']');
  EXPECT_TRUE(parse_log_entry(with_extra(deep)).has_value());
  std::string objects = "\"deep\":";
  for (std::size_t i = 0; i < kDepth; ++i) objects += "{\"a\":";
  objects += "1" + std::string(kDepth, '}');
  EXPECT_TRUE(parse_log_entry(with_extra(objects)).has_value());
  // Unbalanced by one: still refused, not crashed.
  deep.pop_back();
  EXPECT_FALSE(parse_log_entry(with_extra(deep)).has_value());
}

TEST(ParserTest, FailuresPointAtTheOffendingByte) {
  const std::string line = with_member("delta_i", "1e400");
  auto entry = parse_log_entry(line);
  ASSERT_FALSE(entry.has_value());
  EXPECT_EQ(entry.error().offset, line.find("1e400"));
}

TEST(ParserTest, EveryErrorHasADescription) {
  for (int i = 0; i < static_cast<int>(ParseError::kCount_); ++i) {
    const auto text = describe(static_cast<ParseError>(i));
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text, "unknown parse error") << i;
  }
}

}  // namespace
}  // namespace ledger

namespace ledger {
namespace {

// The decimal text of digits / 10^fraction_digits, as a writer might put it.
std::string decimal_text(std::uint64_t digits, int fraction_digits) {
  std::string text = std::to_string(digits);
  if (fraction_digits == 0) return text;
  const auto places = static_cast<std::size_t>(fraction_digits);
  if (text.size() <= places) text.insert(0, places + 1 - text.size(), '0');
  text.insert(text.size() - places, ".");
  return text;
}

// Every number text reads as the double nearest to its exact value, whichever
// way the parser gets there: checked against std::from_chars on random texts,
// on numbers that lie on or next to the midpoint between two doubles, and on
// the shortest texts of random doubles. Each text is read both in a line as
// the writer lays it out and in one that needs the general walk.
TEST(ParserNumberTest, DeltaIsTheNearestDouble) {
  std::mt19937_64 random(99);
  auto parsed_delta = [](const std::string& text) {
    const std::string line = with_member("delta_i", text);
    auto entry = parse_log_entry(line);
    auto general = parse_log_entry(" " + line);
    EXPECT_TRUE(entry.has_value() && general.has_value()) << text;
    if (!entry || !general) return 0.0;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(entry->delta_i), std::bit_cast<std::uint64_t>(general->delta_i)) << text;
    return entry->delta_i;
  };
  auto expect_nearest = [&](const std::string& text) {
    double expected = 0;
    std::from_chars(text.data(), text.data() + text.size(), expected);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(parsed_delta(text)), std::bit_cast<std::uint64_t>(expected)) << text;
  };
  // Up to 19 digits in all, any split between integer and fraction.
  for (int i = 0; i < 100'000; ++i) {
    const std::uint64_t digits = random() % 10'000'000'000'000'000'000U >> (random() % 64);
    expect_nearest((random() % 2 ? "-" : "") + decimal_text(digits, static_cast<int>(random() % 20)));
  }
  // Midpoints: an odd 54-bit number times a power of two, divided by 10^k,
  // and the numbers one unit in the last digit on either side.
  for (int i = 0; i < 20'000; ++i) {
    const int places = static_cast<int>(random() % 5);
    std::uint64_t digits = (random() >> 11) | (std::uint64_t{1} << 53) | 1;
    for (int k = 0; k < places; ++k) digits *= 5;
    if (digits < (std::uint64_t{1} << 63)) digits <<= random() % static_cast<unsigned>(std::countl_zero(digits));
    for (std::uint64_t nearby : {digits - 1, digits, digits + 1}) expect_nearest(decimal_text(nearby, places));
  }
  // Any length, with or without a fraction.
  for (int i = 0; i < 100'000; ++i) {
    std::string text = random() % 2 ? "-" : "";
    const std::size_t integer_digits = 1 + random() % 17;
    text += static_cast<char>('1' + random() % 9);
    for (std::size_t d = 1; d < integer_digits; ++d) text += static_cast<char>('0' + random() % 10);
    if (random() % 3 == 0) text = text.substr(0, text.size() - integer_digits) + "0";
    if (random() % 2) {
      text += '.';
      const std::size_t fraction_digits = 1 + random() % 20;
      for (std::size_t d = 0; d < fraction_digits; ++d) text += static_cast<char>('0' + random() % 10);
    }
    expect_nearest(text);
  }
  for (int i = 0; i < 100'000; ++i) {
    const double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    char buffer[kMaxDeltaLength];
    const std::string text(buffer, write_delta(buffer, value));
    ASSERT_EQ(std::bit_cast<std::uint64_t>(parsed_delta(text)), std::bit_cast<std::uint64_t>(value)) << text;
  }
}

}  // namespace
}  // namespace ledger
