#include "cli/inputs.h"

#include "ledger/platform.h"
#include "tlog/json.h"

namespace ledger::cli {

using audit::Checkpoint;
using audit::parse_any_checkpoint;
using tlog::JsonWriter;
using tlog::SignatureCheck;
using tlog::SignerKey;
using tlog::TreeNote;
using tlog::VerifierKey;
using tlog::check_note_signature;
using tlog::display;
using tlog::kMaxNoteLength;
using tlog::parse_signer;
using tlog::parse_verifier;
namespace {


Result<std::string> read_input(std::string_view path, std::size_t limit) {
  auto text = platform::read_small_file(path, limit);
  if (!text) return fail(std::move(text).error());
  if (text->size() > limit) {
    return fail(Failure::invalid_argument("longer than " + std::to_string(limit) + " bytes"));
  }
  return text;
}

}  // namespace

Result<SignerKey> load_signer(std::string_view path) {
  auto text = read_input(path, tlog::kMaxKeyText);
  if (!text) return fail(std::move(text).error());
  return parse_signer(*text);
}

Result<VerifierKey> load_verifier(std::string_view path) {
  auto text = read_input(path, tlog::kMaxKeyText);
  if (!text) return fail(std::move(text).error());
  return parse_verifier(*text);
}

Result<Checkpoint> load_any_checkpoint(std::string_view path) {
  auto text = read_input(path, kMaxNoteLength);
  if (!text) return fail(std::move(text).error());
  return parse_any_checkpoint(*text);
}

Result<SignatureCheck> since_signature(const Checkpoint& checkpoint, const VerifierKey& key) {
  if (!checkpoint.note) return SignatureCheck::kMissing;
  return check_note_signature(*checkpoint.note, key);
}

Result<TreeNote> load_tree_note(std::string_view path) {
  auto checkpoint = load_any_checkpoint(path);
  if (!checkpoint) {
    return fail(Failure::invalid_argument(input_error_text("checkpoint", path, checkpoint.error())));
  }
  if (!checkpoint->note) {
    return fail(Failure::invalid_argument(
        display(path) + ": a checkpoint line of the earlier form has no tree; make a new checkpoint"));
  }
  return std::move(*checkpoint->note);
}

std::string input_error_text(std::string_view what, std::string_view path, const Failure& failure) {
  return display(path) +
         (failure.kind() == FailureKind::kIo ? ": cannot read the " : ": malformed ") +
         std::string(what) + ": " + failure.message();
}

std::string input_error_json(std::string_view command, std::string_view file,
                             std::string_view message) {
  JsonWriter w;
  w.field("command", command)
      .field("file", file)
      .field("status", "error")
      .field("error", "bad-input")
      .field("message", message);
  return w.finish() + "\n";
}

}  // namespace ledger::cli
