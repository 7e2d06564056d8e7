#include "audit/leaf_scan.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "audit/leaf_runs.h"
#include "audit/parallel.h"
#include "audit/range_reader.h"

namespace ledger::audit {

using tlog::Hasher;
using tlog::TreeBuilder;

namespace {

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
  } catch (const std::bad_alloc&) {
    range.failure = Failure::internal("out of memory");
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
  run_tasks(ranges.size(), jobs, [&](std::size_t k) {
    if (done_leaves.load() >= count) return;
    scan_range(file, end, count, ranges[k]);
    done_leaves += ranges[k].leaves;
  });
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
  add_runs(tree, runs, jobs);
  out.root = tree.root();
  out.tree = std::move(tree);
  return out;
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

}  // namespace ledger::audit
