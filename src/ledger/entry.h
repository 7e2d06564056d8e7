// The ledger record, its line form and its digest.
//
// A ledger file holds one LogEntry per line, written by append_entry_json as
// one compact JSON object with the members in field order and no white space:
//
//   {"index":0,"timestamp":"2026-01-02T03:04:05.123+00:00",
//    "prev_hash":"GENESIS_BLOCK_HASH","actor":"alice","delta_i":1.5,
//    "payload":"hello","signature":"f1ddf018...1d0c"}          (one line)
//
// The signature is SHA-256 over prev_hash, timestamp, actor, the 8 big-endian
// bytes of delta_i and payload, joined with no separators, as 64 lowercase hex
// digits. index and signature are not covered.
//
// Everything here is pure computation; nothing touches files, clocks or locks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ledger/failure.h"

struct evp_md_ctx_st;
struct evp_md_st;

namespace ledger {

// prev_hash of the first entry of every chain, and the head of an empty one.
inline constexpr std::string_view GENESIS_BLOCK_HASH = "GENESIS_BLOCK_HASH";

// JSON member names, in field order. The writer, the parser and the tests use these.
inline constexpr std::array<std::string_view, 7> kFieldNames = {
    "index", "timestamp", "prev_hash", "actor", "delta_i", "payload", "signature"};

inline constexpr std::size_t kSignatureLength = 64;  // hex digits of a SHA-256 digest

struct LogEntry {
  std::uint64_t index = 0;  // recorder's entry count before this entry
  std::string timestamp;    // ledger timestamp form, UTC
  std::string prev_hash;    // signature of the previous entry, or GENESIS_BLOCK_HASH
  std::string actor;        // caller's text
  double delta_i = 0.0;     // caller's number, bit-exact
  std::string payload;      // caller's text
  std::string signature;    // 64 lowercase hex digits of the entry digest

  bool operator==(const LogEntry&) const = default;
};

// Borrowed view of the seven fields; lets the commit path serialise without
// building a LogEntry. The referenced texts must outlive the view.
struct EntryView {
  std::uint64_t index;
  std::string_view timestamp;
  std::string_view prev_hash;
  std::string_view actor;
  double delta_i;
  std::string_view payload;
  std::string_view signature;
};

inline EntryView view_of(const LogEntry& e) {
  return {e.index, e.timestamp, e.prev_hash, e.actor, e.delta_i, e.payload, e.signature};
}

// Longest text that format_ledger_timestamp can produce (a 12-digit signed year,
// nine fraction digits), rounded up.
inline constexpr std::size_t kMaxTimestampLength = 48;

// Writes the ledger timestamp for `seconds` since 1970-01-01T00:00:00Z and
// `nanos` (below one billion) to `out`, which must hold kMaxTimestampLength
// bytes; returns the length. Example: 2026-12-08T03:26:14.500+00:00.
std::size_t write_ledger_timestamp(char* out, std::int64_t seconds, std::uint32_t nanos);
std::string format_ledger_timestamp(std::int64_t seconds, std::uint32_t nanos);

// Longest text that write_delta can produce ("-1.2345678901234567e-308").
inline constexpr std::size_t kMaxDeltaLength = 32;

// Writes the JSON number text of `value` (shortest round-trip digits in the
// ledger's layout), or "null" when it is not finite; returns the length.
std::size_t write_delta(char* out, double value);

// Appends the JSON line of `entry` (no line terminator) to `out`.
void append_entry_json(std::string& out, const EntryView& entry);
std::string entry_to_json(const LogEntry& entry);

using DigestHex = std::array<char, kSignatureLength>;

// A reusable SHA-256 context for entry digests. Resetting one context per
// digest costs about half of making a fresh one, so the commit path and the
// verification walk each keep one. Not thread-safe: one owner at a time.
class EntryHasher {
 public:
  EntryHasher();
  ~EntryHasher();
  EntryHasher(const EntryHasher&) = delete;
  EntryHasher& operator=(const EntryHasher&) = delete;

  // Digest of the five inputs as 64 lowercase hex digits. Fails only when
  // libcrypto does (out of memory), as an internal fault.
  Result<DigestHex> digest(std::string_view prev_hash, std::string_view timestamp,
                           std::string_view actor, double delta, std::string_view payload);

 private:
  evp_md_ctx_st* ctx_;  // owned; null if allocation failed
  evp_md_st* md_;       // owned SHA-256 implementation, fetched once
};

// One-shot form of EntryHasher::digest.
Result<std::string> compute_entry_digest(std::string_view prev_hash, std::string_view timestamp,
                                         std::string_view actor, double delta,
                                         std::string_view payload);

}  // namespace ledger
