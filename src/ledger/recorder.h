// A recorder: the state of one ledger writer behind its lock, and the append path.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "ledger/digest.h"
#include "ledger/entry.h"
#include "ledger/failure.h"
#include "ledger/platform.h"

namespace ledger {

// Message of the internal fault for a recorder whose lock is poisoned.
inline constexpr std::string_view kPoisonedMessage =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

// Message of the refusal of a delta that is an infinity or NaN.
inline constexpr std::string_view kDeltaNotFinite = "delta is not a finite number";

// Start of the message of the internal fault for a clock before 1970.
inline constexpr std::string_view kClockBeforeEpoch = "system time before Unix epoch";

struct RecorderState {
  std::string log_path;            // path of the ledger file; never changes
  std::string chain_head;          // prev_hash of the next entry
  std::uint64_t entry_count = 0;   // index of the next entry
  // The file was seen ending inside a line (torn by a failed write or a
  // crash, or just missing its last line feed), or could not be read to tell. The next commit looks at the
  // file's last byte and, if that line is still open, starts its entry with a
  // line feed, so that the entry does not join that line and vanish from readers.
  bool ends_inside_line = false;
};

RecorderState create_recorder_state(std::string log_path, std::string chain_head,
                                    std::uint64_t entry_count);

// The source of commit timestamps; replaceable so tests can set the time.
using ClockFn = platform::UtcTime (*)();

// One recorder: its state, the lock that guards it, and the lock's poisoned
// mark. The mark is set when an internal fault abandons an operation while the
// lock is held, and never cleared; from then on every operation fails.
//
// Thread-safe: commit_truth and verify_integrity take the lock for their whole run.
class Recorder {
 public:
  explicit Recorder(RecorderState state, ClockFn clock = &platform::utc_now);
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Appends one entry for (actor, delta, payload) and returns its signature.
  //
  // The entry's line and its line feed reach the file in one write, so
  // processes appending to one file never interleave bytes inside a line. On
  // success the chain head becomes the signature and the count grows by one;
  // on any failure both stay as they were, and bytes already written stay in
  // the file. After a write that stopped inside a line (or when the file was
  // found ending inside one), the next line starts with a line feed of its
  // own, so that it does not vanish into the torn one.
  // A delta that is not finite is refused (kInvalidArgument, kDeltaNotFinite)
  // before anything happens.
  Result<std::string> commit_truth(std::string_view actor, double delta, std::string_view payload);
  // commit_truth with the signature's hex digits returned as they are, without
  // making a string of them.
  Result<DigestHex> commit(std::string_view actor, double delta, std::string_view payload);

  // Walks the ledger file and reports whether its chain is intact (see verify.h).
  Result<bool> verify_integrity();

  // A copy of the state, taken under the lock (for tests and diagnostics).
  RecorderState snapshot() const;
  bool is_poisoned() const;

 private:
  class Guard;

  Result<DigestHex> commit_locked(std::string_view actor, double delta, std::string_view payload);

  mutable std::mutex mutex_;  // the recorder lock
  bool poisoned_ = false;     // guarded by mutex_
  RecorderState state_;       // guarded by mutex_
  ClockFn clock_;             // read-only after construction
  EntryHasher hasher_;        // guarded by mutex_; reused for every commit
  TimestampWriter timestamps_;  // guarded by mutex_
  std::string line_;          // guarded by mutex_; reused line buffer
  // The chain head holds nothing JSON escapes (always, once it is a signature
  // this recorder wrote), so the next line copies it without the scan.
  bool chain_head_plain_;     // guarded by mutex_
};

}  // namespace ledger
