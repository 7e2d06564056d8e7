#include "audit/leaf_runs.h"

#include <bit>
#include <cstdint>

#include "audit/parallel.h"

namespace ledger::audit {

using tlog::Hash;
using tlog::Hasher;
using tlog::TreeBuilder;

namespace {

// The root of a complete subtree (a power of two leaves).
Hash complete_root(Hasher& hasher, std::span<const Hash> leaves) {
  if (leaves.size() == 1) return leaves[0];
  const std::size_t half = leaves.size() / 2;
  return hasher.node(complete_root(hasher, leaves.first(half)),
                     complete_root(hasher, leaves.subspan(half)));
}

// A complete subtree of a run: `size` leaves from the run's leaf `offset`.
struct Piece {
  std::uint64_t offset;
  std::uint64_t size;
  Hash hash{};
};

// Cuts the leaves [begin, end) of the tree into the largest complete subtrees
// that stand at their own multiples, left to right; offsets are from `base`.
void cut(std::uint64_t begin, std::uint64_t end, std::uint64_t base, std::vector<Piece>& pieces) {
  while (begin < end) {
    std::uint64_t size = begin == 0 ? std::bit_floor(end) : (begin & (~begin + 1));
    while (begin + size > end) size /= 2;
    pieces.push_back(Piece{begin - base, size});
    begin += size;
  }
}

}  // namespace

void add_runs(TreeBuilder& tree, std::span<LeafRun> runs, unsigned jobs) {
  // Where each run stands, and its complete subtrees, cut at the watched size
  // too so that the builder passes through it.
  std::vector<std::vector<Piece>> pieces(runs.size());
  std::uint64_t at = tree.size();
  // No cut when the builder has passed the watched size already (or has none).
  const std::uint64_t watch =
      tree.watched_root() || !tree.watch_size() ? 0 : *tree.watch_size();
  for (std::size_t r = 0; r < runs.size(); ++r) {
    const std::uint64_t end = at + runs[r].leaves.size();
    if (watch > at && watch < end) {
      cut(at, watch, at, pieces[r]);
      cut(watch, end, at, pieces[r]);
    } else {
      cut(at, end, at, pieces[r]);
    }
    at = end;
  }
  run_tasks(runs.size(), jobs, [&](std::size_t r) {
    Hasher hasher;
    for (Piece& piece : pieces[r]) {
      piece.hash = complete_root(hasher, std::span(runs[r].leaves).subspan(piece.offset, piece.size));
    }
  });
  for (const auto& run : pieces) {
    for (const Piece& piece : run) tree.add_subtree(piece.size, piece.hash);
  }
}

}  // namespace ledger::audit
