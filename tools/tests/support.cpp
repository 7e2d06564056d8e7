#include "support.h"

#include "cli/command.h"
#include "ledger/digest.h"

#include <stdio.h>
#include <stdlib.h>

#include <ostream>

namespace ledger::cli::testing {
Ran run_cli(const std::vector<std::string>& args, bool terminal) {
  Capture out, err;
  const std::vector<std::string_view> views(args.begin(), args.end());
  const int status = run(views, Io{out.file(), err.file(), terminal});
  return {status, out.close(), err.close()};
}

using audit::Hint;
using audit::HintKind;

void ScratchTest::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ledger-cli-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  dir_ = pattern;
}

void ScratchTest::TearDown() {
  std::error_code ignored;
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(dir_, ignored);
}

std::string ScratchTest::path(std::string_view name) const { return (dir_ / name).string(); }

std::string ScratchTest::write(std::string_view name, std::string_view contents) const {
  const std::string file = path(name);
  ledger::testing::write_file(file, contents);
  return file;
}

std::string entry_line(std::uint64_t index, std::string_view prev_hash, std::string_view actor,
                       double delta, std::string_view payload) {
  LogEntry entry;
  entry.index = index;
  entry.timestamp =
      format_ledger_timestamp(1798000000 + static_cast<std::int64_t>(index), 500000000);
  entry.prev_hash = prev_hash;
  entry.actor = actor;
  entry.delta_i = delta;
  entry.payload = payload;
  entry.signature = *compute_entry_digest(entry.prev_hash, entry.timestamp, entry.actor,
                                          entry.delta_i, entry.payload);
  return entry_to_json(entry);
}

std::string signature_of(std::string_view line) {
  const std::string_view key = R"("signature":")";
  const std::size_t at = line.find(key) + key.size();
  return std::string(line.substr(at, kSignatureLength));
}

Lines chain_lines(std::size_t count, std::string_view prev_hash, std::uint64_t first_index,
                  std::string_view actor) {
  Lines lines;
  std::string prev(prev_hash);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t index = first_index + i;
    lines.push_back(entry_line(index, prev, actor, 1.5 * static_cast<double>(index) - 2.25,
                               "payment \"" + std::to_string(index) + "\"\t\xC3\xA9"));
    prev = signature_of(lines.back());
  }
  return lines;
}

std::string join(const Lines& lines, std::string_view terminator) {
  std::string out;
  for (const auto& line : lines) {
    out += line;
    out += terminator;
  }
  return out;
}

std::string replace_first(std::string text, std::string_view from, std::string_view to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

Hint hint(HintKind kind, std::uint64_t line, std::uint64_t other_line, std::uint64_t expected,
          std::uint64_t found) {
  Hint h = Hint::about(kind, line);
  h.other_line = other_line;
  h.expected = expected;
  h.found = found;
  return h;
}

}  // namespace ledger::cli::testing

namespace ledger::audit {

void PrintTo(const Hint& hint, std::ostream* out) {
  *out << "{kind " << static_cast<int>(hint.kind) << ", line " << hint.line << ", other_line "
       << hint.other_line << ", expected " << hint.expected << ", found " << hint.found
       << ", column " << hint.column << "}";
}

void PrintTo(const Break& break_found, std::ostream* out) {
  *out << "{kind " << static_cast<int>(break_found.kind) << ", line " << break_found.line << ", offset "
       << break_found.offset << ", index " << (break_found.index ? std::to_string(*break_found.index) : "none")
       << ", column " << break_found.column << ", expected " << break_found.expected << "}";
}

void PrintTo(const Checkpoint& checkpoint, std::ostream* out) {
  *out << format_checkpoint(checkpoint);
}

}  // namespace ledger::audit
