// The checkpoint: a summary of a verified ledger, kept elsewhere.
//
// Anyone who can write a ledger can recompute its whole chain, so the only
// defence against a rewrite is a head kept somewhere else. A checkpoint is a
// note (tlog/note.h) that gives the size and the root of the Merkle tree of
// the ledger's entry lines, which binds every byte of them, and the head of
// its chain after that many lines; `verify --since` with a note verifies the
// whole file and compares the tree of that size with the note's root.
//
// The one-line form below is legacy, read for the checkpoints made in it. It
// names the ledger's last entry that ends with a line feed and where it
// stands, and `verify --since` with it proves that the file still holds that
// entry there and then verifies only what follows it. It binds that entry
// alone, not the bytes of the entries before it. Text form, version 1, one
// line:
//
//   quorvel-ledger-checkpoint v1 lines=3 bytes=645 index=2 head=<64 hex>
//       entries=3 first=<64 hex>                                   (one line)
//
//   lines    line number of the last entry (blank lines count as lines)
//   bytes    byte offset just past that entry's line feed
//   index    that entry's index member, or "none" in an empty ledger
//   head     that entry's signature, or GENESIS_BLOCK_HASH in an empty ledger
//   entries  number of entries up to and including it
//   first    signature of the ledger's first entry, or "none"; tells a
//            checkpoint of another ledger from a rolled-back one
//
// The fields stand in this order, separated by one space; numbers are decimal
// without leading zeros. One line feed may follow. An empty ledger's
// checkpoint has lines=0 bytes=0 index=none entries=0 first=none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "audit/walk.h"
#include "ledger/entry.h"
#include "ledger/failure.h"
#include "tlog/note.h"

namespace ledger::audit {

inline constexpr std::string_view kCheckpointTag = "quorvel-ledger-checkpoint";
inline constexpr std::string_view kCheckpointVersion = "v1";
// Longest checkpoint text a reader accepts: the fields at their widest.
inline constexpr std::size_t kMaxCheckpointLength = 512;

struct Checkpoint {
  std::uint64_t lines = 0;
  std::uint64_t bytes = 0;
  std::optional<std::uint64_t> index;
  std::string head{GENESIS_BLOCK_HASH};
  std::uint64_t entries = 0;
  std::string first;  // empty when the ledger had no entry
  // A checkpoint note: the tree it gives. Of the fields above only `entries`
  // (the tree size), `head` (from the note's chain-head line, if any) and
  // `first` (from a default origin) are set.
  std::optional<tlog::TreeNote> note;

  bool operator==(const Checkpoint&) const = default;
};

// The text form, without a line feed.
std::string format_checkpoint(const Checkpoint& checkpoint);

// Reads the text form. A text that is not a checkpoint fails with kind
// kInvalidArgument and a one-line reason.
Result<Checkpoint> parse_checkpoint(std::string_view text);

// Reads either form: a note, or a legacy checkpoint line.
Result<Checkpoint> parse_any_checkpoint(std::string_view text);

// The checkpoint of an intact chain: its last entry whose line ends with a
// line feed (an entry on an unterminated last line may still be being written).
Checkpoint checkpoint_of(const Chain& chain);

}  // namespace ledger::audit
