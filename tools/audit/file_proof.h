// Inclusion and consistency proofs made from a ledger file: its first SIZE
// entry lines are walked with the chain rule, as verification walks them, and
// hashed into the tree in the same read. Memory stays a few hundred bytes of
// hashes for any tree: each proof hash is the root of one subtree, hashed as
// its leaves stream past.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audit/walk.h"
#include "ledger/failure.h"
#include "ledger/platform.h"
#include "tlog/merkle.h"
#include "tlog/note.h"
#include "tlog/proof.h"

namespace ledger::audit {

struct ProofRequest {
  std::uint64_t size = 0;                 // the tree: the first `size` entry lines
  std::optional<std::uint64_t> entry;     // an inclusion proof of this leaf, or
  std::optional<std::uint64_t> old_size;  // a consistency proof from the tree of this size
};

struct FileProof {
  std::uint64_t leaves = 0;      // entry lines walked, at most the request's size
  std::optional<Break> break_found;      // the chain broke before the tree was complete
  tlog::Hash root{};                   // the tree of the `leaves` lines
  std::optional<tlog::Hash> old_root;  // with old_size, once that many lines were walked
  std::vector<tlog::Hash> hashes;      // the proof, once the tree is complete
  tlog::Hash leaf{};                   // with entry: its leaf hash
  std::string line;              // with entry: its line
};

// Walks `file` from its start up to its request.size-th entry line (no
// further) and makes the proof asked for. A read error or an internal fault
// is the failure; a break is FileProof::break_found, with fewer leaves than asked.
Result<FileProof> prove_from_file(const platform::File& file, const ProofRequest& request);

// A proof made from a file for checkpoint notes, or why there is none.
struct NoteProof {
  std::optional<Break> break_found;  // the chain broke among the lines proven
  // The note whose root the file's first entry lines no longer give.
  const tlog::TreeNote* refused = nullptr;
  std::optional<tlog::Proof> proof;  // when neither
};

// The inclusion proof of leaf `entry` (below note.size) in the tree of `note`,
// or, without `entry`, the consistency proof from the tree of `old` (of the
// same origin, no larger) to it, made from `file` as prove_from_file makes it.
// A read error or an internal fault is the failure.
Result<NoteProof> prove_for_notes(const platform::File& file, const tlog::TreeNote& note,
                                  std::optional<std::uint64_t> entry, const tlog::TreeNote* old);

}  // namespace ledger::audit
