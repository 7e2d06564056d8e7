// Runs the public JSON conformance corpus through the entry parser: each text
// is embedded as the value of a member of another name inside an otherwise
// valid entry line, where it must be skipped if it is valid JSON and refused
// if it is not. Texts that are not UTF-8 are left out: the line reader refuses
// such lines before they reach the parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ledger/parser.h"
#include "ledger/reader.h"
#include "test_support.h"

namespace ledger {
namespace {

namespace fs = std::filesystem;

fs::path corpus_dir() {
  if (const char* dir = std::getenv("LEDGER_JSON_SUITE_DIR")) return dir;
  return LEDGER_JSON_SUITE_DIR;
}

struct Sample {
  std::string name;
  std::string text;
};

std::vector<Sample> samples(char prefix) {
  std::vector<Sample> result;
  for (const auto& file : fs::directory_iterator(corpus_dir())) {
    const std::string name = file.path().filename().string();
    if (name[0] != prefix || name[1] != '_') continue;
    std::string text = testing::read_file(file.path().string());
    if (!is_valid_utf8(text)) continue;
    result.push_back({name, std::move(text)});
  }
  std::sort(result.begin(), result.end(), [](const Sample& a, const Sample& b) { return a.name < b.name; });
  return result;
}

bool parses_when_embedded(const std::string& text) {
  const LogEntry entry{7, "t", "p", "a", 1.5, "x", "s"};
  const std::string line = entry_to_json(entry);
  return parse_log_entry("{\"other\":" + text + "," + line.substr(1)).has_value();
}

class ConformanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The corpus ships with the repository: a missing one is a broken checkout.
    ASSERT_TRUE(fs::is_directory(corpus_dir())) << "JSON corpus not found at " << corpus_dir();
  }
};

TEST_F(ConformanceTest, AcceptedTextsAreSkipped) {
  const auto accepted = samples('y');
  EXPECT_GE(accepted.size(), 90u);
  for (const auto& s : accepted) EXPECT_TRUE(parses_when_embedded(s.text)) << s.name;
}

TEST_F(ConformanceTest, RejectedTextsFailTheLine) {
  const auto rejected = samples('n');
  EXPECT_GE(rejected.size(), 170u);
  for (const auto& s : rejected) EXPECT_FALSE(parses_when_embedded(s.text)) << s.name;
}

// Implementation-defined texts: recorded, not asserted. Skipped values do not
// check number sizes or surrogate pairing, so all of these are accepted.
TEST_F(ConformanceTest, ImplementationDefinedTextsAreReported) {
  for (const auto& s : samples('i')) {
    RecordProperty(s.name, parses_when_embedded(s.text) ? "accepted" : "refused");
    std::printf("%-45s %s\n", s.name.c_str(), parses_when_embedded(s.text) ? "accepted" : "refused");
  }
}

}  // namespace
}  // namespace ledger
