// The entries of a ledger file, read by a thread of their own and handed to
// the interpreter in batches through a bounded queue: however long the file,
// a stream holds a few batches at most.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audit/walk.h"
#include "ledger/failure.h"
#include "ledger/parser.h"
#include "ledger/platform.h"

namespace audit_python {

struct EntryRecord {
  std::uint64_t index = 0;
  std::string timestamp;
  std::string prev_hash;
  std::string actor;
  double delta_i = 0.0;
  std::string payload;
  std::string signature;
  std::uint64_t line = 0;    // 1-based line number
  std::uint64_t offset = 0;  // byte offset of its line
};

using EntryBatch = std::vector<EntryRecord>;

// Which entries a stream gives: those counted `start` to `stop` (exclusive)
// among the file's entry lines, from 0.
struct EntryRange {
  std::uint64_t start = 0;
  std::uint64_t stop = std::numeric_limits<std::uint64_t>::max();
  // Walk the chain from the file's first line (entries before `start` are
  // judged, not given), ending at the first break; else parse the lines alone.
  bool verified = true;
};

class EntryStream {
 public:
  EntryStream(ledger::platform::File file, EntryRange range);
  EntryStream(const EntryStream&) = delete;
  EntryStream& operator=(const EntryStream&) = delete;
  ~EntryStream();  // stops and joins the producer

  // Starts the producer; std::system_error when no thread can be started.
  void start();
  // Makes the producer stop soon and waits for it. Idempotent; once it has
  // run the stream gives nothing more.
  void stop();

  // For wait_released (released.h): ready() holds, under mutex(), once take()
  // has something to give.
  std::mutex& mutex() { return mutex_; }
  std::condition_variable& changed() { return changed_; }
  bool ready() const { return !queue_.empty() || finished_ || stopped_; }

  // Once ready(): the next batch, empty when no entry is left.
  EntryBatch take();
  bool stopped() const { return stopped_; }
  // After take() gave an empty batch: why the entries ended, besides the file's end or `stop`.
  const std::optional<ledger::audit::Break>& break_found() const { return break_found_; }
  const std::optional<ledger::Failure>& failure() const { return failure_; }

 private:
  void produce() noexcept;
  void walk();
  bool take_entry(const ledger::audit::EntryMark& mark, const ledger::EntryFields& entry);
  bool push(EntryBatch batch);  // false once the stream is stopped

  ledger::platform::File file_;
  const EntryRange range_;
  std::uint64_t counted_ = 0;  // producer: entry lines seen
  EntryBatch batch_;           // producer: the batch being filled
  std::size_t batch_bytes_ = 0;

  std::atomic<bool> cancel_{false};
  std::mutex mutex_;
  std::condition_variable changed_;  // the queue gained a batch, or the producer finished
  std::condition_variable room_;     // the queue lost a batch, or the stream was stopped
  std::deque<EntryBatch> queue_;
  bool finished_ = false;  // the producer is done: nothing more joins the queue
  bool stopped_ = false;
  std::optional<ledger::audit::Break> break_found_;
  std::optional<ledger::Failure> failure_;
  std::thread producer_;
};

}  // namespace audit_python
