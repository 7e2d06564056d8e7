#include "file_support.h"

#include <fstream>
#include <iterator>

#include "ledger/parser.h"
#include "ledger/reader.h"
#include "ledger/utf8.h"

namespace ledger::testing {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, std::string_view contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

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

}  // namespace ledger::testing
