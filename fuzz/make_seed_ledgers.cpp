// Writes the seed ledgers of the file fuzzers into the directory given as the
// only argument: real chains made by the recorder with a fixed clock, and
// copies of them with the line layouts that readers must accept.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "file_support.h"
#include "ledger/entry.h"
#include "ledger/reader.h"
#include "ledger/recorder.h"

namespace {

struct Commit {
  std::string actor;
  double delta;
  std::string payload;
};

// Starts at 2026-01-02T03:04:05Z and moves on by 1.5 ms per commit, so the
// timestamps cycle through the fraction forms.
ledger::platform::UtcTime fixed_clock() {
  static std::int64_t ticks = 0;  // 100 ns units
  const std::int64_t now = 1767323045LL * 10'000'000 + ticks;
  ticks += 15'000;
  return {now / 10'000'000, static_cast<std::uint32_t>(now % 10'000'000) * 100};
}

using ledger::testing::read_file;
using ledger::testing::write_file;

// Commits `commits` to a new ledger at `path` whose first index is `first_index`;
// returns its bytes.
std::string make_ledger(const std::filesystem::path& path, const std::vector<Commit>& commits,
                        std::uint64_t first_index = 0) {
  std::filesystem::remove(path);
  ledger::Recorder recorder(ledger::create_recorder_state(
                                path.string(), std::string(ledger::GENESIS_BLOCK_HASH), first_index),
                            &fixed_clock);
  for (const Commit& commit : commits) {
    auto signature = recorder.commit_truth(commit.actor, commit.delta, commit.payload);
    if (!signature) {
      std::fprintf(stderr, "commit failed: %s\n", signature.error().message().c_str());
      std::exit(1);
    }
  }
  return read_file(path);
}

// `ledger` with "\r\n" line ends, blank lines of several kinds between the
// entries and no line feed after the last entry.
std::string with_mixed_layout(std::string_view ledger) {
  std::string out = " \t\r\n";
  for (std::size_t at = 0; at < ledger.size();) {
    const std::size_t end = ledger.find('\n', at);
    out.append(ledger.substr(at, end - at));
    at = end + 1;
    if (at < ledger.size()) out += "\r\n\xE3\x80\x80\n\n";  // U+3000 line, empty line
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);

  const std::vector<Commit> plain = {
      {"alice", 1.5, "hello"}, {"bob", -2.25, ""}, {"", 0.0, "third entry"}};
  const std::string chain = make_ledger(dir / "chain.jsonl", plain);
  write_file(dir / "chain-mixed-layout.jsonl", with_mixed_layout(chain));

  // Texts that need escapes or multi-byte characters, and deltas at the edges
  // of the double range, from an index near the top so the count wraps.
  const std::vector<Commit> unusual = {
      {"quote \" backslash \\ tab \t nul \x01", -0.0, "line\nfeed\r\nand \xC3\xA9 \xF0\x9F\x98\x80"},
      {"\xE2\x80\xA8", 5e-324, "\x7F/"},
      {"max", std::numeric_limits<double>::max(), "0.1"},
      {"big", 9007199254740993.0, "1e16"}};
  const std::string escapes = make_ledger(dir / "chain-escapes.jsonl", unusual, ~std::uint64_t{0} - 2);

  // A chain followed by a line cut inside a four-byte character, as a writer
  // stopped in the middle of a line leaves it.
  const std::size_t emoji = escapes.find("\xF0\x9F\x98\x80");
  write_file(dir / "chain-torn.jsonl", chain + escapes.substr(0, emoji + 2));

  // A line several times longer than the reader's buffer, between short ones.
  const std::vector<Commit> long_line = {
      {"a", 1.0, "short"},
      {"b", 0.1, std::string(2 * ledger::kReadBufferSize + 100, 'x') + "\xE2\x82\xAC"},
      {"c", 1e-7, "after"}};
  make_ledger(dir / "chain-long-line.jsonl", long_line);

  // A chain followed by many lines that are no entries (blank ones, junk
  // without brackets, lines with brackets that do not parse), which the
  // reopen scan passes over to find the last entry.
  std::string junk;
  for (int i = 0; i < 200; ++i) junk += i % 3 == 0 ? "\n" : i % 3 == 1 ? "x\r\n" : "{[\n";
  write_file(dir / "chain-junk-tail.jsonl", chain + junk);

  // Bytes that are not UTF-8, then a chain whose last line has no line feed:
  // a recorder cannot read it, and must still end that line before its entry.
  write_file(dir / "not-utf8-then-chain.jsonl", "\xFF\n" + chain.substr(0, chain.size() - 1));
  return 0;
}
