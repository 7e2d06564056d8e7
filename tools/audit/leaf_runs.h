// Adding to a Merkle tree (tlog/merkle.h) the leaves of ranges of a file that
// were read apart, hashing their complete subtrees on several threads.
#pragma once

#include <span>
#include <vector>

#include "tlog/merkle.h"

namespace ledger::audit {

// The leaf hashes of one range of lines whose place in the tree is not yet
// known (a range that a thread walks while earlier ranges are still counted).
struct LeafRun {
  std::vector<tlog::Hash> leaves;
};

// Appends `runs` to `tree` in order, hashing each run's complete subtrees on
// up to `jobs` threads. Each run's leaves follow the previous run's.
void add_runs(tlog::TreeBuilder& tree, std::span<LeafRun> runs, unsigned jobs);

}  // namespace ledger::audit
