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

#include "ledger/failure.h"
#include "tlog/merkle.h"

namespace ledger::tlog {

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

}  // namespace ledger::tlog
