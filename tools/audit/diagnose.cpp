#include "audit/diagnose.h"

#include <algorithm>
#include <array>

#include "audit/range_reader.h"
#include "ledger/format.h"
#include "ledger/parser.h"
#include "ledger/platform.h"
#include "ledger/utf8.h"

namespace ledger::audit {
namespace {

std::optional<Hint> index_hint(const Break& break_found, const Chain& chain) {
  if (!break_found.index) return std::nullopt;
  const std::uint64_t due = chain.last ? chain.last->index + 1 : 0;
  if (*break_found.index == due) return std::nullopt;
  const HintKind kind = *break_found.index > due ? HintKind::kIndexGap : HintKind::kIndexRepeat;
  Hint hint = Hint::about(kind, break_found.line);
  hint.expected = due;
  hint.found = *break_found.index;
  return hint;
}

// The first entry from `from` up to the break with the break entry's prev_hash.
Result<std::optional<Hint>> fork_hint(const platform::File& file, const Break& break_found,
                                      const LinePosition& from, const std::atomic<bool>* cancel) {
  RangeReader reader(file, from.offset, break_found.offset, RangeReader::kDefaultBufferSize,
                     RangeReader::kNoLimit, cancel);
  LogEntry entry;
  for (std::uint64_t line = from.line;; ++line) {
    auto status = reader.next();
    if (!status) return fail(std::move(status).error());
    if (*status == LineStatus::kEnd) return std::optional<Hint>();
    if (*status != LineStatus::kLine || !parse_log_entry_into(reader.line(), entry) ||
        entry.prev_hash != break_found.prev_hash) {
      continue;
    }
    const HintKind kind = entry.signature == break_found.signature ? HintKind::kDuplicate : HintKind::kFork;
    Hint hint = Hint::about(kind, break_found.line);
    hint.other_line = line;
    return std::optional<Hint>(hint);
  }
}

// The longest token whose fault shows only at its end: a \uXXXX escape.
constexpr std::size_t kLongestToken = 6;

// True when `bytes` reads as the beginning of an entry cut off: the parser
// runs out of input (or stops in the last token, which the cut may have
// split), after an incomplete UTF-8 sequence at the very end is set aside.
bool looks_cut_short(std::string_view bytes) {
  for (std::size_t drop = 1; drop <= 3 && !is_valid_utf8(bytes) && drop < bytes.size(); ++drop) {
    if (is_valid_utf8(bytes.substr(0, bytes.size() - drop))) bytes.remove_suffix(drop);
  }
  if (!is_valid_utf8(bytes)) return false;
  LogEntry entry;
  auto parsed = parse_log_entry_into(bytes, entry);
  if (parsed) return false;
  const ParseFailure failure = parsed.error();
  return failure.code == ParseError::kUnexpectedEnd ||
         ((failure.code == ParseError::kBadNumber || failure.code == ParseError::kBadEscape) &&
          failure.offset + kLongestToken >= bytes.size());
}

// A line that begins with a cut-short entry and ends in a complete one: an
// interrupted write, after which the next write was appended to it. The
// complete entry is the last one to begin on the line; trying only that one
// keeps the search linear in the line's length, however the line is made.
Result<std::optional<Hint>> torn_then_appended_hint(const platform::File& file, const Break& break_found) {
  RangeReader reader(file, break_found.offset, break_found.offset + 1);
  auto status = reader.next();
  if (!status) return fail(std::move(status).error());
  const std::string_view line = reader.line();
  const std::size_t at = line.rfind(kEntryStart.view());
  if (at == std::string_view::npos || at == 0) return std::optional<Hint>();
  const std::string_view rest = line.substr(at);
  LogEntry entry;
  if (!is_valid_utf8(rest) || !parse_log_entry_into(rest, entry) ||
      !looks_cut_short(line.substr(0, at))) {
    return std::optional<Hint>();
  }
  Hint hint = Hint::about(HintKind::kTornThenAppended, break_found.line);
  hint.column = at + 1;
  return std::optional<Hint>(hint);
}

Result<std::uint64_t> count_line_feeds(const platform::File& file, std::uint64_t from,
                                       std::uint64_t to, const std::atomic<bool>* cancel) {
  std::array<char, RangeReader::kDefaultBufferSize> chunk;
  std::uint64_t count = 0;
  while (from < to) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return fail(cancelled_failure());
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), to - from));
    auto got = platform::read_at(file, from, chunk.data(), want);
    if (!got) return fail(std::move(got).error());
    if (*got == 0) break;
    count += static_cast<std::uint64_t>(std::count(chunk.data(), chunk.data() + *got, '\n'));
    from += *got;
  }
  return count;
}

// The last line of the file, when it has no line feed and is cut short; the
// file is taken to end at `end` when that comes first.
Result<std::optional<Hint>> torn_tail_hint(const platform::File& file, const Break& break_found,
                                           std::uint64_t end, const std::atomic<bool>* cancel) {
  auto size = platform::file_size(file);
  if (!size) return fail(std::move(size).error());
  *size = std::min(*size, end);
  if (*size <= break_found.offset) return std::optional<Hint>();
  auto terminated = platform::line_ends_at(file, *size);
  if (!terminated) return fail(std::move(terminated).error());
  if (*terminated) return std::optional<Hint>();
  auto start = platform::line_start_before(file, *size);
  if (!start) return fail(std::move(start).error());
  if (*start < break_found.offset) return std::optional<Hint>();  // the file changed meanwhile
  RangeReader reader(file, *start, *start + 1);
  auto status = reader.next();
  if (!status) return fail(std::move(status).error());
  if (*status == LineStatus::kEnd || !looks_cut_short(reader.line())) return std::optional<Hint>();
  auto feeds = count_line_feeds(file, break_found.offset, *start, cancel);
  if (!feeds) return fail(std::move(feeds).error());
  return std::optional<Hint>(Hint::about(HintKind::kTornTail, break_found.line + *feeds));
}

}  // namespace

Result<std::vector<Hint>> diagnose(const platform::File& file, const Break& break_found, const Chain& chain,
                                   const LinePosition& search_from, std::uint64_t end,
                                   const std::atomic<bool>* cancel) {
  std::vector<Hint> hints;
  const auto add = [&hints](Result<std::optional<Hint>> found) -> Result<void> {
    if (!found) return fail(std::move(found).error());
    if (*found) hints.push_back(**found);
    return {};
  };
  if (auto hint = index_hint(break_found, chain)) hints.push_back(*hint);
  if (break_found.kind == BreakKind::kLinkBroken) {
    auto result = add(fork_hint(file, break_found, search_from, cancel));
    if (!result) return fail(std::move(result).error());
  }
  if (break_found.kind == BreakKind::kNotEntry || break_found.kind == BreakKind::kInvalidUtf8 ||
      break_found.kind == BreakKind::kTornTail) {
    auto result = add(torn_then_appended_hint(file, break_found));
    if (!result) return fail(std::move(result).error());
  }
  if (break_found.kind == BreakKind::kTornTail) {
    // The break is the last line itself: the torn-tail hint would only repeat
    // the break; what helps is that a writer may still be at work there.
    hints.push_back(Hint::about(HintKind::kWriteInProgress, break_found.line));
    return hints;
  }
  auto result = add(torn_tail_hint(file, break_found, end, cancel));
  if (!result) return fail(std::move(result).error());
  return hints;
}

}  // namespace ledger::audit
