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

std::optional<LineVerdict> ChainCheck::judge_before_digest(std::string_view line,
                                                           EntryFields& fields,
                                                           ParseFailure& failure,
                                                           std::optional<std::string_view> link) {
  switch (classify_line(line, fields, failure)) {
    case LineKind::kBlank: return LineVerdict::kBlank;
    case LineKind::kNotEntry: return LineVerdict::kNotEntry;
    case LineKind::kEntry: break;
  }
  // The link first: a walk in ranges checks the links between ranges before
  // anything else of a range's first entry, and must find the same break.
  if (link && fields.prev_hash != *link) return LineVerdict::kLinkBroken;
  if (!writer_timestamp_(fields.timestamp)) return LineVerdict::kBadTimestamp;
  return std::nullopt;
}

LineVerdict ChainCheck::judge_digest(const EntryFields& fields, const DigestHex& digest) {
  computed_ = digest;
  if (computed() != fields.signature) return LineVerdict::kContentAltered;
  // The signature equals the digest: it becomes the next link.
  link_.assign(computed());
  return LineVerdict::kLinked;
}

namespace {

DigestInput digest_input(const EntryFields& e) {
  return {e.prev_hash, e.timestamp, e.actor, e.delta_i, e.payload};
}

}  // namespace

Result<LineVerdict> ChainCheck::check(std::string_view line) {
  current_ = 0;
  EntryFields& fields = entries_[0];
  const auto verdict =
      judge_before_digest(line, fields, parse_failure_,
                          link_known_ ? std::optional<std::string_view>(link_) : std::nullopt);
  if (!link_known_ && verdict != LineVerdict::kBlank && verdict != LineVerdict::kNotEntry) {
    link_.assign(fields.prev_hash);
    link_known_ = true;
  }
  if (verdict) return *verdict;
  auto digest = hasher_.digest(digest_input(fields));
  if (!digest) return fail(std::move(digest).error());
  return judge_digest(fields, *digest);
}

Result<LineVerdict> ChainCheck::check(std::string_view line, std::string_view next) {
  ahead_ = Ahead{};
  ahead_.line = next;
  // The first entry of a range whose link is not known is judged alone.
  if (!link_known_) return check(line);
  current_ = 0;
  EntryFields& fields = entries_[0];
  if (const auto verdict = judge_before_digest(line, fields, parse_failure_, link_)) {
    return *verdict;
  }
  // If `line` links, its signature is the link that `next` must carry: `next`
  // is judged against it now, and that verdict stands once the digest of
  // `line` matches its signature (otherwise `next` is never judged).
  EntryFields& following = entries_[1];
  ahead_.verdict = judge_before_digest(next, following, ahead_.failure, fields.signature);
  ahead_.judged = true;
  DigestHex digest;
  if (ahead_.verdict) {
    auto single = hasher_.digest(digest_input(fields));
    if (!single) return fail(std::move(single).error());
    digest = *single;
  } else {
    auto both = hasher_.digest_pair(digest_input(fields), digest_input(following));
    if (!both) return fail(std::move(both).error());
    digest = (*both)[0];
    ahead_.digest = (*both)[1];
  }
  return judge_digest(fields, digest);
}

Result<LineVerdict> ChainCheck::check_next() {
  if (!ahead_.judged) return check(ahead_.line);
  ahead_.judged = false;
  current_ = 1;
  parse_failure_ = ahead_.failure;
  if (ahead_.verdict) return *ahead_.verdict;
  return judge_digest(entries_[1], ahead_.digest);
}

}  // namespace ledger
