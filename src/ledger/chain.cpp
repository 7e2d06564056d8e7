#include "ledger/chain.h"

#include <utility>

#include "ledger/utf8.h"

namespace ledger {

LineKind classify_line(std::string_view line, EntryFields& fields, ParseFailure& failure) {
  auto parsed = parse_entry_fields(line, fields);
  if (parsed) return LineKind::kEntry;
  failure = parsed.error();
  return is_blank_line(line) ? LineKind::kBlank : LineKind::kNotEntry;
}

Result<LineVerdict> ChainCheck::check(std::string_view line) {
  switch (classify_line(line, entry_, parse_failure_)) {
    case LineKind::kBlank: return LineVerdict::kBlank;
    case LineKind::kNotEntry: return LineVerdict::kNotEntry;
    case LineKind::kEntry: break;
  }
  if (!link_known_) {
    link_.assign(entry_.prev_hash);
    link_known_ = true;
  }
  // The link first: a walk in ranges checks the links between ranges before
  // anything else of a range's first entry, and must find the same break.
  if (entry_.prev_hash != link_) return LineVerdict::kLinkBroken;
  if (!writer_timestamp_(entry_.timestamp)) return LineVerdict::kBadTimestamp;
  auto digest = hasher_.digest(entry_.prev_hash, entry_.timestamp, entry_.actor, entry_.delta_i,
                               entry_.payload);
  if (!digest) return fail(std::move(digest).error());
  computed_ = *digest;
  if (computed() != entry_.signature) return LineVerdict::kContentAltered;
  // The signature equals the digest: it becomes the next link.
  link_.assign(computed());
  return LineVerdict::kLinked;
}

}  // namespace ledger
