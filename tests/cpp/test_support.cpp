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

#include <random>

#include "ledger/parser.h"
#include "ledger/reader.h"

namespace ledger::testing {

Result<ChainHead> forward_scan_chain_head(const std::string& path) {
  ChainHead found{std::string(GENESIS_BLOCK_HASH), 0};
  if (!platform::exists(path)) return found;
  auto reader = LedgerLineReader::open(path);
  if (!reader) return fail(std::move(reader).error());
  // A last line cut inside its last character is skipped like any torn line:
  // its end is the start of a sequence that some continuation bytes complete.
  const std::string contents = read_file(path);
  const std::size_t newline = contents.rfind('\n');
  const std::size_t last_start = newline == std::string::npos ? 0 : newline + 1;
  const std::string_view last_line = std::string_view(contents).substr(last_start);
  bool torn_inside_character = false;
  for (std::size_t cut = 1; cut <= 3 && cut <= last_line.size(); ++cut) {
    const std::string_view kept = last_line.substr(0, last_line.size() - cut);
    const std::string tail(last_line.substr(last_line.size() - cut));
    if (!is_valid_utf8(kept) || is_valid_utf8(tail)) continue;
    for (int next = 0x80; next <= 0xBF && !torn_inside_character; ++next) {
      std::string completed = tail + static_cast<char>(next);
      while (completed.size() < 4 && !is_valid_utf8(completed)) completed.push_back('\x80');
      torn_inside_character = is_valid_utf8(completed);
    }
  }
  for (;;) {
    auto line = reader->next_line();
    if (!line) {
      if (torn_inside_character && reader->line_offset() == last_start) return found;
      return fail(std::move(line).error());
    }
    if (!line->has_value()) return found;
    if (is_blank_line(**line)) continue;
    auto entry = parse_log_entry(**line);
    if (entry) found = {entry->signature, entry->index + 1};
  }
}

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
