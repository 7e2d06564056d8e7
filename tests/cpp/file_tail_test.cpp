// Line boundaries found with positioned reads, around the edges of the file
// and across the chunks they read in.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "ledger/platform.h"
#include "test_support.h"

namespace ledger {
namespace {

class FileTailTest : public testing::ScratchDir {};

TEST_F(FileTailTest, LineBoundaries) {
  const std::string long_line(10000, 'x');  // spans several read chunks
  const std::string contents = "ab\n\ncd\n" + long_line + "\ntail";
  testing::write_file(path("f"), contents);
  auto file = platform::open_regular_for_read(path("f")).value();
  const std::uint64_t size = contents.size();
  const std::uint64_t long_start = 7;
  const std::uint64_t tail_start = long_start + long_line.size() + 1;

  const struct {
    std::uint64_t end;
    bool line_ends;
  } ends[] = {{1, false}, {3, true}, {4, true}, {7, true}, {tail_start - 1, false}, {tail_start, true},
              {size, false}, {size + 1, false}, {size + 100, false}};
  for (const auto& c : ends) EXPECT_EQ(platform::line_ends_at(file, c.end).value(), c.line_ends) << c.end;

  const struct {
    std::uint64_t end;
    std::uint64_t start;
  } before[] = {{0, 0}, {1, 0}, {3, 3}, {4, 4}, {6, 4}, {tail_start - 1, long_start},
                {tail_start - 2, long_start}, {tail_start, tail_start}, {size, tail_start}};
  for (const auto& c : before) EXPECT_EQ(platform::line_start_before(file, c.end).value(), c.start) << c.end;

  const struct {
    std::uint64_t offset;
    std::uint64_t start;
  } after[] = {{0, 0}, {1, 3}, {3, 3}, {4, 4}, {5, long_start}, {long_start + 1, tail_start},
               {tail_start, tail_start}, {tail_start + 1, size}, {size, size}};
  for (const auto& c : after) {
    EXPECT_EQ(platform::line_start_at_or_after(file, c.offset).value(), c.start) << c.offset;
  }

  EXPECT_TRUE(platform::ends_inside_line(file).value());
  char out[4];
  EXPECT_TRUE(platform::read_exactly(file, size - 4, out, 4));
  EXPECT_EQ(std::string(out, 4), "tail");
  auto past = platform::read_exactly(file, size - 3, out, 4);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().message(), "the file became shorter while it was read");
}

TEST_F(FileTailTest, EndsInsideLine) {
  const struct {
    const char* contents;
    bool inside;
  } cases[] = {{"", false}, {"\n", false}, {"a\n", false}, {"a", true}, {"a\nb\r", true}};
  for (const auto& c : cases) {
    testing::write_file(path("f"), c.contents);
    auto file = platform::open_regular_for_read(path("f")).value();
    EXPECT_EQ(platform::ends_inside_line(file).value(), c.inside) << c.contents;
  }
}

}  // namespace
}  // namespace ledger
