// Runs the public JSON conformance corpus through the entry parser: each text
// is embedded as the value of a member of another name inside an otherwise
// valid entry line, where it must be skipped if it is valid JSON and refused
// if it is not. Texts that are not UTF-8 are left out: the line reader refuses
// such lines before they reach the parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
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

// Implementation-defined texts: the parser's verdict on each, as it stands.
// Skipped values do not check number sizes or surrogate pairing, so those are
// accepted; a byte order mark is not JSON white space, so the text that starts
// with one is refused. A text missing from either side fails too, so the table
// stays the whole list.
TEST_F(ConformanceTest, ImplementationDefinedTextsKeepTheirVerdicts) {
  const std::map<std::string, std::string> expected = {
      {"i_number_double_huge_neg_exp.json", "accepted"},
      {"i_number_huge_exp.json", "accepted"},
      {"i_number_neg_int_huge_exp.json", "accepted"},
      {"i_number_pos_double_huge_exp.json", "accepted"},
      {"i_number_real_neg_overflow.json", "accepted"},
      {"i_number_real_pos_overflow.json", "accepted"},
      {"i_number_real_underflow.json", "accepted"},
      {"i_number_too_big_neg_int.json", "accepted"},
      {"i_number_too_big_pos_int.json", "accepted"},
      {"i_number_very_big_negative_int.json", "accepted"},
      {"i_object_key_lone_2nd_surrogate.json", "accepted"},
      {"i_string_1st_surrogate_but_2nd_missing.json", "accepted"},
      {"i_string_1st_valid_surrogate_2nd_invalid.json", "accepted"},
      {"i_string_incomplete_surrogate_and_escape_valid.json", "accepted"},
      {"i_string_incomplete_surrogate_pair.json", "accepted"},
      {"i_string_incomplete_surrogates_escape_valid.json", "accepted"},
      {"i_string_invalid_lonely_surrogate.json", "accepted"},
      {"i_string_invalid_surrogate.json", "accepted"},
      {"i_string_inverted_surrogates_U+1D11E.json", "accepted"},
      {"i_string_lone_second_surrogate.json", "accepted"},
      {"i_structure_500_nested_arrays.json", "accepted"},
      {"i_structure_UTF-8_BOM_empty_object.json", "refused"},
  };
  std::map<std::string, std::string> verdicts;
  for (const auto& s : samples('i')) verdicts[s.name] = parses_when_embedded(s.text) ? "accepted" : "refused";

  for (const auto& [name, verdict] : expected) {
    const auto found = verdicts.find(name);
    if (found == verdicts.end()) {
      ADD_FAILURE() << name << " is not in the corpus (or is not UTF-8)";
    } else {
      EXPECT_EQ(found->second, verdict) << name;
    }
  }
  for (const auto& [name, verdict] : verdicts) {
    if (!expected.contains(name)) ADD_FAILURE() << name << " (" << verdict << ") is not in the table";
  }
}

}  // namespace
}  // namespace ledger
