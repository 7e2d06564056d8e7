#include "ledger/open.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ledger/chain.h"
#include "ledger/entry.h"
#include "ledger/parser.h"
#include "ledger/path.h"
#include "ledger/platform.h"
#include "ledger/reader.h"
#include "ledger/utf8.h"

namespace ledger {
namespace {


constexpr std::uint64_t kNone = UINT64_MAX;

// The last '{' or '[' in [begin, end), or null. An entry's line holds a JSON
// object or array, so it holds one of them; a line without either is no entry
// whatever else it holds.
const char* find_last_bracket(const char* begin, const char* end) {
#if defined(__SSE2__)
  const __m128i open_brace = _mm_set1_epi8('{');
  const __m128i open_bracket = _mm_set1_epi8('[');
  while (end - begin >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
    const auto hits = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, open_brace), _mm_cmpeq_epi8(bytes, open_bracket))));
    if (hits != 0) return end - 16 + (31 - std::countl_zero(hits));
    end -= 16;
  }
#endif
  while (end != begin) {
    --end;
    if (*end == '{' || *end == '[') return end;
  }
  return nullptr;
}

struct FileScan {
  std::uint64_t size = 0;             // bytes read before end of file
  std::uint64_t last_bracket = kNone;  // offset of the last '{' or '['
};

// Reads the whole file once and checks that it is UTF-8. Splitting at line
// feeds never changes UTF-8 validity (a line feed is never part of a longer
// sequence), so this equals checking every line on its own. It also notes
// where the last bracket stands, so that the search for the last entry starts
// there, past whatever lines without one follow it, however many.
//
// One exception is made: a file cut inside its last character. That is what a
// writer interrupted in the middle of a line leaves behind, and the torn line
// is no entry whatever its bytes (it ends inside a string or a token), so it is
// skipped like any other torn line. Refusing the whole file instead would make
// the reopened recorder restart the chain from its first link, in the middle of
// the ledger.
Result<FileScan> scan_whole_file(const platform::File& file, char* buffer) {
  FileScan scan;
  Utf8StreamValidator utf8;
  for (;;) {
    auto count = platform::read_some(file, buffer, kReopenChunkSize);
    if (!count) return fail(std::move(count).error());
    if (*count == 0) break;
    // Searched from the chunk's end while it is in the cache: in a ledger the
    // last line holds one, so the search is short.
    if (const char* bracket = find_last_bracket(buffer, buffer + *count)) {
      scan.last_bracket = scan.size + static_cast<std::uint64_t>(bracket - buffer);
    }
    scan.size += *count;
    if (!utf8.feed(std::string_view(buffer, *count))) break;
  }
  if (!utf8.finish() && !utf8.cut_inside_character()) {
    return fail(Failure::io(std::string(kInvalidUtf8)));
  }
  return scan;
}

// Takes the lines that hold a bracket, from the end of a file backwards, one
// chunk at a time; the lines between them are no entries and are passed over
// by the byte search alone. Every byte is read into the chunk at most once; a
// line that the chunk does not hold whole is read once more on its own.
class CandidateSearch {
 public:
  // Searches the first `size` bytes of `file`, whose last bracket stands at
  // `last_bracket` (kNone when it holds none).
  CandidateSearch(const platform::File& file, std::uint64_t size, std::uint64_t last_bracket,
                  std::size_t chunk_size)
      : file_(file), chunk_(chunk_size), chunk_size_(chunk_size), size_(size),
        scan_(last_bracket == kNone ? 0 : last_bracket + 1), chunk_begin_(scan_), chunk_end_(scan_) {}

  // Moves to the last line before the current one (before the end of the
  // file, at first) that holds a bracket. False when there is none.
  Result<bool> previous();

  // The candidate's bytes, without its line feed. A carriage return before
  // the line feed stays: it is JSON white space, so the parse is the same.
  // Valid until previous().
  std::string_view line() const { return line_; }

 private:
  Result<void> load_chunk_before(std::uint64_t end);
  // The offset of the first line feed at or after `from`, or size_.
  Result<std::uint64_t> line_end_from(std::uint64_t from) const;

  const platform::File& file_;
  ReadBuffer chunk_;          // file bytes [chunk_begin_, chunk_end_)
  std::size_t chunk_size_;    // capacity of chunk_
  std::uint64_t size_;        // the bytes searched: [0, size_)
  std::uint64_t scan_;        // the next bracket is sought below this offset
  std::uint64_t chunk_begin_;
  std::uint64_t chunk_end_;
  std::string_view line_;     // the candidate's bytes
  std::string long_line_;     // a candidate that the chunk does not hold whole
};

Result<void> CandidateSearch::load_chunk_before(std::uint64_t end) {
  const std::uint64_t begin = end > chunk_size_ ? end - chunk_size_ : 0;
  auto read = platform::read_exactly(file_, begin, chunk_.data(), static_cast<std::size_t>(end - begin));
  if (!read) return fail(std::move(read).error());
  chunk_begin_ = begin;
  chunk_end_ = end;
  return {};
}

Result<std::uint64_t> CandidateSearch::line_end_from(std::uint64_t from) const {
  char piece[4096];
  while (from < size_) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof piece, size_ - from));
    auto read = platform::read_exactly(file_, from, piece, want);
    if (!read) return fail(std::move(read).error());
    if (const void* feed = std::memchr(piece, '\n', want)) {
      return from + static_cast<std::uint64_t>(static_cast<const char*>(feed) - piece);
    }
    from += want;
  }
  return size_;
}

Result<bool> CandidateSearch::previous() {
  const char* bracket = nullptr;
  while (bracket == nullptr) {
    if (scan_ == 0) return false;
    if (scan_ <= chunk_begin_) {  // below the chunk, at first or after a long line
      auto loaded = load_chunk_before(scan_);
      if (!loaded) return fail(std::move(loaded).error());
    }
    const char* const chunk = chunk_.data();
    bracket = find_last_bracket(chunk, chunk + (scan_ - chunk_begin_));
    scan_ = bracket != nullptr ? chunk_begin_ + static_cast<std::uint64_t>(bracket - chunk) : chunk_begin_;
  }
  const std::uint64_t at = scan_;
  const char* const data = chunk_.data() - chunk_begin_;  // data[p] is file byte p
  // The candidate runs from the line start before the bracket to the first
  // line feed after it, or to the end of the file.
  std::uint64_t end;
  const auto after = std::string_view(data + at, static_cast<std::size_t>(chunk_end_ - at));
  if (const std::size_t feed = after.find('\n'); feed != std::string_view::npos) {
    end = at + feed;
  } else {
    auto found = line_end_from(chunk_end_);
    if (!found) return fail(std::move(found).error());
    end = *found;
  }
  std::uint64_t start;
  const auto before = std::string_view(data + chunk_begin_, static_cast<std::size_t>(at - chunk_begin_));
  if (const std::size_t feed = before.rfind('\n'); feed != std::string_view::npos) {
    start = chunk_begin_ + feed + 1;
  } else if (chunk_begin_ == 0) {
    start = 0;
  } else {
    auto found = platform::line_start_before(file_, chunk_begin_);
    if (!found) return fail(std::move(found).error());
    start = *found;
  }
  if (start >= chunk_begin_ && end <= chunk_end_) {
    line_ = std::string_view(data + start, static_cast<std::size_t>(end - start));
  } else {
    long_line_.resize(static_cast<std::size_t>(end - start));
    auto read = platform::read_exactly(file_, start, long_line_.data(), long_line_.size());
    if (!read) return fail(std::move(read).error());
    line_ = long_line_;
  }
  scan_ = start;  // the next candidate stands before this line
  return true;
}

struct ChainScan {
  ChainHead found{std::string(GENESIS_BLOCK_HASH), 0};  // a fresh chain until a line parses
  bool ends_inside_line = false;  // the file's last byte is not a line feed
};

// The result is that of reading every line in order and keeping the last one
// that parses; but only the lines after it need looking at. So the file is
// read once to check its encoding and find its end, and then the lines that
// could be entries are taken from the end backwards until one parses. Memory
// stays at one chunk and one line.
Result<ChainScan> scan_chain(std::string_view path, std::size_t chunk_size) {
  ChainScan result;
  ChainHead& found = result.found;
  if (!platform::exists(path)) return result;
  auto file = platform::open_regular_for_read(path);
  if (!file) return fail(std::move(file).error());
  FileScan scan;
  {
    ReadBuffer buffer(kReopenChunkSize);
    auto scanned = scan_whole_file(*file, buffer.data());
    if (!scanned) return fail(std::move(scanned).error());
    scan = *scanned;
  }
  const std::uint64_t size = scan.size;
  if (size == 0) return result;
  auto ends_with_line_feed = platform::line_ends_at(*file, size);
  if (!ends_with_line_feed) return fail(std::move(ends_with_line_feed).error());
  result.ends_inside_line = !*ends_with_line_feed;

  CandidateSearch candidates(*file, size, scan.last_bracket, chunk_size);
  EntryFields entry;
  ParseFailure ignored;
  for (;;) {
    auto more = candidates.previous();
    if (!more) return fail(std::move(more).error());
    if (!*more) return result;
    if (classify_line(candidates.line(), entry, ignored) == LineKind::kEntry) {
      found.head.assign(entry.signature);
      found.count = entry.index + 1;  // wraps from 2^64 - 1 to 0
      return result;
    }
  }
}

}  // namespace

Result<ChainHead> load_chain_head(std::string_view path, std::size_t chunk_size) {
  assert(chunk_size >= 1);
  auto scan = scan_chain(path, chunk_size);
  if (!scan) return fail(std::move(scan).error());
  return std::move(scan->found);
}

RecorderState open_recorder(std::string_view log_path) {
  auto validated = validate_log_path(log_path);
  std::string path = validated ? std::move(*validated) : std::string(log_path);
  auto scan = scan_chain(path, kReopenChunkSize);
  // A ledger that cannot be read starts a fresh chain. Whether it ends inside
  // a line is then unknown: the first commit asks the file itself.
  ChainScan chain = scan ? std::move(*scan) : ChainScan{.ends_inside_line = true};
  RecorderState state =
      create_recorder_state(std::move(path), std::move(chain.found.head), chain.found.count);
  state.ends_inside_line = chain.ends_inside_line;
  return state;
}

}  // namespace ledger
