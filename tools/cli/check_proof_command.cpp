// check-proof: a proof made by prove, checked against checkpoint notes
// without the ledger.
#include <variant>

#include "cli/commands.h"
#include "cli/inputs.h"
#include "cli/printer.h"
#include "ledger/platform.h"
#include "tlog/json.h"
#include "tlog/proof.h"
#include "tlog/proof_check.h"

namespace ledger::cli {
using tlog::VerifierKey;

using tlog::ConsistencyProof;
using tlog::InclusionProof;
using tlog::Proof;
using tlog::TreeNote;
using tlog::check_consistency_proof;
using tlog::check_inclusion_proof;
using tlog::display;
using tlog::kMaxProofLength;
using tlog::parse_proof;
using tlog::unvouched_note;
namespace {

// What check-proof read: the proof, the --checkpoint note and the --from one.
struct ProofInputs {
  Proof proof;
  TreeNote note;
  std::optional<TreeNote> old;
};

Result<Proof> load_proof(const std::string& path) {
  auto text = platform::read_small_file(path, kMaxProofLength);
  if (!text) return fail(Failure::invalid_argument(input_error_text("proof", path, text.error())));
  if (text->size() > kMaxProofLength) {
    return fail(Failure::invalid_argument(display(path) + ": malformed proof: longer than " +
                                          std::to_string(kMaxProofLength) + " bytes"));
  }
  auto proof = parse_proof(*text);
  if (!proof) return fail(Failure::invalid_argument(input_error_text("proof", path, proof.error())));
  return proof;
}

Result<ProofInputs> load_inputs(const CommandLine& line) {
  auto proof = load_proof(line.operands[0]);
  if (!proof) return fail(std::move(proof).error());
  auto note = load_tree_note(*line.text("--checkpoint"));
  if (!note) return fail(std::move(note).error());
  const bool consistency = std::holds_alternative<ConsistencyProof>(*proof);
  const auto from = line.text("--from");
  if (consistency && !from) {
    return fail(Failure::invalid_argument("a consistency proof needs the older checkpoint: --from OLD"));
  }
  if (!consistency && from) {
    return fail(Failure::invalid_argument(
        "--from applies to a consistency proof; this is an inclusion proof"));
  }
  ProofInputs inputs{std::move(*proof), std::move(*note), std::nullopt};
  if (from) {
    auto old = load_tree_note(*from);
    if (!old) return fail(std::move(old).error());
    inputs.old = std::move(*old);
  }
  return inputs;
}

// Why the --pub key does not vouch for the checkpoints; nullopt when it does.
// A check the cryptographic library could not make is the failure.
Result<std::optional<std::string>> unsigned_checkpoint(const CommandLine& line,
                                                       const ProofInputs& inputs,
                                                       const VerifierKey& key) {
  const std::pair<std::optional<std::string>, const TreeNote*> notes[] = {
      {line.text("--checkpoint"), &inputs.note},
      {line.text("--from"), inputs.old ? &*inputs.old : nullptr}};
  for (const auto& [path, note] : notes) {
    if (note == nullptr) continue;
    auto why = unvouched_note(*note, key);
    if (!why) return fail(std::move(why).error());
    if (*why) return display(*path) + **why;
  }
  return std::optional<std::string>();
}

}  // namespace

Result<void> check_check_proof(const CommandLine& line) {
  if (!line.has("--checkpoint")) return usage_error("check-proof needs --checkpoint");
  return {};
}

int run_check_proof(const CommandLine& line, const Io& io) {
  const Printer print(io, false);
  auto inputs = load_inputs(line);
  if (!inputs) return print.error(inputs.error().message());
  if (const auto pub = line.text("--pub")) {
    auto key = load_verifier(*pub);
    if (!key) return print.error(input_error_text("verifier key", *pub, key.error()));
    const auto why = unsigned_checkpoint(line, *inputs, *key);
    if (!why) return print.error(why.error().message());
    if (*why) {
      print.out("not proven: " + **why + "\n");
      return kExitBroken;
    }
  }
  const auto* inclusion = std::get_if<InclusionProof>(&inputs->proof);
  const Result<std::string> verdict =
      inclusion != nullptr
          ? check_inclusion_proof(*inclusion, inputs->note)
          : check_consistency_proof(std::get<ConsistencyProof>(inputs->proof), *inputs->old, inputs->note);
  print.out((verdict ? *verdict : "not proven: " + verdict.error().message()) + "\n");
  return verdict ? kExitIntact : kExitBroken;
}

}  // namespace ledger::cli
