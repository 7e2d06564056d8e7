#include "cli/proof.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <new>
#include <limits>

#include "cli/encoding.h"
#include "cli/parallel.h"
#include "cli/json.h"
#include "cli/range_reader.h"
#include "ledger/json_cursor.h"
#include "ledger/utf8.h"

namespace ledger::cli {
namespace {

using ledger::detail::JsonCursor;
using ledger::detail::NumberText;

std::unexpected<Failure> malformed(std::string reason) {
  return fail(Failure::invalid_argument(std::move(reason)));
}

void add_hashes(JsonWriter& w, const std::vector<Hash>& hashes) {
  w.begin_array("hashes");
  for (const Hash& h : hashes) w.field("", base64_encode(h));
  w.end_array();
}

std::optional<Hash> hash_of(std::string_view text) {
  const auto bytes = base64_decode(text);
  if (!bytes || bytes->size() != Hash{}.size()) return std::nullopt;
  Hash hash{};
  std::copy(bytes->begin(), bytes->end(), reinterpret_cast<char*>(hash.data()));
  return hash;
}

// The members a proof may hold.
struct Members {
  std::optional<std::string> type;
  std::optional<std::uint64_t> index, tree_size, old_size, new_size;
  std::optional<Hash> leaf_hash;
  std::optional<std::vector<Hash>> hashes;
  std::optional<std::string> line;
};

class ProofReader {
 public:
  explicit ProofReader(std::string_view text) : c_(text) {}

  Result<Members> read() {
    Members m;
    if (!c_.expect('{', ParseError::kNotEntry)) return syntax();
    c_.skip_ws();
    if (c_.p != c_.end && *c_.p == '}') return malformed("not a proof: an empty object");
    for (;;) {
      c_.skip_ws();
      if (c_.p == c_.end || *c_.p != '"') return c_.fail(ParseError::kExpectedName), syntax();
      std::string_view name;
      if (!c_.read_string(name, scratch_)) return syntax();
      const std::string key(name);
      if (!c_.expect(':', ParseError::kExpectedColon)) return syntax();
      c_.skip_ws();
      auto ok = member(key, m);
      if (!ok) return fail(std::move(ok).error());
      c_.skip_ws();
      if (c_.p == c_.end) return c_.fail(ParseError::kUnexpectedEnd), syntax();
      if (*c_.p == '}') {
        ++c_.p;
        break;
      }
      if (!c_.expect(',', ParseError::kExpectedSeparator)) return syntax();
    }
    c_.skip_ws();
    if (c_.p != c_.end) return c_.fail(ParseError::kTrailingCharacters), syntax();
    return m;
  }

 private:
  std::unexpected<Failure> syntax() {
    return malformed("not a proof: " + std::string(describe(c_.error.code)) + " at byte " +
                     std::to_string(c_.error.offset + 1));
  }

  template <typename T>
  Result<void> set(std::optional<T>& slot, std::string_view key, std::optional<T> value,
                   std::string_view what) {
    if (slot) return malformed("the member " + display(key) + " occurs twice");
    if (!value) return malformed("the member " + display(key) + " is not " + std::string(what));
    slot = std::move(value);
    return {};
  }

  std::optional<std::string> string_value() {
    if (c_.p == c_.end || *c_.p != '"') return std::nullopt;
    std::string_view text;
    if (!c_.read_string(text, scratch_)) return std::nullopt;
    return std::string(text);
  }

  std::optional<std::uint64_t> number_value() {
    if (c_.p == c_.end || *c_.p < '0' || *c_.p > '9') return std::nullopt;
    NumberText number{};
    if (!c_.scan_number(number) || number.has_fraction || number.has_exponent) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(number.begin, number.end, value);
    if (error != std::errc() || end != number.end ||
        value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return value;
  }

  std::optional<Hash> hash_value() {
    const auto text = string_value();
    return text ? hash_of(*text) : std::nullopt;
  }

  std::optional<std::vector<Hash>> hashes_value() {
    if (c_.p == c_.end || *c_.p != '[') return std::nullopt;
    ++c_.p;
    std::vector<Hash> hashes;
    c_.skip_ws();
    if (c_.p != c_.end && *c_.p == ']') {
      ++c_.p;
      return hashes;
    }
    for (;;) {
      c_.skip_ws();
      const auto hash = hash_value();
      if (!hash || hashes.size() == kMaxProofHashes) return std::nullopt;
      hashes.push_back(*hash);
      c_.skip_ws();
      if (c_.p == c_.end) return std::nullopt;
      if (*c_.p == ']') {
        ++c_.p;
        return hashes;
      }
      if (*c_.p != ',') return std::nullopt;
      ++c_.p;
    }
  }

  Result<void> member(const std::string& key, Members& m) {
    if (key == "type") return set(m.type, key, string_value(), "a string");
    if (key == "index") return set(m.index, key, number_value(), "a whole number");
    if (key == "tree_size") return set(m.tree_size, key, number_value(), "a whole number");
    if (key == "old_size") return set(m.old_size, key, number_value(), "a whole number");
    if (key == "new_size") return set(m.new_size, key, number_value(), "a whole number");
    if (key == "leaf_hash") {
      return set(m.leaf_hash, key, hash_value(), "the base64 of 32 bytes");
    }
    if (key == "hashes") {
      return set(m.hashes, key, hashes_value(),
                 "a list of at most " + std::to_string(kMaxProofHashes) + " base64 hashes of 32 bytes");
    }
    if (key == "line") return set(m.line, key, string_value(), "a string");
    return malformed("not a proof: unknown member " + display(key));
  }

  JsonCursor c_;
  std::string scratch_;
};

// One byte range of a leaf scan: the lines that start in it.
struct ScanRange {
  std::uint64_t start = 0;  // a raw offset; the range starts at the next line start
  std::uint64_t limit = 0;  // lines starting here or later belong to the next range
  LeafRun run;              // leaf hashes of its entry lines, at most the scan's count,
  TreeBuilder* tree = nullptr;  // or added to this tree, when the range starts the file
  std::uint64_t leaves = 0;  // entry lines found
  std::uint64_t lines = 0;  // lines read, up to the last leaf when it stopped there
  std::uint64_t first_offset = 0;
  std::uint64_t last_offset = 0;
  std::uint64_t last_end = 0;
  std::optional<Failure> failure;
};

// Scans `range` until `stop` leaves, recording where the first and last stand.
void scan_range(const platform::File& file, std::uint64_t end, std::uint64_t stop,
                ScanRange& range) {
  try {
    std::uint64_t start = range.start;
    if (start > 0) {
      auto aligned = platform::line_start_at_or_after(file, start);
      if (!aligned) {
        range.failure = std::move(aligned).error();
        return;
      }
      start = *aligned;
    }
    Hasher hasher;
    RangeReader reader(file, start, range.limit, RangeReader::kDefaultBufferSize, end);
    while (range.leaves < stop) {
      auto status = reader.next();
      if (!status) {
        range.failure = std::move(status).error();
        return;
      }
      if (*status == LineStatus::kEnd || !reader.line_terminated()) return;
      ++range.lines;
      const std::string_view line = reader.line();
      if (*status == LineStatus::kLine && is_blank_line(line)) continue;
      if (range.leaves == 0) range.first_offset = reader.line_offset();
      range.last_offset = reader.line_offset();
      range.last_end = reader.position();
      ++range.leaves;
      if (range.tree != nullptr) {
        range.tree->add_leaf(hasher.leaf(line));
      } else {
        range.run.leaves.push_back(hasher.leaf(line));
      }
    }
  } catch (...) {
    range.failure = current_fault();
  }
}

}  // namespace

Result<LeafPrefix> scan_leaf_prefix(const platform::File& file, std::uint64_t count,
                                    std::uint64_t end, unsigned jobs,
                                    std::uint64_t min_range_bytes) {
  auto size = platform::file_size(file);
  if (!size) return fail(std::move(size).error());
  const std::uint64_t span = std::min(*size, end);
  // As the walk splits a file: a few ranges per thread, none too small.
  const std::uint64_t by_size =
      std::max<std::uint64_t>(1, span / std::max<std::uint64_t>(1, min_range_bytes));
  const auto count_of_ranges =
      static_cast<std::size_t>(std::min<std::uint64_t>(jobs <= 1 ? 1 : jobs * 8, by_size));
  std::vector<ScanRange> ranges(count_of_ranges);
  // One range streams into the tree: a few hundred bytes for any count.
  TreeBuilder tree;
  if (ranges.size() == 1) ranges[0].tree = &tree;
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    ranges[k].start = span * k / ranges.size();
    ranges[k].limit = k + 1 < ranges.size() ? span * (k + 1) / ranges.size() : RangeReader::kNoLimit;
  }
  // Ranges are taken in order, and none is begun once the ranges before it
  // hold `count` leaves: what follows the prefix is not read.
  std::atomic<std::uint64_t> done_leaves{0};  // leaves of ranges finished, a lower bound
  auto scanned = run_tasks(ranges.size(), jobs, [&](std::size_t k) {
    if (done_leaves.load() >= count) return;
    scan_range(file, end, count, ranges[k]);
    done_leaves += ranges[k].leaves;
  });
  if (!scanned) return fail(std::move(scanned).error());
  // The ranges in order, up to the one that holds the last leaf wanted.
  LeafPrefix out;
  std::uint64_t lines_before = 0;
  std::vector<LeafRun> runs;
  for (std::size_t k = 0; k < ranges.size() && out.found < count; ++k) {
    ScanRange& range = ranges[k];
    if (range.failure) return fail(std::move(*range.failure));
    if (range.leaves == 0) {
      lines_before += range.lines;
      continue;
    }
    if (out.found == 0) out.first_offset = range.first_offset;
    const std::uint64_t wanted = count - out.found;
    if (range.leaves > wanted) {
      // The prefix ends inside this range: scan it again up to its last leaf.
      ScanRange again;
      again.start = range.start;
      again.limit = range.limit;
      scan_range(file, end, wanted, again);
      if (again.failure) return fail(std::move(*again.failure));
      range = std::move(again);
    }
    out.found += range.leaves;
    out.last_offset = range.last_offset;
    out.last_end = range.last_end;
    out.last_line = lines_before + range.lines;
    lines_before += range.lines;
    runs.push_back(std::move(range.run));
  }
  if (auto added = add_runs(tree, runs, jobs); !added) return fail(std::move(added).error());
  out.root = tree.root();
  out.tree = std::move(tree);
  return out;
}

std::string format_proof(const InclusionProof& proof) {
  JsonWriter w;
  w.field("type", "inclusion")
      .field("index", proof.index)
      .field("tree_size", proof.tree_size)
      .field("leaf_hash", base64_encode(proof.leaf_hash));
  add_hashes(w, proof.hashes);
  if (proof.line) w.field("line", *proof.line);
  return w.finish();
}

std::string format_proof(const ConsistencyProof& proof) {
  JsonWriter w;
  w.field("type", "consistency").field("old_size", proof.old_size).field("new_size", proof.new_size);
  add_hashes(w, proof.hashes);
  return w.finish();
}

Result<Proof> parse_proof(std::string_view text) {
  if (text.size() > kMaxProofLength) {
    return malformed("longer than " + std::to_string(kMaxProofLength) + " bytes");
  }
  if (valid_utf8_prefix(text) != text.size()) return malformed("not valid UTF-8");
  auto m = ProofReader(text).read();
  if (!m) return fail(std::move(m).error());
  if (!m->type) return malformed("not a proof: no member \"type\"");
  const auto missing = [](std::string_view name) {
    return malformed("the proof has no member \"" + std::string(name) + "\"");
  };
  const auto extra = [](std::string_view name, std::string_view type) {
    return malformed("a " + std::string(type) + " proof has no member \"" + std::string(name) + "\"");
  };
  if (!m->hashes) return missing("hashes");
  if (*m->type == "inclusion") {
    if (m->old_size) return extra("old_size", "inclusion");
    if (m->new_size) return extra("new_size", "inclusion");
    if (!m->index) return missing("index");
    if (!m->tree_size) return missing("tree_size");
    if (!m->leaf_hash) return missing("leaf_hash");
    return InclusionProof{*m->index, *m->tree_size, *m->leaf_hash, std::move(*m->hashes),
                          std::move(m->line)};
  }
  if (*m->type == "consistency") {
    for (const auto& [name, present] :
         {std::pair{"index", m->index.has_value()}, std::pair{"tree_size", m->tree_size.has_value()},
          std::pair{"leaf_hash", m->leaf_hash.has_value()}, std::pair{"line", m->line.has_value()}}) {
      if (present) return extra(name, "consistency");
    }
    if (!m->old_size) return missing("old_size");
    if (!m->new_size) return missing("new_size");
    return ConsistencyProof{*m->old_size, *m->new_size, std::move(*m->hashes)};
  }
  return malformed("the proof's type is " + display(*m->type) +
                   ", neither \"inclusion\" nor \"consistency\"");
}

Result<FileLeaves> read_leaves(const platform::File& file, std::uint64_t count,
                               std::optional<std::uint64_t> keep) {
  FileLeaves out;
  Hasher hasher;
  RangeReader reader(file, 0);
  while (out.leaves.size() < count) {
    auto status = reader.next();
    if (!status) return fail(std::move(status).error());
    if (*status == LineStatus::kEnd) break;
    if (!reader.line_terminated()) break;
    const std::string_view line = reader.line();
    if (*status == LineStatus::kLine && is_blank_line(line)) continue;
    if (keep && *keep == out.leaves.size()) out.kept = std::string(line);
    out.leaves.push_back(hasher.leaf(line));
  }
  return out;
}

}  // namespace ledger::cli
