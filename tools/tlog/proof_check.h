// Checking a proof (proof.h) against checkpoint notes (note.h) without the
// ledger: what check-proof says of it, for every caller that checks proofs.
#pragma once

#include <optional>
#include <string>

#include "ledger/failure.h"
#include "tlog/note.h"
#include "tlog/proof.h"
#include "tlog/signing.h"

namespace ledger::tlog {

// "proven: entry N ... is in the tree of size S of ORIGIN" when `proof` leads
// from its leaf (and its line, when it has one) to the root of `note`;
// otherwise a failure of kind kInvalidArgument whose message says why not.
Result<std::string> check_inclusion_proof(const InclusionProof& proof, const TreeNote& note);

// "proven: the tree of size S of ORIGIN extends its tree of size S0" when
// `proof` leads from the root of `old` to that of `note`, both of one origin;
// otherwise a failure of kind kInvalidArgument whose message says why not.
Result<std::string> check_consistency_proof(const ConsistencyProof& proof, const TreeNote& old,
                                            const TreeNote& note);

// Why `key` does not vouch for `note`, as the end of a sentence whose subject
// names the note: " holds no signature by KEY" or " has an invalid signature
// by KEY". Nullopt when a signature by `key` verifies; a failure when the
// cryptographic library cannot check it.
Result<std::optional<std::string>> unvouched_note(const TreeNote& note, const VerifierKey& key);

}  // namespace ledger::tlog
