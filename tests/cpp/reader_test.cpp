#include "ledger/reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace ledger {
namespace {

using testing::write_file;

class ReaderTest : public testing::ScratchDir {
 protected:
  // All lines of a file with these bytes, or the read failure's message as the
  // last element, prefixed with "!".
  std::vector<std::string> lines_of(std::string_view bytes) {
    write_file(path("f"), bytes);
    auto reader = LedgerLineReader::open(path("f"));
    EXPECT_TRUE(reader.has_value());
    std::vector<std::string> lines;
    for (;;) {
      auto line = reader->next_line();
      if (!line) {
        lines.push_back("!" + line.error().message());
        break;
      }
      if (!line->has_value()) break;
      lines.emplace_back(**line);
    }
    // End of file stays end of file.
    if (lines.empty() || lines.back()[0] != '!') {
      auto again = reader->next_line();
      EXPECT_TRUE(again.has_value() && !again->has_value());
    }
    return lines;
  }
};

TEST_F(ReaderTest, SplitsLinesAtLineFeeds) {
  using V = std::vector<std::string>;
  constexpr std::size_t kHalf = kReadBufferSize * 5 / 8;  // three such lines span two refills
  const struct {
    const char* name;
    std::string bytes;
    V expected;
  } cases[] = {
      {"CRLF, LF and no terminator", "A\r\nB\nC", V{"A", "B", "C"}},
      {"final line feed adds no line", "A\nB\n", V{"A", "B"}},
      {"only one CR removed", "A\r\r\n", V{"A\r"}},
      {"lone CR does not end a line", "A\rB\n", V{"A\rB"}},
      {"last line keeps its CR", "A\nB\r", V{"A", "B\r"}},
      {"empty lines", "\n\r\n\n", V{"", "", ""}},
      {"empty file", "", V{}},
      {"invalid UTF-8 on line three", "one\ntwo\nth\xFFree\nfour\n",
       V{"one", "two", "!stream did not contain valid UTF-8"}},
      {"truncated multi-byte character at the end", "ok\n\xE2\x82", V{"ok", "!stream did not contain valid UTF-8"}},
      {"invalid byte in a later buffer", std::string(kHalf, 'a') + "\n" + std::string(kHalf, 'b') + "\n" +
                                             std::string(kHalf, 'c') + "\xC0\n",
       V{std::string(kHalf, 'a'), std::string(kHalf, 'b'), "!stream did not contain valid UTF-8"}},
      {"sequence cut by a buffer end and completed", std::string(kReadBufferSize - 1, 'd') + "\xC3\xA9\n",
       V{std::string(kReadBufferSize - 1, 'd') + "\xC3\xA9"}},
      {"sequence cut by a buffer end and not completed", std::string(kReadBufferSize - 1, 'e') + "\xC3\n",
       V{"!stream did not contain valid UTF-8"}},
  };
  for (const auto& c : cases) EXPECT_EQ(lines_of(c.bytes), c.expected) << c.name;
}

TEST_F(ReaderTest, LinesSpanningBufferRefills) {
  // Lines of lengths around the buffer size, and a multi-byte character cut by
  // a refill, arrive whole.
  const std::size_t size = kReadBufferSize;
  std::vector<std::string> expected;
  std::string bytes;
  for (std::size_t length : {size - 2, size - 1, size, size + 1, 3 * size + 7}) {
    std::string line(length, 'x');
    line.replace(length / 2, 3, "\xE2\x82\xAC");  // a euro sign somewhere inside
    bytes += line + "\r\n";
    expected.push_back(line);
  }
  // A line whose multi-byte character straddles the first buffer boundary.
  std::string straddle(size - 1, 'y');
  straddle += "\xC3\xA9";
  expected.insert(expected.begin(), straddle);
  bytes = straddle + "\n" + bytes;
  EXPECT_EQ(lines_of(bytes), expected);
}

TEST_F(ReaderTest, HugeLineIsReadWhole) {
  std::string line(200u << 20, 'z');  // 200 MiB in one line
  write_file(path("f"), line + "\nnext");
  auto reader = LedgerLineReader::open(path("f"));
  ASSERT_TRUE(reader.has_value());
  auto first = reader->next_line();
  ASSERT_TRUE(first.has_value() && first->has_value());
  EXPECT_EQ((*first)->size(), line.size());
  auto second = reader->next_line();
  ASSERT_TRUE(second.has_value() && second->has_value());
  EXPECT_EQ(**second, "next");
  EXPECT_EQ(reader->line_offset(), line.size() + 1);
}

TEST_F(ReaderTest, OpenRefusesWhatIsNotARegularFile) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);  // would block if opened for reading
  const struct {
    std::string path;
    std::string message;
  } cases[] = {
      {path("missing"), "No such file or directory (os error 2)"},
      {dir_.string(), "Is a directory (os error 21)"},
      {path("fifo"), "not a regular file"},
      {"/dev/zero", "not a regular file"},
      {path("f") + std::string(1, '\0') + "x", "path contains a NUL byte"},
  };
  write_file(path("f"), "content\n");
  for (const auto& c : cases) {
    auto reader = LedgerLineReader::open(c.path);
    ASSERT_FALSE(reader.has_value()) << c.path;
    EXPECT_EQ(reader.error().message(), c.message) << c.path;
  }
}

TEST(BlankLineTest, WhiteSpaceSet) {
  const struct {
    std::string line;
    bool blank;
  } cases[] = {
      {"", true},
      {"   ", true},
      {"\t\n\v\f\r ", true},
      {"\xE3\x80\x80", true},                      // U+3000
      {"\xC2\x85\xC2\xA0\xE1\x9A\x80", true},      // U+0085, U+00A0, U+1680
      {"\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F", true},
      {"\xE2\x80\x8B", false},                     // U+200B zero width space
      {"\xEF\xBB\xBF", false},                     // U+FEFF byte order mark
      {"\xE1\xA0\x8E", false},                     // U+180E, no longer white space
      {"\xC2\xA0{}", false},
      {" x ", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_blank_line(c.line), c.blank) << c.line;
}

TEST(Utf8Test, Validity) {
  const struct {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"plain ascii text long enough for words", true},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", true},
      {"\xC0\xAF", false},          // overlong slash
      {"\xE0\x80\xAF", false},      // overlong
      {"\xED\xA0\x80", false},      // surrogate U+D800
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\x80", false},              // lone continuation
      {"abc\xC3", false},           // cut short
      {"\xFF", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
}

}  // namespace
}  // namespace ledger
