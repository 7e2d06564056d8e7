#include "tlog/proof_check.h"

#include "tlog/json.h"
#include "tlog/merkle.h"

namespace ledger::tlog {
namespace {

std::unexpected<Failure> not_proven(std::string reason) {
  return fail(Failure::invalid_argument(std::move(reason)));
}

}  // namespace

Result<std::string> check_inclusion_proof(const InclusionProof& proof, const TreeNote& note) {
  if (proof.tree_size != note.size) {
    return not_proven("the proof is for a tree of size " + std::to_string(proof.tree_size) +
                      ", the checkpoint's has size " + std::to_string(note.size));
  }
  if (proof.line && leaf_hash(*proof.line) != proof.leaf_hash) {
    return not_proven("the proof's line does not hash to its leaf_hash");
  }
  if (!check_inclusion(proof.index, proof.tree_size, proof.leaf_hash, proof.hashes, note.root)) {
    return not_proven("the hashes do not lead from entry " + std::to_string(proof.index) +
                      " to the checkpoint's root hash");
  }
  return "proven: entry " + std::to_string(proof.index) + (proof.line ? " (the proof's line)" : "") +
         " is in the tree of size " + std::to_string(note.size) + " of " + display(note.origin);
}

Result<std::string> check_consistency_proof(const ConsistencyProof& proof, const TreeNote& old,
                                            const TreeNote& note) {
  const std::string origin = display(note.origin);
  if (old.origin != note.origin) {
    return not_proven("the checkpoints have different origins: " + display(old.origin) + " and " +
                      origin);
  }
  if (proof.old_size != old.size || proof.new_size != note.size) {
    return not_proven("the proof is from size " + std::to_string(proof.old_size) + " to " +
                      std::to_string(proof.new_size) + ", the checkpoints have sizes " +
                      std::to_string(old.size) + " and " + std::to_string(note.size));
  }
  if (!check_consistency(proof.old_size, proof.new_size, old.root, note.root, proof.hashes)) {
    return not_proven("the hashes do not lead from the older root hash to the newer one");
  }
  return "proven: the tree of size " + std::to_string(note.size) + " of " + origin +
         " extends its tree of size " + std::to_string(old.size);
}

Result<std::optional<std::string>> unvouched_note(const TreeNote& note, const VerifierKey& key) {
  const Result<SignatureCheck> check = check_note_signature(note, key);
  if (!check) return fail(check.error());
  if (*check == SignatureCheck::kValid) return std::optional<std::string>();
  return (*check == SignatureCheck::kMissing ? " holds no signature by " : " has an invalid signature by ") +
         display(format_verifier(key));
}

}  // namespace ledger::tlog
