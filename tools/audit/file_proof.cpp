#include "audit/file_proof.h"

#include <utility>

namespace ledger::audit {

using tlog::consistency_spans;
using tlog::Hash;
using tlog::inclusion_spans;
using tlog::SubtreeRoots;
using tlog::TreeBuilder;

Result<FileProof> prove_from_file(const platform::File& file, const ProofRequest& request) {
  FileProof out;
  TreeBuilder tree;
  if (request.old_size) tree.watch(*request.old_size);
  SubtreeRoots proof(request.entry ? inclusion_spans(*request.entry, request.size)
                                   : consistency_spans(request.old_size.value_or(0), request.size));
  WalkOptions options;
  options.on_leaf = [&](const Hash& leaf, std::string_view line) {
    if (request.entry && *request.entry == out.leaves) {
      out.leaf = leaf;
      out.line = std::string(line);
    }
    tree.add_leaf(leaf);
    proof.add(out.leaves, leaf);
    return ++out.leaves < request.size;
  };
  WalkOutcome walked;
  if (request.size > 0) {
    WalkControl control;
    walked = walk_file(file, Chain{}, options, control);
  }
  // A break after the last leaf asked for is not read: the walk stops there.
  if (walked.failure) return fail(std::move(*walked.failure));
  out.break_found = std::move(walked.break_found);
  out.root = tree.root();
  out.old_root = tree.watched_root();
  if (out.leaves == request.size) out.hashes = proof.roots();
  return out;
}

Result<NoteProof> prove_for_notes(const platform::File& file, const tlog::TreeNote& note,
                                  std::optional<std::uint64_t> entry, const tlog::TreeNote* old) {
  const std::optional<std::uint64_t> old_size = old ? std::optional(old->size) : std::nullopt;
  auto made = prove_from_file(file, ProofRequest{note.size, entry, old_size});
  if (!made) return fail(std::move(made).error());
  NoteProof out;
  if (made->break_found) {
    out.break_found = std::move(made->break_found);
  } else if (made->leaves < note.size || made->root != note.root) {
    out.refused = &note;
  } else if (old && made->old_root != old->root) {
    out.refused = old;
  } else if (entry) {
    out.proof = tlog::InclusionProof{*entry, note.size, made->leaf, std::move(made->hashes),
                                     std::move(made->line)};
  } else {
    out.proof = tlog::ConsistencyProof{old->size, note.size, std::move(made->hashes)};
  }
  return out;
}

}  // namespace ledger::audit
