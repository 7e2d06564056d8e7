// The ledger record and its line form.
//
// A ledger file holds one LogEntry per line, written by append_entry_json in
// the writer's layout (format.h). The signature is the entry digest (digest.h).
//
// Everything here is pure computation; nothing touches files, clocks or locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ledger/format.h"

namespace ledger {

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

// Writes ledger timestamps as write_ledger_timestamp does, keeping the text of
// the last whole second: the timestamps of one second share everything but
// the fraction. One owner at a time.
class TimestampWriter {
 public:
  // `out` must hold kMaxTimestampLength bytes; returns the length written.
  std::size_t write(char* out, std::int64_t seconds, std::uint32_t nanos);

 private:
  std::int64_t seconds_ = 0;             // the second whole_ holds
  char whole_[kMaxTimestampLength] = {};  // its date and time of day
  std::size_t length_ = 0;               // 0 until the first write
};

// True when `text` is exactly what format_ledger_timestamp gives for some
// instant: a second count that fits in 64 signed bits and nanos below one
// billion. So: the year in four digits from 0000 to 9999, else signed and
// at least four digits ("+10000", "-0001"); a real date and time of day
// (proleptic Gregorian, no leap second); a fraction only when nanos is not
// zero, in 3, 6 or 9 digits, the fewest that hold it (".5" is ".500", never
// ".500000"); and "+00:00".
bool is_writer_timestamp(std::string_view text);

// is_writer_timestamp for the timestamps of a ledger read in order: the date
// and time of day of the last valid one are kept, and a timestamp that starts
// with them is checked only from its fraction on (the timestamps of one
// second differ only there). One owner at a time.
class WriterTimestampCheck {
 public:
  bool operator()(std::string_view text);

 private:
  char seconds_[kMaxTimestampLength] = {};  // the date and time of day
  std::size_t length_ = 0;                  // 0 until a valid one is seen
};

// Longest text that write_delta can produce ("-1.2345678901234567e-308").
inline constexpr std::size_t kMaxDeltaLength = 32;

// Writes the JSON number text of `value` (shortest round-trip digits in the
// ledger's layout), or "null" when it is not finite; returns the length.
std::size_t write_delta(char* out, double value);

// Appends the JSON line of `entry` (no line terminator) to `out`.
void append_entry_json(std::string& out, const EntryView& entry);
// append_entry_json for an entry whose timestamp and signature the writer
// made itself (write_ledger_timestamp, hex digits): those hold nothing to
// escape, and are copied as they are; so is prev_hash when `prev_hash_plain`
// (the caller knows it holds nothing to escape, as holds_nothing_to_escape
// tells).
void append_written_entry_json(std::string& out, const EntryView& entry, bool prev_hash_plain);
// Whether `text` holds no character that a JSON string escapes.
bool holds_nothing_to_escape(std::string_view text);
std::string entry_to_json(const LogEntry& entry);

}  // namespace ledger
