// prove: an inclusion proof of one entry line, or a consistency proof between
// two checkpoint notes, made from the ledger file.
#include <variant>

#include "audit/file_proof.h"
#include "cli/commands.h"
#include "cli/inputs.h"
#include "cli/printer.h"
#include "cli/report.h"
#include "ledger/platform.h"
#include "tlog/json.h"
#include "tlog/proof.h"

namespace ledger::cli {
using audit::prove_for_notes;

using tlog::TreeNote;
using tlog::display;
using tlog::format_proof;
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
  const std::optional<TreeNote>& old = notes->old;
  auto made = prove_for_notes(*file, note, index, old ? &*old : nullptr);
  if (!made) return print.error(display(path) + ": cannot read: " + made.error().message());
  // The chain of the lines the proof is about does not hold: no proof of them.
  if (made->break_found) {
    print.err(break_summary(path, *made->break_found) + ": no proof");
    return kExitBroken;
  }
  if (made->refused != nullptr) {
    return refuse(print, path, made->refused == &note ? "checkpoint's" : "--from checkpoint's",
                  *made->refused);
  }
  print.out(std::visit([](const auto& proof) { return format_proof(proof); }, *made->proof) + "\n");
  return kExitIntact;
}

}  // namespace ledger::cli
