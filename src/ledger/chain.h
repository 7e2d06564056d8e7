// The chain rule: what each line of a ledger is, read in file order.
//
// Every reader that judges a chain (verification, the auditor's tool) feeds
// its lines to one ChainCheck, which says of each line what it is:
//   - blank (empty or white space only): skipped, it neither breaks nor links;
//   - an entry that links: it parses, its prev_hash is the signature of the
//     entry before it (GENESIS_BLOCK_HASH for the first), its timestamp is
//     one the writer could have written (is_writer_timestamp) and its
//     signature is the digest of its own content;
//   - a break, of one of four classes, judged in this order: not an entry,
//     link broken, bad timestamp, content altered.
// The digest joins its inputs without separators, so bytes could be moved
// across the seam between the timestamp and the actor without changing it;
// every writer's timestamp ends in "+00:00" and holds no other "+" after the
// year, so holding timestamps to the writer's form closes that seam.
// A line that is not valid UTF-8 is a break too; the readers find those while
// splitting lines, before a line reaches the check.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ledger/digest.h"
#include "ledger/entry.h"
#include "ledger/failure.h"
#include "ledger/format.h"
#include "ledger/parser.h"

namespace ledger {

enum class LineKind : std::uint8_t {
  kEntry,     // parses as an entry
  kBlank,     // holds nothing but Unicode white space
  kNotEntry,  // anything else
};

// What `line` (valid UTF-8, without its terminator) holds, its fields in
// `fields` when it parses and the parse failure in `failure` when it does not.
// A blank line holds no JSON value, so it never parses: lines are parsed first
// and only those that fail are looked at for white space.
LineKind classify_line(std::string_view line, EntryFields& fields, ParseFailure& failure);

enum class LineVerdict : std::uint8_t {
  kBlank,           // skipped
  kLinked,          // an entry that extends the chain
  kNotEntry,        // break: the line does not parse as an entry
  kLinkBroken,      // break: prev_hash is not the previous entry's signature
  kBadTimestamp,    // break: the timestamp is not in the writer's form
  kContentAltered,  // break: the signature is not the digest of the content
};

constexpr bool is_break(LineVerdict verdict) {
  return verdict != LineVerdict::kBlank && verdict != LineVerdict::kLinked;
}

// Applies the chain rule to lines fed in order. Not thread-safe: one owner.
class ChainCheck {
 public:
  struct UnknownLink {};

  // The first entry must carry `link` as its prev_hash.
  explicit ChainCheck(std::string_view link = GENESIS_BLOCK_HASH) : link_(link), link_known_(true) {}
  // The link into the first entry is not known here: its prev_hash is taken
  // as given, and whoever knows the link checks it (at a seam between ranges).
  explicit ChainCheck(UnknownLink) {}

  // Judges the next line (valid UTF-8, without its terminator). Fails only on
  // an internal fault of the digest. After a break, judging more lines is
  // meaningless: a chain has one first break.
  Result<LineVerdict> check(std::string_view line);

  // The fields of the line last judged, when it parsed (kLinked,
  // kBadTimestamp, kLinkBroken, kContentAltered). Valid until the next check or until that line changes.
  const EntryFields& entry() const { return entry_; }
  // Where and why the line last judged did not parse (kNotEntry).
  const ParseFailure& parse_failure() const { return parse_failure_; }
  // The prev_hash the next entry must carry: after kLinked the signature of
  // that entry, after kLinkBroken the link that entry should have carried.
  std::string_view link() const { return link_; }
  // The digest of the content of the entry last judged (kLinked,
  // kContentAltered).
  std::string_view computed() const { return {computed_.data(), computed_.size()}; }

 private:
  EntryHasher hasher_;            // reused for every entry
  WriterTimestampCheck writer_timestamp_;  // the timestamp rule, remembering the last second
  EntryFields entry_;             // the fields of the line last judged
  ParseFailure parse_failure_{ParseError::kNoValue, 0};
  std::string link_;              // the next entry's prev_hash
  bool link_known_ = false;       // false until the first entry, for UnknownLink
  DigestHex computed_{};          // the last digest computed
};

}  // namespace ledger
