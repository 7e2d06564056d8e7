#include "audit/walk.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <new>
#include <utility>
#include <vector>

#include "audit/parallel.h"
#include "audit/leaf_count.h"
#include "audit/writer_line.h"
#include "ledger/chain.h"
#include "ledger/entry.h"
#include "ledger/platform.h"
#include "ledger/utf8.h"

namespace ledger::audit {

using tlog::Hash;
using tlog::Hasher;
using tlog::SubtreeRun;
using tlog::TreeBuilder;

namespace {

constexpr std::uint64_t kControlEvery = 1024;  // lines between progress and stop checks

// Ranges per thread. Threads take the next range as they finish one, so a
// thread that gets less processor time walks less of the file; a fixed number
// keeps the memory for the ranges' results independent of the file's size.
constexpr std::uint64_t kRangesPerJob = 8;

// What a walk over one range found. Line numbers count from the range's start.
struct Segment {
  std::uint64_t lines = 0;
  std::uint64_t entries = 0;
  std::uint64_t end = 0;
  std::optional<EntryMark> first;  // the first entry that parsed, passed or not
  std::string first_prev_hash;     // its prev_hash, checked at the seam afterwards
  std::string first_signature;     // its signature
  std::optional<EntryMark> last;
  std::optional<EntryMark> before_last;
  std::string head;              // signature of `last`
  std::string head_before_last;  // prev_hash of `last`, when its line has no line feed
  std::uint64_t non_canonical = 0;        // entries that passed, not on the writer's line
  std::uint64_t first_non_canonical = 0;  // the line of the first of them
  std::optional<Break> break_found;
  std::optional<Failure> failure;
  // With a tree: the leaves of the entry lines that passed, as subtrees of
  // the whole tree, and the offset of the line of the watched size's last leaf.
  std::optional<tlog::SubtreeRun> leaves;
  std::optional<std::uint64_t> watched_offset;
};

struct RangePlan {
  std::uint64_t start;      // a line start, or a raw offset when `align`
  std::uint64_t limit;      // lines starting here or later belong to the next range
  bool align;               // move `start` to the next line start first
  const std::string* link;  // the link into the range; null when checked at the seam
  std::uint64_t end = RangeReader::kNoLimit;  // no byte here or later is read
  std::uint64_t max_entries = std::numeric_limits<std::uint64_t>::max();  // stop after so many
  std::uint64_t lines_before = 0;  // the number of the line before the range, when known
  std::size_t index = 0;           // its place among the walk's ranges
  bool tree = false;               // hash the entry lines that pass and end with a line feed
  LeafCounts* counts = nullptr;    // with `tree` and several ranges: where each range's leaves begin
  const std::atomic<bool>* cancel = nullptr;  // the walk's cancel flag, or null
};

EntryMark rebased(EntryMark mark, std::uint64_t lines_before) {
  mark.line += lines_before;
  return mark;
}

Break parsed_break(BreakKind kind, const EntryMark& mark, const EntryFields& entry) {
  Break b = Break::at(kind, mark.line, mark.offset);
  b.index = entry.index;
  b.prev_hash = entry.prev_hash;
  b.signature = entry.signature;
  return b;
}

// The chain check for a range: with the link into it, or with the link left
// to be checked at the seam once the range before it is done.
ChainCheck range_check(const RangePlan& plan) {
  if (plan.link != nullptr) return ChainCheck(*plan.link);
  return ChainCheck(ChainCheck::UnknownLink{});
}

// Walks the lines of one range into its segment, up to its end or its first
// break: the steps of one line are methods, the loop is run().
class RangeWalker {
 public:
  RangeWalker(RangeReader& reader, const RangePlan& plan, const WalkOptions& options,
              Segment& segment, WalkControl& control)
      : reader_(reader),
        plan_(plan),
        options_(options),
        segment_(segment),
        control_(control),
        chain_(range_check(plan)),
        reported_(reader.position()),
        max_lines_(options.last_line > plan.lines_before ? options.last_line - plan.lines_before : 0) {
    if (plan.tree || options.on_leaf) hasher_.emplace();
  }

  void run() {
    while (segment_.lines != max_lines_ && next_line()) {
    }
    finish();
  }

 private:
  // Reads and judges the next line; false when the walk ends.
  bool next_line() {
    auto status = reader_.next();
    if (!status) {
      segment_.failure = std::move(status).error();
      return false;
    }
    if (*status == LineStatus::kEnd) return false;
    ++segment_.lines;
    segment_.end = reader_.position();
    if (segment_.lines % kControlEvery == 0 && !report_progress()) return false;
    const std::string_view line = reader_.line();
    if (*status == LineStatus::kInvalidUtf8) {
      set_unparsed_break(BreakKind::kInvalidUtf8, valid_utf8_prefix(line) + 1);
      return false;
    }
    auto verdict = chain_.check(line);
    if (!verdict) {
      segment_.failure = std::move(verdict).error();
      return false;
    }
    if (*verdict == LineVerdict::kBlank) return true;
    if (*verdict == LineVerdict::kNotEntry) {
      set_unparsed_break(BreakKind::kNotEntry, chain_.parse_failure().offset + 1);
      segment_.break_found->parse_error = chain_.parse_failure().code;
      return false;
    }
    return judge_entry(*verdict, line);
  }

  // Adds the bytes walked to the progress; false when an earlier range has
  // broken, so that what this one finds would never be reported.
  bool report_progress() {
    control_.bytes_done.fetch_add(segment_.end - reported_, std::memory_order_relaxed);
    reported_ = segment_.end;
    return control_.first_break.load(std::memory_order_relaxed) >= plan_.start;
  }

  // A line that is not an entry, of `kind`, failing at byte `column` (1-based).
  void set_unparsed_break(BreakKind kind, std::size_t column) {
    segment_.break_found = unparsed_line_break(reader_, segment_.lines, kind, column);
  }

  // An entry that parsed: its link, timestamp, digest and the writer's line;
  // then it joins the segment. False when the walk ends at it.
  bool judge_entry(LineVerdict verdict, std::string_view line) {
    const EntryFields& entry = chain_.entry();
    const EntryMark mark{segment_.lines, reader_.line_offset(), segment_.end, entry.index,
                         reader_.line_terminated()};
    if (!segment_.first) {
      segment_.first = mark;
      segment_.first_signature = entry.signature;
      // Without a link into the range, it is checked at the seam afterwards.
      if (plan_.link == nullptr) segment_.first_prev_hash = entry.prev_hash;
    }
    if (verdict != LineVerdict::kLinked) {
      set_entry_break(verdict, mark, entry);
      return false;
    }
    if (const std::size_t column = writer_line_difference(line, entry, written_); column != 0) {
      if (options_.strict) {
        segment_.break_found = parsed_break(BreakKind::kNonCanonical, mark, entry);
        segment_.break_found->column = column;
        return false;
      }
      if (segment_.non_canonical++ == 0) segment_.first_non_canonical = segment_.lines;
    }
    return accept(mark, entry, line);
  }

  void set_entry_break(LineVerdict verdict, const EntryMark& mark, const EntryFields& entry) {
    switch (verdict) {
      case LineVerdict::kLinkBroken:
        segment_.break_found = parsed_break(BreakKind::kLinkBroken, mark, entry);
        segment_.break_found->expected = chain_.link();
        return;
      case LineVerdict::kBadTimestamp:
        segment_.break_found = parsed_break(BreakKind::kBadTimestamp, mark, entry);
        segment_.break_found->timestamp = entry.timestamp;
        return;
      case LineVerdict::kContentAltered:
        segment_.break_found = parsed_break(BreakKind::kContentAltered, mark, entry);
        segment_.break_found->expected = chain_.computed();
        return;
      case LineVerdict::kBlank:
      case LineVerdict::kLinked:
      case LineVerdict::kNotEntry:
        return;  // not a break of a parsed entry
    }
  }

  // An entry that passed joins the segment (and the tree). False when the
  // walk ends after it.
  bool accept(const EntryMark& mark, const EntryFields& entry, std::string_view line) {
    ++segment_.entries;
    segment_.before_last = segment_.last;
    segment_.last = mark;
    // Only the file's last line can lack its line feed; a checkpoint stops
    // before such an entry, at the head before it.
    if (!mark.terminated) segment_.head_before_last = entry.prev_hash;
    if (hasher_ && mark.terminated) {
      const Hash leaf = hasher_->leaf(line);
      if (segment_.leaves) {
        if (segment_.leaves->next() + 1 == options_.tree_watch) segment_.watched_offset = mark.offset;
        segment_.leaves->add_leaf(leaf);
      }
      if (options_.on_leaf && !options_.on_leaf(leaf, line)) return false;
    }
    if (segment_.entries == plan_.max_entries) return false;
    return !options_.on_entry || options_.on_entry(rebased(mark, plan_.lines_before), entry, line);
  }

  void finish() {
    // The check has taken a non-canonical entry as linked: the head stays the one before it.
    const std::optional<Break>& found = segment_.break_found;
    const bool passed_break = found && found->kind == BreakKind::kNonCanonical;
    if (segment_.entries > 0) segment_.head = passed_break ? found->prev_hash : chain_.link();
    control_.bytes_done.fetch_add(segment_.end > reported_ ? segment_.end - reported_ : 0,
                                  std::memory_order_relaxed);
    if (found) {
      std::uint64_t seen = control_.first_break.load(std::memory_order_relaxed);
      while (found->offset < seen && !control_.first_break.compare_exchange_weak(seen, found->offset)) {
      }
    }
  }

  RangeReader& reader_;
  const RangePlan& plan_;
  const WalkOptions& options_;
  Segment& segment_;
  WalkControl& control_;
  ChainCheck chain_;
  std::string written_;  // the writer's line for the entry last read, when rewritten
  std::optional<Hasher> hasher_;
  std::uint64_t reported_;  // bytes of the range added to the progress so far
  const std::uint64_t max_lines_;
};

// The number of leaves before the range that starts at `start`: with several
// ranges, once it has counted its own and the ranges before it theirs.
Result<std::uint64_t> first_leaf(const platform::File& file, const RangePlan& plan,
                                 std::uint64_t start) {
  if (plan.counts == nullptr) return std::uint64_t{0};
  // No range follows the last one: its own count is of no use.
  if (plan.limit != RangeReader::kNoLimit) {
    auto count = count_leaf_lines(file, start, plan.limit, plan.end, plan.cancel);
    plan.counts->publish(plan.index, count.value_or(0));
    if (!count) return fail(std::move(count).error());
  }
  return plan.counts->leaves_before(plan.index);
}

Segment walk_range(const platform::File& file, const RangePlan& plan, const WalkOptions& options,
                   WalkControl& control) {
  Segment segment;
  try {
    std::uint64_t start = plan.start;
    if (plan.align) {
      auto aligned = platform::line_start_at_or_after(file, start);
      if (!aligned) {
        segment.failure = std::move(aligned).error();
        return segment;
      }
      start = *aligned;
    }
    segment.end = start;
    if (plan.tree) {
      auto first = first_leaf(file, plan, start);
      if (!first) {
        segment.failure = std::move(first).error();
        return segment;
      }
      segment.leaves.emplace(*first, options.tree_watch.value_or(SubtreeRun::kNoCut));
    }
    RangeReader reader(file, start, plan.limit, options.buffer_size, plan.end, plan.cancel);
    RangeWalker(reader, plan, options, segment, control).run();
  } catch (...) {
    // A range may run on a thread of its own, where an exception could not
    // reach the tool's entry point: it ends the range as an internal fault.
    segment.failure = current_fault();
  }
  return segment;
}

// Appends a range's leaves to the tree. False, with an internal fault, when
// they do not follow the leaves before them: the range counted other lines
// than it walked.
bool add_leaves(WalkOutcome& out, const Segment& segment) {
  for (const SubtreeRun::Subtree& subtree : segment.leaves->subtrees()) {
    if (subtree.first != out.tree.size()) {
      out.failure = Failure::internal("the entry lines counted in a range are not those walked");
      return false;
    }
    out.tree.add_subtree(subtree.size, subtree.hash);
  }
  if (segment.watched_offset) out.watched_offset = segment.watched_offset;
  return true;
}

// Appends a walked range to the chain. Returns false when the walk ends in it.
bool fold(WalkOutcome& out, Segment& segment, bool link_at_seam) {
  Chain& chain = out.chain;
  const std::uint64_t base = chain.lines;
  if (link_at_seam && segment.first && segment.first_prev_hash != chain.head) {
    // The seam check comes before anything else the range found at its first entry.
    Break b = Break::at(BreakKind::kLinkBroken, base + segment.first->line, segment.first->offset);
    b.index = segment.first->index;
    b.prev_hash = std::move(segment.first_prev_hash);
    b.signature = std::move(segment.first_signature);
    b.expected = chain.head;
    chain.lines = b.line - 1;
    chain.end = b.offset;
    out.break_found = std::move(b);
    return false;
  }
  if (segment.leaves && !add_leaves(out, segment)) return false;
  if (segment.entries > 0) {
    if (chain.entries == 0) chain.first = std::move(segment.first_signature);
    chain.before_last = segment.entries > 1 ? rebased(*segment.before_last, base) : chain.last;
    chain.last = rebased(*segment.last, base);
    chain.head_before_last = std::move(segment.head_before_last);
    chain.head = std::move(segment.head);
    chain.entries += segment.entries;
  }
  if (segment.non_canonical > 0) {
    if (chain.non_canonical == 0) chain.first_non_canonical = base + segment.first_non_canonical;
    chain.non_canonical += segment.non_canonical;
  }
  if (segment.break_found) {
    segment.break_found->line += base;
    chain.lines = segment.break_found->line - 1;
    chain.end = segment.break_found->offset;
    out.break_found = std::move(segment.break_found);
    return false;
  }
  chain.lines += segment.lines;
  if (segment.lines > 0) chain.end = segment.end;
  if (segment.failure) {
    out.failure = std::move(segment.failure);
    return false;
  }
  return true;
}

}  // namespace

Break unparsed_line_break(const RangeReader& reader, std::uint64_t line, BreakKind kind,
                          std::size_t column) {
  const bool open_line = !reader.line_terminated();
  const std::uint64_t offset = reader.line_offset();
  Break found = Break::at(open_line ? BreakKind::kTornTail : kind, line, offset);
  found.column = column;
  found.invalid_utf8 = open_line && kind == BreakKind::kInvalidUtf8;
  if (open_line) found.length = reader.position() - offset;
  return found;
}

struct RangedWalk::State {
  // A constructor, not aggregate initialisation: g++ 12 can destroy members
  // of a brace-initialised aggregate wrongly when one of them throws.
  State(const platform::File& f, const WalkOptions& o, WalkControl& c)
      : file(f), options(o), control(c) {}

  const platform::File& file;
  const WalkOptions& options;
  WalkControl& control;
  WalkOutcome out;
  std::vector<RangePlan> plans;
  std::vector<Segment> segments;
  std::optional<LeafCounts> counts;  // with a tree and several ranges
};

RangedWalk::RangedWalk(const platform::File& file, Chain chain, const WalkOptions& options,
                       WalkControl& control)
    : state_(std::make_unique<State>(file, options, control)) {
  WalkOutcome& out = state_->out;
  const std::uint64_t start = chain.end;
  out.chain = std::move(chain);
  auto size = platform::file_size(file);
  if (!size) {
    out.failure = std::move(size).error();
    return;
  }
  const std::uint64_t end = std::min(*size, options.end);
  const std::uint64_t span = end > start ? end - start : 0;
  const std::uint64_t by_size =
      std::max<std::uint64_t>(1, span / std::max<std::uint64_t>(1, options.min_range_bytes));
  const bool one_range =
      options.on_entry || options.on_leaf || options.last_line != WalkOptions{}.last_line;
  const unsigned jobs = one_range ? 1u : std::max(1u, options.jobs);
  const auto ranges = static_cast<std::size_t>(
      std::min<std::uint64_t>(jobs == 1 ? 1 : jobs * kRangesPerJob, by_size));
  state_->plans.resize(ranges);
  state_->segments.resize(ranges);
  if (options.tree && options.tree_watch) {
    out.tree.watch(*options.tree_watch);
    if (out.tree.watched_root()) out.watched_offset = 0;
  }
  if (options.tree && ranges > 1) state_->counts.emplace(ranges);
  for (std::size_t k = 0; k < ranges; ++k) {
    state_->plans[k] =
        RangePlan{.start = start + span * k / ranges,
                  .limit = k + 1 < ranges ? start + span * (k + 1) / ranges : RangeReader::kNoLimit,
                  .align = k > 0,
                  .link = k == 0 ? &out.chain.head : nullptr,
                  .end = options.end,
                  .lines_before = k == 0 ? out.chain.lines : 0,
                  .index = k,
                  .tree = options.tree,
                  .counts = state_->counts ? &*state_->counts : nullptr,
                  .cancel = options.cancel};
  }
}

RangedWalk::~RangedWalk() = default;

std::size_t RangedWalk::ranges() const { return state_->plans.size(); }

void RangedWalk::walk(std::size_t k) {
  State& s = *state_;
  // A range after a break that is already known would never be reported.
  if (s.control.first_break.load(std::memory_order_relaxed) >= s.plans[k].start) {
    s.segments[k] = walk_range(s.file, s.plans[k], s.options, s.control);
  }
  // A range that did not count (skipped, or failed before) must not keep the
  // ranges after it waiting; their leaves do not count after it.
  if (s.counts) s.counts->publish(k, 0);
}

WalkOutcome RangedWalk::finish() {
  State& s = *state_;
  const std::size_t ranges = s.segments.size();
  std::size_t folded = 0;
  while (folded < ranges && fold(s.out, s.segments[folded], folded > 0)) ++folded;
  return std::move(s.out);
}

void walk_ranges(RangedWalk& walk, unsigned jobs) {
  // No task fails: a range keeps its fault as its outcome (walk_range).
  static_cast<void>(run_tasks(walk.ranges(), jobs, [&walk](std::size_t k) { walk.walk(k); }));
}

WalkOutcome walk_file(const platform::File& file, Chain chain, const WalkOptions& options,
                      WalkControl& control) {
  RangedWalk walk(file, std::move(chain), options, control);
  walk_ranges(walk, options.jobs);
  return walk.finish();
}

WalkOutcome walk_first_entry(const platform::File& file, std::uint64_t end) {
  WalkOutcome out;
  WalkControl control;
  const RangePlan plan{.start = 0,
                       .limit = RangeReader::kNoLimit,
                       .align = false,
                       .link = &out.chain.head,
                       .end = end,
                       .max_entries = 1};
  const WalkOptions options;
  Segment segment = walk_range(file, plan, options, control);
  fold(out, segment, false);
  return out;
}

Result<LineCheck> check_line(const platform::File& file, std::uint64_t offset) {
  RangeReader reader(file, offset, offset + 1);
  auto status = reader.next();
  if (!status) return fail(std::move(status).error());
  LineCheck check;
  check.status = *status;
  if (*status != LineStatus::kLine) return check;
  // Its link is not judged here: the check takes the entry's prev_hash as given.
  ChainCheck chain{ChainCheck::UnknownLink{}};
  auto verdict = chain.check(reader.line());
  if (!verdict) return fail(std::move(verdict).error());
  check.blank = *verdict == LineVerdict::kBlank;
  if (*verdict == LineVerdict::kNotEntry) check.parse_failure = chain.parse_failure();
  if (*verdict != LineVerdict::kLinked && *verdict != LineVerdict::kContentAltered &&
      *verdict != LineVerdict::kBadTimestamp) {
    return check;
  }
  check.bad_timestamp = *verdict == LineVerdict::kBadTimestamp;
  const EntryFields& e = chain.entry();
  check.entry = LogEntry{e.index,
                         std::string(e.timestamp),
                         std::string(e.prev_hash),
                         std::string(e.actor),
                         e.delta_i,
                         std::string(e.payload),
                         std::string(e.signature)};
  if (!check.bad_timestamp) check.digest.assign(chain.computed());
  return check;
}

}  // namespace ledger::audit
