#include "audit/walk.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "audit/parallel.h"
#include "audit/writer_line.h"
#include "ledger/chain.h"
#include "ledger/entry.h"
#include "ledger/platform.h"
#include "ledger/utf8.h"

namespace ledger::audit {

using tlog::Hash;
using tlog::Hasher;
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
};

// The tree of a walk in ranges. Leaves join it in file order: the range whose
// turn it is (every range before it is done) adds its leaves as it walks; a
// later range keeps its leaves, within a budget shared by all ranges, and
// waits for its turn once the budget is spent. Ranges begin in order, so the
// range whose turn it is always runs and never waits: nothing deadlocks.
// The tree as each range's turn came is kept (a few hundred bytes each), so
// that a walk that ends in a range keeps only the leaves before its end.
class TreeFeed {
 public:
  struct State {
    TreeBuilder tree;
    std::optional<std::uint64_t> watched_offset;  // see WalkOutcome
  };

  TreeFeed(const TreeBuilder& tree, std::size_t ranges, std::size_t budget)
      : pending_(ranges), done_(ranges), at_turn_(ranges), budget_(budget) {
    now_.tree = tree;
    if (now_.tree.watched_root()) now_.watched_offset = 0;
    at_turn_[0] = now_;
  }

  // Range k's next leaf, of the line at `offset`.
  void add(std::size_t k, const Hash& leaf, std::uint64_t offset) {
    if (turn_.load(std::memory_order_acquire) != k) {
      std::unique_lock lock(mutex_);
      if (turn_.load(std::memory_order_relaxed) != k) {
        if (held_ < budget_) {
          pending_[k].push_back({leaf, offset});
          ++held_;
          return;
        }
        turned_.wait(lock, [&] { return turn_.load(std::memory_order_relaxed) == k; });
      }
    }
    if (failed_) return;
    if (!pending_[k].empty()) {
      const std::lock_guard lock(mutex_);
      join_pending(k);
    }
    join(leaf, offset);
  }

  // Range k is done, walked or skipped: the leaves it keeps join in their
  // turn. The turn moves on whatever happens, so that no range waits forever:
  // a tree that could not take the leaves (out of memory) is failed().
  void done(std::size_t k) noexcept {
    {
      const std::lock_guard lock(mutex_);
      done_[k] = true;
      std::size_t turn = turn_.load(std::memory_order_relaxed);
      while (turn < done_.size() && done_[turn]) {
        try {
          if (!failed_) join_pending(turn);
          if (!failed_ && turn + 1 < done_.size()) at_turn_[turn + 1] = now_;
        } catch (...) {
          failed_ = true;
        }
        drop_pending(turn++);
      }
      turn_.store(turn, std::memory_order_release);
    }
    turned_.notify_all();
  }

  // Once every range is done: whether the tree could not take every leaf,
  // and else the tree of the leaves before range k, or of all.
  bool failed() const { return failed_; }
  State& before(std::size_t k) { return k < at_turn_.size() ? at_turn_[k] : now_; }

 private:
  struct Pending {
    Hash leaf;
    std::uint64_t offset;
  };

  void join(const Hash& leaf, std::uint64_t offset) {
    now_.tree.add_leaf(leaf);
    if (!now_.watched_offset && now_.tree.watched_root()) now_.watched_offset = offset;
  }
  // Under the lock, or by the range whose turn it is.
  void join_pending(std::size_t k) {
    for (const Pending& p : pending_[k]) join(p.leaf, p.offset);
    drop_pending(k);
  }
  void drop_pending(std::size_t k) noexcept {
    held_ -= pending_[k].size();
    std::vector<Pending>().swap(pending_[k]);
  }

  State now_;  // written by the range whose turn it is, or under the lock
  std::mutex mutex_;
  std::condition_variable turned_;
  std::atomic<std::size_t> turn_{0};          // the first range not yet done
  std::vector<std::vector<Pending>> pending_;  // leaves kept by ranges before their turn
  std::vector<bool> done_;
  std::vector<State> at_turn_;  // the tree as range k's turn came
  std::size_t held_ = 0;        // leaves kept, all ranges together
  bool failed_ = false;         // under the lock, or read once every range is done
  const std::size_t budget_;
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
  TreeFeed* tree = nullptr;        // hash the entry lines that pass and end with a line feed
};

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

void walk_lines(RangeReader& reader, const RangePlan& plan, const WalkOptions& options,
                Segment& segment, WalkControl& control) {
  ChainCheck chain = range_check(plan);
  std::string written;  // the writer's line for the entry last read, when rewritten
  std::optional<Hasher> hasher;
  if (plan.tree != nullptr || options.on_leaf) hasher.emplace();
  std::uint64_t reported = reader.position();
  const std::uint64_t max_lines =
      options.last_line > plan.lines_before ? options.last_line - plan.lines_before : 0;
  for (;;) {
    if (segment.lines == max_lines) break;
    auto status = reader.next();
    if (!status) {
      segment.failure = std::move(status).error();
      break;
    }
    if (*status == LineStatus::kEnd) break;
    ++segment.lines;
    segment.end = reader.position();
    if (segment.lines % kControlEvery == 0) {
      control.bytes_done.fetch_add(segment.end - reported, std::memory_order_relaxed);
      reported = segment.end;
      // An earlier range has broken: what this one finds will never be reported.
      if (control.first_break.load(std::memory_order_relaxed) < plan.start) break;
    }
    const std::string_view line = reader.line();
    const std::uint64_t offset = reader.line_offset();
    // A line without a line feed is the last one read; when it is not a whole
    // entry, a writer may not have finished it (or was stopped): a torn tail.
    const bool open_line = !reader.line_terminated();
    if (*status == LineStatus::kInvalidUtf8) {
      segment.break_found = Break::at(open_line ? BreakKind::kTornTail : BreakKind::kInvalidUtf8, segment.lines,
                          offset);
      segment.break_found->column = valid_utf8_prefix(line) + 1;
      segment.break_found->invalid_utf8 = open_line;
      if (open_line) segment.break_found->length = segment.end - offset;
      break;
    }
    auto verdict = chain.check(line);
    if (!verdict) {
      segment.failure = std::move(verdict).error();
      break;
    }
    if (*verdict == LineVerdict::kBlank) continue;
    if (*verdict == LineVerdict::kNotEntry) {
      segment.break_found =
          Break::at(open_line ? BreakKind::kTornTail : BreakKind::kNotEntry, segment.lines, offset);
      segment.break_found->column = chain.parse_failure().offset + 1;
      segment.break_found->parse_error = chain.parse_failure().code;
      if (open_line) segment.break_found->length = segment.end - offset;
      break;
    }
    const EntryFields& entry = chain.entry();
    const EntryMark mark{segment.lines, offset, segment.end, entry.index, reader.line_terminated()};
    if (!segment.first) {
      segment.first = mark;
      segment.first_signature = entry.signature;
      // Without a link into the range, it is checked at the seam afterwards.
      if (plan.link == nullptr) segment.first_prev_hash = entry.prev_hash;
    }
    if (*verdict == LineVerdict::kLinkBroken) {
      segment.break_found = parsed_break(BreakKind::kLinkBroken, mark, entry);
      segment.break_found->expected = chain.link();
      break;
    }
    if (*verdict == LineVerdict::kBadTimestamp) {
      segment.break_found = parsed_break(BreakKind::kBadTimestamp, mark, entry);
      segment.break_found->timestamp = entry.timestamp;
      break;
    }
    if (*verdict == LineVerdict::kContentAltered) {
      segment.break_found = parsed_break(BreakKind::kContentAltered, mark, entry);
      segment.break_found->expected = chain.computed();
      break;
    }
    if (const std::size_t column = writer_line_difference(line, entry, written); column != 0) {
      if (options.strict) {
        segment.break_found = parsed_break(BreakKind::kNonCanonical, mark, entry);
        segment.break_found->column = column;
        break;
      }
      if (segment.non_canonical++ == 0) segment.first_non_canonical = segment.lines;
    }
    ++segment.entries;
    segment.before_last = segment.last;
    segment.last = mark;
    // Only the file's last line can lack its line feed; a checkpoint stops
    // before such an entry, at the head before it.
    if (!mark.terminated) segment.head_before_last = entry.prev_hash;
    if (hasher && mark.terminated) {
      const Hash leaf = hasher->leaf(line);
      if (plan.tree != nullptr) plan.tree->add(plan.index, leaf, offset);
      if (options.on_leaf && !options.on_leaf(leaf, line)) break;
    }
    if (segment.entries == plan.max_entries) break;
    if (options.on_entry && !options.on_entry(plan.lines_before + segment.lines, entry, line)) break;
  }
  // The check has taken a non-canonical entry as linked: the head stays the one before it.
  const bool passed_break = segment.break_found && segment.break_found->kind == BreakKind::kNonCanonical;
  if (segment.entries > 0) segment.head = passed_break ? segment.break_found->prev_hash : chain.link();
  control.bytes_done.fetch_add(segment.end > reported ? segment.end - reported : 0,
                               std::memory_order_relaxed);
  if (segment.break_found) {
    std::uint64_t seen = control.first_break.load(std::memory_order_relaxed);
    while (segment.break_found->offset < seen &&
           !control.first_break.compare_exchange_weak(seen, segment.break_found->offset)) {
    }
  }
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
    RangeReader reader(file, start, plan.limit, options.buffer_size, plan.end);
    walk_lines(reader, plan, options, segment, control);
  } catch (...) {
    // A range may run on a thread of its own, where an exception could not
    // reach the tool's entry point: it ends the range as an internal fault.
    segment.failure = current_fault();
  }
  return segment;
}

EntryMark rebased(EntryMark mark, std::uint64_t lines_before) {
  mark.line += lines_before;
  return mark;
}

enum class Fold : std::uint8_t {
  kGoesOn,     // the walk goes on after the range
  kEndsAtSeam,  // the range's first entry does not link on: none of it joins the chain
  kEndsInside,  // the walk ends inside the range, after what of it passed
};

// Appends a walked range to the chain.
Fold fold(WalkOutcome& out, Segment& segment, bool link_at_seam) {
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
    return Fold::kEndsAtSeam;
  }
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
    return Fold::kEndsInside;
  }
  chain.lines += segment.lines;
  if (segment.lines > 0) chain.end = segment.end;
  if (segment.failure) {
    out.failure = std::move(segment.failure);
    return Fold::kEndsInside;
  }
  return Fold::kGoesOn;
}

}  // namespace

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
  std::optional<TreeFeed> tree;
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
  if (options.tree) {
    TreeBuilder tree;
    if (options.tree_watch) tree.watch(*options.tree_watch);
    state_->tree.emplace(tree, ranges, options.pending_leaves);
  }
  for (std::size_t k = 0; k < ranges; ++k) {
    state_->plans[k] =
        RangePlan{.start = start + span * k / ranges,
                  .limit = k + 1 < ranges ? start + span * (k + 1) / ranges : RangeReader::kNoLimit,
                  .align = k > 0,
                  .link = k == 0 ? &out.chain.head : nullptr,
                  .end = options.end,
                  .lines_before = k == 0 ? out.chain.lines : 0,
                  .index = k,
                  .tree = state_->tree ? &*state_->tree : nullptr};
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
  if (s.tree) s.tree->done(k);
}

WalkOutcome RangedWalk::finish() {
  State& s = *state_;
  const std::size_t ranges = s.segments.size();
  std::size_t folded = 0;
  Fold ended = Fold::kGoesOn;
  while (folded < ranges && (ended = fold(s.out, s.segments[folded], folded > 0)) == Fold::kGoesOn) {
    ++folded;
  }
  if (s.tree && s.tree->failed()) {
    // Without its tree the walk proves nothing more than what it broke at.
    if (!s.out.break_found && !s.out.failure) s.out.failure = Failure::out_of_memory();
  } else if (s.tree) {
    // The tree up to where the walk ended.
    TreeFeed::State& tree = s.tree->before(ended == Fold::kEndsInside ? folded + 1 : folded);
    s.out.tree = std::move(tree.tree);
    s.out.watched_offset = tree.watched_offset;
  }
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
  static_cast<void>(fold(out, segment, false));
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
