#include "ledger/path.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

namespace ledger {
namespace {

using Kind = PathComponent::Kind;
using testing::write_file;

TEST(PathComponentsTest, SplitsByComponent) {
  using C = std::vector<PathComponent>;
  const PathComponent root{Kind::kRoot, {}};
  const PathComponent cur{Kind::kCurrent, {}};
  const PathComponent up{Kind::kParent, {}};
  auto name = [](std::string_view n) { return PathComponent{Kind::kNormal, n}; };
  const struct {
    std::string path;
    C expected;
  } cases[] = {
      {"", C{}},
      {"/", C{root}},
      {"//a//b/", C{root, name("a"), name("b")}},
      {"a/./b/.", C{name("a"), name("b")}},
      {"./a", C{cur, name("a")}},
      {"././a", C{cur, name("a")}},
      {"/./a", C{root, name("a")}},
      {".", C{cur}},
      {"a/../b", C{name("a"), up, name("b")}},
      {"..", C{up}},
      {"...", C{name("...")}},
  };
  for (const auto& c : cases) EXPECT_EQ(path_components(c.path), c.expected) << c.path;
}

class ValidatePathTest : public testing::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    std::filesystem::create_directory(dir_ / "logs");
    write_file(path("notes.txt"), "x");
    write_file(path("logs/inside.jsonl"), "x");
    outside_ = dir_.parent_path() / ("outside-" + dir_.filename().string());
    std::filesystem::create_directory(outside_);
    write_file((outside_ / "file.jsonl").string(), "x");
    std::filesystem::create_symlink(outside_ / "file.jsonl", dir_ / "logs/out.jsonl");
    std::filesystem::create_symlink(dir_ / "logs/inside.jsonl", dir_ / "in-link.jsonl");
    std::filesystem::create_symlink(dir_ / "loop", dir_ / "loop");
  }
  void TearDown() override {
    std::filesystem::remove_all(outside_);
    ScratchDir::TearDown();
  }
  std::filesystem::path outside_;
};

TEST_F(ValidatePathTest, Resolutions) {
  const std::string d = dir_.string();
  const struct {
    std::string input;
    std::string expected;  // the resolved path, or the failure message
    bool ok;
  } cases[] = {
      {"ledger.jsonl", "Parent directory does not exist or invalid", false},
      {"./new.jsonl", d + "/new.jsonl", true},
      {"logs/new.jsonl", d + "/logs/new.jsonl", true},
      {"logs//new.jsonl/", d + "/logs/new.jsonl", true},
      {d + "/logs/new.jsonl", d + "/logs/new.jsonl", true},
      {"logs/../new.jsonl", d + "/new.jsonl", true},
      {"nosuch/new.jsonl", "Parent directory does not exist or invalid", false},
      {"nosuch/..", "Parent directory does not exist or invalid", false},
      {"../new.jsonl", "Path traversal detected", false},
      {(outside_ / "new.jsonl").string(), "Path traversal detected", false},
      {(outside_ / "file.jsonl").string(), "Path traversal detected", false},
      {"/", "Path traversal detected", false},
      {"logs/out.jsonl", "Path traversal detected", false},
      {"in-link.jsonl", d + "/logs/inside.jsonl", true},
      {"notes.txt", d + "/notes.txt", true},
      {".", d, true},
      {"./", d, true},
      {"logs/..", d, true},
      {"", "Invalid filename", false},
      {"logs/new/..", "Parent directory does not exist or invalid", false},
      {"notes.txt/new.jsonl", d + "/notes.txt/new.jsonl", true},
      {"loop", "Parent directory does not exist or invalid", false},
      {"./loop/x", "Parent directory does not exist or invalid", false},
      {std::string("a\0b", 3), "Parent directory does not exist or invalid", false},
      {std::string("logs\0/x", 7), "Parent directory does not exist or invalid", false},
      {std::string("logs/a\0b", 8), d + std::string("/logs/a\0b", 9), true},
      {"logs/" + std::string(300, 'n'), d + "/logs/" + std::string(300, 'n'), true},
  };
  for (const auto& c : cases) {
    auto result = validate_log_path(c.input);
    if (c.ok) {
      ASSERT_TRUE(result.has_value()) << c.input << ": " << result.error().message();
      EXPECT_EQ(*result, c.expected) << c.input;
    } else {
      ASSERT_FALSE(result.has_value()) << c.input << " gave " << *result;
      EXPECT_EQ(result.error().message(), c.expected) << c.input;
    }
  }
}

// Text with U+FFFD in place of the bad bytes would name another file, so a
// resolved path that is not UTF-8 is refused instead.
TEST_F(ValidatePathTest, ResolvedPathThatIsNotUtf8IsRefused) {
  const std::filesystem::path latin1 = dir_ / "caf\xE9";
  std::filesystem::create_directory(latin1);
  write_file((latin1 / "old.jsonl").string(), "x");
  std::filesystem::current_path(latin1);
  for (const char* input : {"./new.jsonl", "old.jsonl", "."}) {
    auto result = validate_log_path(input);
    ASSERT_FALSE(result.has_value()) << input;
    EXPECT_EQ(result.error().message(), kPathNotUtf8) << input;
  }
}

}  // namespace
}  // namespace ledger
