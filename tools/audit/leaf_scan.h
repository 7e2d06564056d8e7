// The leaves of a ledger file's Merkle tree (tlog/merkle.h), read from the
// file: for a proof of one of its lines, and to compare a prefix of the file
// with a checkpoint note's root.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ledger/failure.h"
#include "ledger/platform.h"
#include "tlog/merkle.h"

namespace ledger::audit {

// The leaf hashes of the first `count` entry lines of a file (fewer when it
// holds fewer), and the line of leaf `keep` when asked. An entry line is any
// line ended by a line feed that is not blank; whether it is an entry is not
// judged here: a file that no longer gives a checkpoint's root fails the
// comparison with it.
struct FileLeaves {
  std::vector<tlog::Hash> leaves;
  std::string kept;  // the line of leaf `keep`
};
Result<FileLeaves> read_leaves(const platform::File& file, std::uint64_t count,
                               std::optional<std::uint64_t> keep);

// The tree of the first `count` entry lines of a file (as read_leaves takes
// them), read on up to `jobs` threads, reading no byte at or past `end`.
struct LeafPrefix {
  std::uint64_t found = 0;  // entry lines found, at most `count`
  tlog::Hash root{};        // the root of the tree of the `found` lines
  // Where the first and the last of them stand, when found > 0.
  std::uint64_t first_offset = 0;
  std::uint64_t last_offset = 0;
  std::uint64_t last_end = 0;   // just past its line feed
  std::uint64_t last_line = 0;  // its 1-based line number
  tlog::TreeBuilder tree;       // the tree itself, to add more leaves to
};
Result<LeafPrefix> scan_leaf_prefix(const platform::File& file, std::uint64_t count,
                                    std::uint64_t end, unsigned jobs,
                                    std::uint64_t min_range_bytes = 4 << 20);

}  // namespace ledger::audit
