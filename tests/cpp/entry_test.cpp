#include "ledger/digest.h"
#include "ledger/entry.h"
#include "ledger/string_scan.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <bit>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <random>

namespace ledger {
namespace {

constexpr std::int64_t kWorkedExampleSeconds = 1767323045;  // 2026-01-02T03:04:05Z
constexpr char kWorkedExampleLine[] =
    R"({"index":0,"timestamp":"2026-01-02T03:04:05.123+00:00","prev_hash":"GENESIS_BLOCK_HASH",)"
    R"("actor":"alice","delta_i":1.5,"payload":"hello",)"
    R"("signature":"f1ddf018e131378af13b0196f2b5fa6871def3457b365cb0266748d8fd171d0c"})";

std::string digest(std::string_view prev, std::string_view ts, std::string_view actor, double delta,
                   std::string_view payload) {
  auto result = compute_entry_digest(prev, ts, actor, delta, payload);
  EXPECT_TRUE(result.has_value());
  return result.value_or("");
}

std::string delta_text(double value) {
  char buffer[kMaxDeltaLength];
  return std::string(buffer, write_delta(buffer, value));
}

TEST(EntryTest, WorkedExampleIsByteExact) {
  const std::string timestamp = format_ledger_timestamp(kWorkedExampleSeconds, 123'000'000);
  ASSERT_EQ(timestamp, "2026-01-02T03:04:05.123+00:00");
  const std::string signature = digest(GENESIS_BLOCK_HASH, timestamp, "alice", 1.5, "hello");
  EXPECT_EQ(signature, "f1ddf018e131378af13b0196f2b5fa6871def3457b365cb0266748d8fd171d0c");
  const LogEntry entry{0, timestamp, std::string(GENESIS_BLOCK_HASH), "alice", 1.5, "hello", signature};
  EXPECT_EQ(entry_to_json(entry), kWorkedExampleLine);
}

TEST(EntryTest, TimestampForms) {
  const struct {
    std::int64_t seconds;
    std::uint32_t nanos;
    const char* expected;
  } cases[] = {
      {0, 0, "1970-01-01T00:00:00+00:00"},
      {1796700374, 0, "2026-12-08T03:26:14+00:00"},
      {1796700374, 500'000'000, "2026-12-08T03:26:14.500+00:00"},
      {1796700374, 120'000'000, "2026-12-08T03:26:14.120+00:00"},
      {1796700374, 123'456'000, "2026-12-08T03:26:14.123456+00:00"},
      {1796700374, 123'456'700, "2026-12-08T03:26:14.123456700+00:00"},
      {1796700374, 123'400, "2026-12-08T03:26:14.000123400+00:00"},
      {1709164800, 0, "2024-02-29T00:00:00+00:00"},
      {-1, 0, "1969-12-31T23:59:59+00:00"},
      {253402300799, 0, "9999-12-31T23:59:59+00:00"},
      {253402300800, 0, "+10000-01-01T00:00:00+00:00"},
      {-62167219200, 0, "0000-01-01T00:00:00+00:00"},
      {-62198755200, 0, "-0001-01-01T00:00:00+00:00"},
      {std::numeric_limits<std::int64_t>::max(), 0, "+292277026596-12-04T15:30:07+00:00"},
      {std::numeric_limits<std::int64_t>::min(), 0, "-292277022657-01-27T08:29:52+00:00"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_ledger_timestamp(c.seconds, c.nanos), c.expected) << c.seconds << " " << c.nanos;
    EXPECT_TRUE(is_writer_timestamp(c.expected)) << c.expected;
  }
}

// Texts that no instant formats to: each is near a writer's text.
TEST(EntryTest, TimestampsNotInTheWritersForm) {
  const char* const texts[] = {
      "",
      "2026-12-08T03:26:14",                  // no zone
      "2026-12-08T03:26:14Z",
      "2026-12-08T03:26:14+00:00al",          // bytes moved in from the next field
      "2026-12-08T03:26:14+01:00",
      "2026-12-08t03:26:14+00:00",
      "2026-12-08 03:26:14+00:00",
      "2026-12-08T03:26:14.000+00:00",        // a fraction of zero
      "2026-12-08T03:26:14.120000+00:00",     // more digits than the value needs
      "2026-12-08T03:26:14.123000000+00:00",
      "2026-12-08T03:26:14.5+00:00",
      "2026-12-08T03:26:14.1234+00:00",
      "2026-12-08T03:26:14.+00:00",
      "2026-02-29T00:00:00+00:00",            // not a leap year
      "1900-02-29T00:00:00+00:00",
      "2026-04-31T00:00:00+00:00",
      "2026-13-01T00:00:00+00:00",
      "2026-00-01T00:00:00+00:00",
      "2026-12-00T00:00:00+00:00",
      "2026-12-08T24:00:00+00:00",
      "2026-12-08T03:60:14+00:00",
      "2026-12-08T03:26:60+00:00",            // no leap seconds
      "+2026-12-08T03:26:14+00:00",           // a year from 0 to 9999 is unsigned
      "-0000-01-01T00:00:00+00:00",
      "10000-01-01T00:00:00+00:00",           // a year past 9999 is signed
      "+010000-01-01T00:00:00+00:00",
      "-00001-01-01T00:00:00+00:00",
      "226-12-08T03:26:14+00:00",
      "+292277026596-12-04T15:30:08+00:00",   // one second past the range
      "-292277022657-01-27T08:29:51+00:00",
      "+1000000000000-01-01T00:00:00+00:00",
      "2026-12-08T03:26:14+00:00+00:00",
      "2026-1２-08T03:26:14+00:00",
  };
  for (const char* text : texts) EXPECT_FALSE(is_writer_timestamp(text)) << text;
}

// Every instant's text is accepted, and every text near one is accepted
// exactly when it is the text of an instant: found by reading its fields
// loosely, converting them with the standard calendar and formatting again.
// One byte of `text` replaced, removed or inserted (by `round`), with bytes a
// timestamp is made of.
void mutate_one_byte(std::string& text, std::mt19937_64& random, int round) {
  constexpr char kAlphabet[] = "0123456789-+:.TZ ";
  const std::size_t at = random() % (text.size() + 1);
  const char c = kAlphabet[random() % (sizeof kAlphabet - 1)];
  switch (round % 3) {
    case 0: if (at < text.size()) text[at] = c; break;
    case 1: if (at < text.size()) text.erase(at, 1); break;
    default: text.insert(at, 1, c);
  }
}

TEST(EntryTest, WriterTimestampsAreExactlyTheFormattedOnes) {
  // Unknown (nullopt) outside the standard calendar's years.
  const auto formats_to_itself = [](const std::string& text) -> std::optional<bool> {
    long long year;
    unsigned month, day, hour, minute, second;
    int used = 0;
    if (std::sscanf(text.c_str(), "%lld-%2u-%2uT%2u:%2u:%2u%n", &year, &month, &day, &hour, &minute,
                    &second, &used) != 6) {
      return false;
    }
    if (year < -30000 || year > 30000) return std::nullopt;
    std::uint32_t nanos = 0;
    std::size_t rest = static_cast<std::size_t>(used);
    if (rest < text.size() && text[rest] == '.') {
      std::size_t digits = 0;
      while (rest + 1 + digits < text.size() && std::isdigit(static_cast<unsigned char>(text[rest + 1 + digits])) &&
             digits < 9) {
        nanos = nanos * 10 + static_cast<std::uint32_t>(text[rest + 1 + digits] - '0');
        ++digits;
      }
      for (std::size_t i = digits; i < 9; ++i) nanos *= 10;
    }
    const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(year)),
                                           std::chrono::month(month), std::chrono::day(day)};
    if (!date.ok() || hour > 23 || minute > 59 || second > 59) return false;
    const std::int64_t seconds =
        std::chrono::sys_days(date).time_since_epoch().count() * 86400LL + hour * 3600 + minute * 60 + second;
    return format_ledger_timestamp(seconds, nanos) == text;
  };
  std::mt19937_64 random(7);
  for (int round = 0; round < 20000; ++round) {
    // Years from about -10700 to 14600: both signs and five-digit years.
    const auto seconds = static_cast<std::int64_t>(random() % 800'000'000'000ULL) - 400'000'000'000LL;
    const std::uint32_t nanos_forms[] = {0, static_cast<std::uint32_t>(random() % 1000) * 1'000'000,
                                         static_cast<std::uint32_t>(random() % 1'000'000) * 1000,
                                         static_cast<std::uint32_t>(random() % 1'000'000'000)};
    const std::uint32_t nanos = nanos_forms[round % 4];
    std::string text = format_ledger_timestamp(seconds, nanos);
    ASSERT_TRUE(is_writer_timestamp(text)) << text;
    mutate_one_byte(text, random, round);
    if (const auto expected = formats_to_itself(text)) {
      ASSERT_EQ(is_writer_timestamp(text), *expected) << text;
    }
  }
}

// The check that remembers the last valid second judges every text as
// is_writer_timestamp does, above all those that start with that second.
TEST(EntryTest, TimestampCheckWithMemoryJudgesAsTheRule) {
  WriterTimestampCheck check;
  const std::string second = "2026-12-08T03:26:14";
  const char* const after_second[] = {"+00:00", ".5+00:00", ".500+00:00", ".000+00:00", "Z", "",
                                      "+00:00al", "5+00:00", ".123456+00:00", ".120000+00:00",
                                      "+00:00+00:00", ".123456789+00:00", ".1234+00:00"};
  for (const char* rest : after_second) {
    ASSERT_TRUE(check(second + ".250+00:00"));
    EXPECT_EQ(check(second + rest), is_writer_timestamp(second + rest)) << rest;
  }
  std::mt19937_64 random(8);
  for (int round = 0; round < 20000; ++round) {
    const auto seconds = static_cast<std::int64_t>(random() % 800'000'000'000ULL) - 400'000'000'000LL;
    const auto nanos = static_cast<std::uint32_t>(random() % 1'000'000'000);
    std::string text = format_ledger_timestamp(seconds, nanos);
    ASSERT_TRUE(check(text)) << text;
    mutate_one_byte(text, random, round);
    ASSERT_EQ(check(text), is_writer_timestamp(text)) << text;
  }
}

TEST(EntryTest, DeltaLayouts) {
  const struct {
    double value;
    const char* expected;
  } cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1, "0.1"},
      {0.001234, "0.001234"},
      {0.00001, "0.00001"},
      {-2.5, "-2.5"},
      {12.34, "12.34"},
      {123456.789, "123456.789"},
      {1234567890123456.8, "1234567890123456.8"},
      {1.0, "1.0"},
      {100.0, "100.0"},
      {1e15, "1000000000000000.0"},
      {1e-6, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {5e-324, "5e-324"},
      {1e16, "1e+16"},
      {1.2345678901234567e19, "1.2345678901234567e+19"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {-1.7976931348623157e308, "-1.7976931348623157e+308"},
      {0.30000000000000004, "0.30000000000000004"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const auto& c : cases) EXPECT_EQ(delta_text(c.value), c.expected) << c.expected;
}

// Whatever the bits, the text reads back as exactly the same double and has
// no more digits than the shortest round-trip form.
TEST(EntryTest, DeltaTextRoundTripsForRandomBits) {
  std::mt19937_64 random(20261210);
  for (int i = 0; i < 200'000; ++i) {
    const double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    const std::string text = delta_text(value);
    double back = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(ec, std::errc()) << text;
    ASSERT_EQ(ptr, text.data() + text.size()) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << text;
  }
}

// Decimals of few digits (amounts, counts, quarter steps) take a shorter road
// to their digits than other doubles: the text still reads back exactly and
// carries the same significant digits as the shortest round-trip form.
TEST(EntryTest, DeltaTextOfShortDecimalsHasTheShortestDigits) {
  // The significant digits of a text: no sign, point, exponent or zeros
  // before the first or after the last nonzero digit.
  const auto significant = [](std::string_view text) {
    std::string out;
    for (char c : text.substr(0, text.find_first_of("eE"))) {
      if (std::isdigit(static_cast<unsigned char>(c)) && !(out.empty() && c == '0')) out += c;
    }
    while (out.size() > 1 && out.back() == '0') out.pop_back();
    return out;
  };
  std::mt19937_64 random(99);
  constexpr double kPowers[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
                                1e12, 1e13, 1e14, 1e15, 1e16, 1e18, 1e20, 1e22};
  for (int i = 0; i < 200'000; ++i) {
    const std::uint64_t digits = random() % (std::uint64_t{1} << (1 + random() % 53));
    const double power = kPowers[random() % std::size(kPowers)];
    double value = static_cast<double>(digits) / power;
    if (i % 3 == 0) value = static_cast<double>(digits) * power;
    if (i % 2 == 0) value = -value;
    const std::string text = delta_text(value);
    char shortest[64];
    const char* end = std::to_chars(shortest, shortest + sizeof shortest, value, std::chars_format::scientific).ptr;
    ASSERT_EQ(significant(text), significant(std::string_view(shortest, static_cast<std::size_t>(end - shortest))))
        << text;
    double back = 0;
    std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << text;
  }
}

// The commit path's timestamps share the text of each second: through
// repeats, changes of second, day, year, sign and every fraction form.
TEST(EntryTest, TimestampWriterWritesWhatTheFormatterWrites) {
  const std::pair<std::int64_t, std::uint32_t> instants[] = {
      {1'765'000'000, 0}, {1'765'000'000, 500'000'000}, {1'765'000'000, 123'456'789},
      {1'765'000'001, 120'000}, {1'765'000'001, 1}, {1'765'000'001, 0}, {1'764'999'999, 5},
      {86'399, 999'999'999}, {86'400, 0}, {-1, 1'000}, {-62'135'596'801, 7},
      {253'402'300'800, 0}, {253'402'300'800, 250'000'000}, {0, 0}, {0, 0},
      {std::numeric_limits<std::int64_t>::min(), 999'000'000},
      {std::numeric_limits<std::int64_t>::max(), 3}};
  TimestampWriter writer;
  for (const auto& [seconds, nanos] : instants) {
    char out[kMaxTimestampLength];
    const std::size_t length = writer.write(out, seconds, nanos);
    EXPECT_EQ(std::string_view(out, length), format_ledger_timestamp(seconds, nanos)) << seconds;
  }
}

// The scan for bytes that end a plain run (shared by the writer and the
// parser) reads 16 bytes at a time and the last 16 overlapping: every length
// around those steps, the byte at every place, or none.
TEST(EntryTest, SpecialBytesAreFoundAtEveryPosition) {
  for (std::size_t size = 0; size <= 50; ++size) {
    for (char special : {'"', '\\', '\x01', '\x1f'}) {
      for (std::size_t at = 0; at <= size; ++at) {
        std::string text(size, 'a');
        for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(i % 2 ? ' ' : '\x7f');
        if (at < size) text[at] = special;
        const char* found = detail::find_special(text.data(), text.data() + size);
        ASSERT_EQ(static_cast<std::size_t>(found - text.data()), at) << size << " " << at;
      }
    }
  }
}

TEST(EntryTest, TextEscapes) {
  LogEntry entry{0, "t", "p", "", 1.0, "", "s"};
  const struct {
    std::string actor;
    std::string written;
  } cases[] = {
      {"q\"b\\t\t\x01", R"(q\"b\\t\t\u0001)"},
      {std::string("\0\x1f\x7f", 3), "\\u0000\\u001f\x7f"},
      {"\b\f\n\r", R"(\b\f\n\r)"},
      {"caf\xc3\xa9/x", "caf\xc3\xa9/x"},
      {"line one\nline two", R"(line one\nline two)"},
      {"", ""},
  };
  for (const auto& c : cases) {
    entry.actor = c.actor;
    EXPECT_EQ(entry_to_json(entry),
              R"({"index":0,"timestamp":"t","prev_hash":"p","actor":")" + c.written +
                  R"(","delta_i":1.0,"payload":"","signature":"s"})");
  }
}

TEST(EntryTest, LargestIndexIsWrittenWithAllDigits) {
  const LogEntry entry{std::numeric_limits<std::uint64_t>::max(), "t", "p", "a", 1.0, "x", "s"};
  EXPECT_TRUE(entry_to_json(entry).starts_with(R"({"index":18446744073709551615,)"));
}

TEST(EntryTest, DigestCoversTheJoinedBytesOnly) {
  // Moving a character from the end of the timestamp to the start of the actor
  // changes nothing the digest sees.
  EXPECT_EQ(digest("h", "2026Z", "bob", 2.0, "p"), digest("h", "2026", "Zbob", 2.0, "p"));
  // Empty texts add nothing: the input is then prev_hash, timestamp and the delta bytes.
  EXPECT_EQ(digest("h", "t", "", 2.0, ""), digest("", "ht", "", 2.0, ""));
  // The delta is hashed by its bits: zero and negative zero differ.
  EXPECT_NE(digest("h", "t", "a", 0.0, "p"), digest("h", "t", "a", -0.0, "p"));
  // A NaN's payload bits are covered too.
  EXPECT_NE(digest("h", "t", "a", std::bit_cast<double>(0x7FF8000000000001ULL), "p"),
            digest("h", "t", "a", std::bit_cast<double>(0x7FF8000000000002ULL), "p"));
}

// SHA-256 of the joined inputs in one call, written with printf: a reference
// that shares nothing with the hasher but the library.
std::string reference_digest(std::string_view prev, std::string_view ts, std::string_view actor,
                             double delta, std::string_view payload) {
  std::uint64_t bits = std::bit_cast<std::uint64_t>(delta);
  std::string joined = std::string(prev) + std::string(ts) + std::string(actor);
  for (int shift = 56; shift >= 0; shift -= 8) joined.push_back(static_cast<char>(bits >> shift));
  joined += payload;
  unsigned char raw[32];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(joined.data(), joined.size(), raw, &length, EVP_sha256(), nullptr), 1);
  std::string hex;
  char pair[3];
  for (unsigned char byte : raw) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

TEST(EntryTest, DigestEqualsSha256OfTheJoinedBytesAtEverySize) {
  // Short inputs are hashed from one gathered buffer, long ones piece by
  // piece: sizes on both sides of that boundary, each with its hex digits.
  EntryHasher hasher;
  const std::string prev(64, 'e');
  const std::string ts = "2026-01-02T03:04:05.123+00:00";
  constexpr std::size_t kSizes[] = {0, 1, 63, 64, 300, 400, 405, 406, 407, 408, 500, 1000, 5000};
  for (std::size_t size : kSizes) {
    std::string payload(size, 'p');
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<char>('a' + i % 26);
    const std::string expected = reference_digest(prev, ts, "actor", -2.5, payload);
    auto got = hasher.digest(prev, ts, "actor", -2.5, payload);
    ASSERT_TRUE(got);
    EXPECT_EQ(std::string_view(got->data(), got->size()), expected) << size;
  }
}

TEST(EntryTest, IndexChangesTheLineButNotTheSignature) {
  const std::string sig = digest("h", "t", "a", 1.0, "p");
  LogEntry first{0, "t", "h", "a", 1.0, "p", sig};
  LogEntry second = first;
  second.index = 5;
  EXPECT_NE(entry_to_json(first), entry_to_json(second));
  EXPECT_EQ(digest(second.prev_hash, second.timestamp, second.actor, second.delta_i, second.payload), sig);
}

TEST(EntryTest, NonFiniteDeltaIsWrittenAsNullButHashedByItsBits) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::string sig = digest("h", "t", "a", nan, "p");
  EXPECT_EQ(sig.size(), kSignatureLength);
  EXPECT_NE(sig, digest("h", "t", "a", std::numeric_limits<double>::infinity(), "p"));
  const LogEntry entry{0, "t", "h", "a", nan, "p", sig};
  EXPECT_NE(entry_to_json(entry).find(R"("delta_i":null,)"), std::string::npos);
}

}  // namespace
}  // namespace ledger
