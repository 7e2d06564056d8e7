#include "ledger/open.h"

#include <cstring>
#include <memory>

#include "ledger/chain.h"
#include "ledger/entry.h"
#include "ledger/parser.h"
#include "ledger/path.h"
#include "ledger/platform.h"
#include "ledger/reader.h"
#include "ledger/utf8.h"

namespace ledger {
namespace {

// The whole-file pass reads in larger chunks than the line reader, so that
// fewer system calls share its time.
constexpr std::size_t kChunkSize = 64 * 1024;

// Reads the whole file once and checks that it is UTF-8. Splitting at line
// feeds never changes UTF-8 validity (a line feed is never part of a longer
// sequence), so this equals checking every line on its own.
//
// One exception is made: a file cut inside its last character. That is what a
// writer interrupted in the middle of a line leaves behind, and the torn line
// is no entry whatever its bytes (it ends inside a string or a token), so it is
// skipped like any other torn line. Refusing the whole file instead would make
// the reopened recorder restart the chain from its first link, in the middle of
// the ledger.
//
// Returns the number of bytes read before end of file.
Result<std::uint64_t> scan_whole_file(const platform::File& file, char* buffer) {
  std::uint64_t size = 0;
  Utf8StreamValidator utf8;
  for (;;) {
    auto count = platform::read_some(file, buffer, kChunkSize);
    if (!count) return fail(std::move(count).error());
    if (*count == 0) break;
    size += *count;
    if (!utf8.feed(std::string_view(buffer, *count))) break;
  }
  if (!utf8.finish() && !utf8.cut_inside_character()) {
    return fail(Failure::io(std::string(kInvalidUtf8)));
  }
  return size;
}

struct ChainScan {
  ChainHead found{std::string(GENESIS_BLOCK_HASH), 0};  // a fresh chain until a line parses
  bool ends_inside_line = false;  // the file's last byte is not a line feed
};

// The result is that of reading every line in order and keeping the last one
// that parses; but only the lines after it need parsing. So the file is read
// once to check its encoding and find its end, and then lines are taken from
// the end backwards until one parses. Memory stays at one buffer and one line.
Result<ChainScan> scan_chain(std::string_view path) {
  ChainScan result;
  ChainHead& found = result.found;
  if (!platform::exists(path)) return result;
  auto file = platform::open_regular_for_read(path);
  if (!file) return fail(std::move(file).error());
  ReadBuffer buffer(kChunkSize);
  auto size = scan_whole_file(*file, buffer.data());
  if (!size) return fail(std::move(size).error());

  // A final line feed ends the last line; without one the last line runs to
  // the end of the file and keeps a carriage return at its end.
  if (*size == 0) return result;
  auto ends_with_line_feed = platform::line_ends_at(*file, *size);
  if (!ends_with_line_feed) return fail(std::move(ends_with_line_feed).error());
  bool terminated = *ends_with_line_feed;
  result.ends_inside_line = !terminated;
  std::uint64_t line_end = terminated ? *size - 1 : *size;
  std::string line;
  EntryFields entry;
  ParseFailure ignored;
  for (;;) {
    auto start = platform::line_start_before(*file, line_end);
    if (!start) return fail(std::move(start).error());
    line.resize(static_cast<std::size_t>(line_end - *start));
    auto read = platform::read_exactly(*file, *start, line.data(), line.size());
    if (!read) return fail(std::move(read).error());
    std::string_view text = line;
    if (terminated && text.ends_with('\r')) text.remove_suffix(1);
    if (classify_line(text, entry, ignored) == LineKind::kEntry) {
      found.head.assign(entry.signature);
      found.count = entry.index + 1;  // wraps from 2^64 - 1 to 0
      return result;
    }
    if (*start == 0) return result;
    line_end = *start - 1;  // the line feed that ends the line before
    terminated = true;
  }
}

}  // namespace

Result<ChainHead> load_chain_head(std::string_view path) {
  auto scan = scan_chain(path);
  if (!scan) return fail(std::move(scan).error());
  return std::move(scan->found);
}

RecorderState open_recorder(std::string_view log_path) {
  auto validated = validate_log_path(log_path);
  std::string path = validated ? std::move(*validated) : std::string(log_path);
  auto scan = scan_chain(path);
  ChainScan chain = scan ? std::move(*scan) : ChainScan{};
  RecorderState state =
      create_recorder_state(std::move(path), std::move(chain.found.head), chain.found.count);
  state.ends_inside_line = chain.ends_inside_line;
  return state;
}

}  // namespace ledger
