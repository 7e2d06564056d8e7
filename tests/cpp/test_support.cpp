#include "test_support.h"

#include <cstdlib>
#include <sstream>

namespace ledger::testing {

void ScratchDir::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ledger-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  dir_ = std::filesystem::canonical(pattern);
  previous_cwd_ = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
}

void ScratchDir::TearDown() {
  std::filesystem::current_path(previous_cwd_);
  std::error_code ignored;
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(dir_, ignored);
}

std::string ScratchDir::path(std::string_view name) const { return (dir_ / name).string(); }

std::vector<std::string> split_lines(const std::string& contents) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(contents);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

}  // namespace ledger::testing

#include <random>

#include "ledger/parser.h"
#include "ledger/reader.h"

namespace ledger::testing {

std::string random_ledger_bytes(std::uint64_t seed) {
  std::mt19937_64 random(seed);
  auto pick = [&](std::uint64_t n) { return static_cast<std::size_t>(random() % n); };
  std::string out;
  const std::size_t lines = pick(12);
  for (std::size_t i = 0; i < lines; ++i) {
    const LogEntry entry{random() % 5 == 0 ? ~0ULL : random() % 1000, "t", "p", "a", 1.0,
                         std::string(pick(4) == 0 ? 9000 + pick(80000) : pick(50), 'x'),
                         "sig" + std::to_string(i)};
    std::string line = entry_to_json(entry);
    switch (pick(10)) {
      case 0: line = line.substr(0, pick(line.size())); break;             // cut short
      case 1: line = std::string(pick(4), ' '); break;                     // blank
      case 2: line.insert(pick(line.size() + 1), "\xE3\x80\x80"); break;   // U+3000 somewhere
      case 3: line.insert(pick(line.size() + 1), 1, static_cast<char>(0x80 + pick(0x80))); break;
      case 4: line += "\r"; break;
      case 5: line.insert(pick(line.size() + 1), "\xC3\xA9"); break;       // valid two-byte character
      default: break;
    }
    out += line;
    switch (pick(6)) {
      case 0: out += "\r"; break;
      case 1: out += "\r\n"; break;
      case 2: if (i + 1 == lines) break; [[fallthrough]];
      default: out += "\n";
    }
  }
  return out;
}

}  // namespace ledger::testing
