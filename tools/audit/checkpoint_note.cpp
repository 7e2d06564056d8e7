#include "audit/checkpoint_note.h"

#include <utility>

#include "tlog/note.h"

namespace ledger::audit {

using tlog::TreeNote;

bool is_checkpoint_origin(std::string_view origin) {
  return tlog::is_origin(origin) && !origin.starts_with(kCheckpointTag);
}

Result<Checkpoint> make_checkpoint(const Audit& audit, const std::optional<std::string>& origin,
                                   const std::optional<tlog::SignerKey>& key,
                                   std::string_view origin_option) {
  Checkpoint made = checkpoint_of(audit.chain);
  if (!audit.tree_root || audit.tree_size != made.entries) {
    return fail(Failure::internal("the tree walked does not cover the checkpoint's entries"));
  }
  if (!origin && made.first.empty()) {
    return fail(Failure::invalid_argument(
        "the ledger has no entry yet, so no default origin (it comes from the first entry); "
        "give " + std::string(origin_option)));
  }
  const std::string body = tlog::format_note_body(
      origin ? *origin : tlog::default_origin(made.first), made.entries, *audit.tree_root,
      {std::string(tlog::kHeadExtension) + made.head});
  std::string text = body;
  if (key) {
    auto signed_text = tlog::sign_note(body, *key);
    if (!signed_text) return fail(std::move(signed_text).error());
    text = std::move(*signed_text);
  }
  auto note = tlog::parse_note(text);
  if (!note) return fail(std::move(note).error());
  made.note = std::move(*note);
  return made;
}

}  // namespace ledger::audit
