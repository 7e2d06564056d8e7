// prove: an inclusion proof of one entry line, or a consistency proof between
// two checkpoint notes, made from the ledger file.
#include <span>

#include "cli/commands.h"
#include "cli/inputs.h"
#include "cli/json.h"
#include "cli/printer.h"
#include "cli/proof.h"
#include "ledger/platform.h"

namespace ledger::cli {
namespace {

// The checkpoints a proof is made for: `note` (--checkpoint) and, for a
// consistency proof, the older `old` (--from).
struct ProofNotes {
  TreeNote note;
  std::optional<TreeNote> old;
};

Result<ProofNotes> load_proof_notes(const CommandLine& line) {
  auto note = load_tree_note(*line.text("--checkpoint"));
  if (!note) return fail(std::move(note).error());
  ProofNotes notes{std::move(*note), std::nullopt};
  const auto from = line.text("--from");
  if (!from) return notes;
  auto old = load_tree_note(*from);
  if (!old) return fail(std::move(old).error());
  if (old->origin != notes.note.origin) {
    return fail(Failure::invalid_argument("the checkpoints have different origins: " +
                                          display(old->origin) + " and " +
                                          display(notes.note.origin)));
  }
  if (old->size > notes.note.size) {
    return fail(Failure::invalid_argument(
        "the --from checkpoint (size " + std::to_string(old->size) +
        ") is not older than the --checkpoint one (size " + std::to_string(notes.note.size) + ")"));
  }
  notes.old = std::move(*old);
  return notes;
}

// FILE no longer gives the root of `note`, the checkpoint `which` names.
int refuse(const Printer& print, std::string_view path, std::string_view which, const TreeNote& note) {
  print.err(display(path) + ": its first " + std::to_string(note.size) +
            (note.size == 1 ? " entry line" : " entry lines") + " no longer give the " +
            std::string(which) + " root hash: no proof");
  return kExitBroken;
}

}  // namespace

Result<void> check_prove(const CommandLine& line) {
  if (line.has("--entry") == line.has("--from")) {
    return usage_error("prove takes one of --entry N and --from OLD");
  }
  if (!line.has("--checkpoint")) return usage_error("prove needs --checkpoint");
  return {};
}

int run_prove(const CommandLine& line, const Io& io) {
  const Printer print(io, false);
  const std::string& path = line.operands[0];
  const std::optional<std::uint64_t> index = line.number("--entry");
  auto notes = load_proof_notes(line);
  if (!notes) return print.error(notes.error().message());
  const TreeNote& note = notes->note;
  if (index && *index >= note.size) {
    return print.error("entry " + std::to_string(*index) +
                       " is not in the checkpoint's tree of size " + std::to_string(note.size));
  }
  auto file = platform::open_regular_for_read(path);
  if (!file) return print.error(display(path) + ": cannot open: " + file.error().message());
  auto leaves = read_leaves(*file, note.size, index);
  if (!leaves) return print.error(display(path) + ": cannot read: " + leaves.error().message());
  const std::span<const Hash> all(leaves->leaves);
  if (all.size() < note.size || tree_root(all) != note.root) {
    return refuse(print, path, "checkpoint's", note);
  }
  const std::optional<TreeNote>& old = notes->old;
  if (old && tree_root(all.first(old->size)) != old->root) {
    return refuse(print, path, "--from checkpoint's", *old);
  }
  if (index) {
    const InclusionProof proof{*index, note.size, all[*index], inclusion_proof(all, *index),
                               leaves->kept};
    print.out(format_proof(proof) + "\n");
  } else {
    const ConsistencyProof proof{old->size, note.size, consistency_proof(all, old->size)};
    print.out(format_proof(proof) + "\n");
  }
  return kExitIntact;
}

}  // namespace ledger::cli
