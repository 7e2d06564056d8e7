// Inclusion and consistency proofs of a ledger's Merkle tree (merkle.h), as
// one-line JSON objects:
//
//   {"type":"inclusion","index":N,"tree_size":S,"leaf_hash":"<b64>",
//    "hashes":["<b64>",...],"line":"<the entry line>"}
//   {"type":"consistency","old_size":N0,"new_size":N1,"hashes":["<b64>",...]}
//
// Hashes in standard base64, in the order of RFC 6962 (bottom up). Reading a
// proof, members may stand in any order; each must occur once, no other may,
// and "line" may be left out of an inclusion proof.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/merkle.h"
#include "ledger/failure.h"
#include "ledger/platform.h"

namespace ledger::cli {

// Longest proof text a reader accepts: a line of a ledger may be long.
inline constexpr std::size_t kMaxProofLength = 16 * 1024 * 1024;
// Most hashes a proof of a tree of at most 2^63 leaves needs.
inline constexpr std::size_t kMaxProofHashes = 128;

struct InclusionProof {
  std::uint64_t index = 0;
  std::uint64_t tree_size = 0;
  Hash leaf_hash{};
  std::vector<Hash> hashes;
  std::optional<std::string> line;
};

struct ConsistencyProof {
  std::uint64_t old_size = 0;
  std::uint64_t new_size = 0;
  std::vector<Hash> hashes;
};

using Proof = std::variant<InclusionProof, ConsistencyProof>;

// One line, without a line feed.
std::string format_proof(const InclusionProof& proof);
std::string format_proof(const ConsistencyProof& proof);

// Reads a proof; a trailing line feed is allowed. Anything else fails with
// kind kInvalidArgument and a one-line reason.
Result<Proof> parse_proof(std::string_view text);

// The leaf hashes of the first `count` entry lines of a file (fewer when it
// holds fewer), and the line of leaf `keep` when asked. An entry line is any
// line ended by a line feed that is not blank; whether it is an entry is not
// judged here: a file that no longer gives a checkpoint's root fails the
// comparison with it.
struct FileLeaves {
  std::vector<Hash> leaves;
  std::string kept;  // the line of leaf `keep`
};
Result<FileLeaves> read_leaves(const platform::File& file, std::uint64_t count,
                               std::optional<std::uint64_t> keep);

// The tree of the first `count` entry lines of a file (as read_leaves takes
// them), read on up to `jobs` threads, reading no byte at or past `end`.
struct LeafPrefix {
  std::uint64_t found = 0;  // entry lines found, at most `count`
  Hash root{};              // the root of the tree of the `found` lines
  // Where the first and the last of them stand, when found > 0.
  std::uint64_t first_offset = 0;
  std::uint64_t last_offset = 0;
  std::uint64_t last_end = 0;   // just past its line feed
  std::uint64_t last_line = 0;  // its 1-based line number
  TreeBuilder tree;             // the tree itself, to add more leaves to
};
Result<LeafPrefix> scan_leaf_prefix(const platform::File& file, std::uint64_t count,
                                    std::uint64_t end, unsigned jobs,
                                    std::uint64_t min_range_bytes = 4 << 20);

}  // namespace ledger::cli
