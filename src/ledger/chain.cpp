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
  if (!is_writer_timestamp(fields.timestamp)) return LineVerdict::kBadTimestamp;
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

Result<ChainCheck::PairVerdict> ChainCheck::check_pair(std::string_view first,
                                                       std::string_view second) {
  // Only a line whose entry needs its digest is worth pairing; the first
  // entry of a range without a known link is judged alone.
  if (!link_known_) {
    auto verdict = check(first);
    if (!verdict) return fail(std::move(verdict).error());
    if (is_break(*verdict)) return PairVerdict{*verdict, *verdict};
    auto next = check(second);
    if (!next) return fail(std::move(next).error());
    return PairVerdict{*verdict, *next};
  }
  current_ = 0;
  EntryFields& a = entries_[0];
  if (const auto verdict = judge_before_digest(first, a, parse_failure_, link_)) {
    if (is_break(*verdict)) return PairVerdict{*verdict, *verdict};
    auto next = check(second);
    if (!next) return fail(std::move(next).error());
    return PairVerdict{*verdict, *next};
  }
  // `first` needs its digest. If it links, its signature is the link the
  // second must carry, so the second is judged against that now and its
  // verdict stands once the first's digest matches.
  EntryFields& b = entries_[1];
  ParseFailure second_failure = parse_failure_;
  const auto second_verdict = judge_before_digest(second, b, second_failure, a.signature);
  DigestHex digest_a;
  std::optional<DigestHex> digest_b;
  if (second_verdict) {
    auto digest = hasher_.digest(digest_input(a));
    if (!digest) return fail(std::move(digest).error());
    digest_a = *digest;
  } else {
    auto digests = hasher_.digest_pair(digest_input(a), digest_input(b));
    if (!digests) return fail(std::move(digests).error());
    digest_a = (*digests)[0];
    digest_b = (*digests)[1];
  }
  const LineVerdict verdict = judge_digest(a, digest_a);
  if (is_break(verdict)) return PairVerdict{verdict, verdict};
  current_ = 1;
  parse_failure_ = second_failure;
  if (second_verdict) return PairVerdict{verdict, *second_verdict};
  return PairVerdict{verdict, judge_digest(b, *digest_b)};
}

}  // namespace ledger
