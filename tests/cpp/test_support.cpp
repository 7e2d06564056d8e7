#include "test_support.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
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

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, std::string_view contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

std::vector<std::string> split_lines(const std::string& contents) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(contents);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

}  // namespace ledger::testing
