#include "audit/checkpoint.h"

#include <array>
#include <charconv>
#include <vector>

#include "tlog/enum_table.h"

namespace ledger::audit {

using tlog::all_filled;
using tlog::kOriginPrefix;
using tlog::parse_note;

namespace {

constexpr std::string_view kNone = "none";

// The fields after the tag and version, in their order.
enum Field : std::size_t { kLines, kBytes, kIndex, kHead, kEntries, kFirst, kFieldCount };
constexpr std::array<std::string_view, kFieldCount> kFields = {"lines", "bytes",   "index",
                                                               "head",  "entries", "first"};
static_assert(all_filled(kFields));

bool is_signature(std::string_view text) {
  if (text.size() != kSignatureLength) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::optional<std::uint64_t> parse_number(std::string_view text) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::unexpected<Failure> malformed(std::string reason) {
  return fail(Failure::invalid_argument(std::move(reason)));
}

std::vector<std::string_view> split_spaces(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  for (;;) {
    const std::size_t space = text.find(' ', at);
    words.push_back(text.substr(at, space - at));
    if (space == std::string_view::npos) return words;
    at = space + 1;
  }
}

std::unexpected<Failure> field_error(std::size_t field, std::string_view problem) {
  return malformed("field '" + std::string(kFields[field]) + "' " + std::string(problem));
}

}  // namespace

std::string format_checkpoint(const Checkpoint& checkpoint) {
  std::string out(kCheckpointTag);
  out += ' ';
  out += kCheckpointVersion;
  const auto add = [&out](Field field, std::string_view value) {
    out += ' ';
    out += kFields[field];
    out += '=';
    out += value;
  };
  add(kLines, std::to_string(checkpoint.lines));
  add(kBytes, std::to_string(checkpoint.bytes));
  add(kIndex, checkpoint.index ? std::to_string(*checkpoint.index) : std::string(kNone));
  add(kHead, checkpoint.head);
  add(kEntries, std::to_string(checkpoint.entries));
  add(kFirst, checkpoint.first.empty() ? kNone : std::string_view(checkpoint.first));
  return out;
}

Result<Checkpoint> parse_checkpoint(std::string_view text) {
  if (text.ends_with('\n')) text.remove_suffix(1);
  if (text.ends_with('\r')) text.remove_suffix(1);
  if (text.find_first_of("\r\n") != std::string_view::npos) {
    return malformed("more than one line");
  }
  const std::vector<std::string_view> words = split_spaces(text);
  if (words[0] != kCheckpointTag) {
    return malformed("does not start with '" + std::string(kCheckpointTag) + "'");
  }
  if (words.size() < 2 || words[1] != kCheckpointVersion) {
    return malformed("unsupported version (this program reads " + std::string(kCheckpointVersion) +
                     ")");
  }
  if (words.size() != 2 + kFieldCount) {
    return malformed("expected " + std::to_string(kFieldCount) +
                     " fields after the version, found " + std::to_string(words.size() - 2));
  }
  std::array<std::string_view, kFieldCount> values;
  for (std::size_t f = 0; f < kFieldCount; ++f) {
    const std::string_view word = words[2 + f];
    const std::string prefix = std::string(kFields[f]) + "=";
    if (!word.starts_with(prefix)) return field_error(f, "is missing or out of order");
    values[f] = word.substr(prefix.size());
  }

  Checkpoint checkpoint;
  for (Field f : {kLines, kBytes, kEntries}) {
    const auto number = parse_number(values[f]);
    if (!number) return field_error(f, "is not a whole number");
    (f == kLines ? checkpoint.lines : f == kBytes ? checkpoint.bytes : checkpoint.entries) = *number;
  }
  if (values[kIndex] != kNone) {
    checkpoint.index = parse_number(values[kIndex]);
    if (!checkpoint.index) return field_error(kIndex, "is neither a whole number nor 'none'");
  }
  if (values[kHead] != GENESIS_BLOCK_HASH && !is_signature(values[kHead])) {
    return field_error(kHead, "is not 64 lowercase hexadecimal digits");
  }
  checkpoint.head = values[kHead];
  if (values[kFirst] != kNone) {
    if (!is_signature(values[kFirst])) {
      return field_error(kFirst, "is neither 64 lowercase hexadecimal digits nor 'none'");
    }
    checkpoint.first = values[kFirst];
  }
  const bool empty = checkpoint.entries == 0;
  const bool consistent = empty ? (checkpoint.lines == 0 && checkpoint.bytes == 0 && !checkpoint.index &&
                                   checkpoint.head == GENESIS_BLOCK_HASH && checkpoint.first.empty())
                                : (checkpoint.index && checkpoint.head != GENESIS_BLOCK_HASH && !checkpoint.first.empty() &&
                                   checkpoint.entries <= checkpoint.lines && checkpoint.lines < checkpoint.bytes);
  if (!consistent) return malformed("its fields contradict each other");
  return checkpoint;
}

Result<Checkpoint> parse_any_checkpoint(std::string_view text) {
  if (text.starts_with(kCheckpointTag)) return parse_checkpoint(text);
  auto note = parse_note(text);
  if (!note) return fail(std::move(note).error());
  Checkpoint checkpoint;
  checkpoint.entries = note->size;
  checkpoint.head = note->chain_head() ? std::string(*note->chain_head()) : std::string();
  if (note->origin.starts_with(kOriginPrefix)) {
    const std::string_view first = std::string_view(note->origin).substr(kOriginPrefix.size());
    if (is_signature(first)) checkpoint.first = first;
  }
  checkpoint.note = std::move(*note);
  return checkpoint;
}

Checkpoint checkpoint_of(const Chain& chain) {
  Checkpoint checkpoint;
  const bool last_complete = chain.last && chain.last->terminated;
  const std::optional<EntryMark>& mark = last_complete ? chain.last : chain.before_last;
  if (!mark) return checkpoint;
  checkpoint.lines = mark->line;
  checkpoint.bytes = mark->end;
  checkpoint.index = mark->index;
  checkpoint.head = last_complete ? chain.head : chain.head_before_last;
  checkpoint.entries = last_complete ? chain.entries : chain.entries - 1;
  checkpoint.first = chain.first;
  return checkpoint;
}

}  // namespace ledger::audit
