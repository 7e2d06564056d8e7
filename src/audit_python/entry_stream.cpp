#include "entry_stream.h"

#include <utility>

#include "audit/entry_lines.h"
#include "audit/parallel.h"

namespace audit_python {

using ledger::EntryFields;
using ledger::audit::EntryMark;

namespace {

// A batch is handed over at this many entries or bytes of text, whichever
// comes first; the queue holds this many batches.
constexpr std::size_t kBatchEntries = 512;
constexpr std::size_t kBatchBytes = 256 * 1024;
constexpr std::size_t kQueuedBatches = 4;

EntryRecord record_of(const EntryMark& mark, const EntryFields& entry) {
  return EntryRecord{entry.index,
                     std::string(entry.timestamp),
                     std::string(entry.prev_hash),
                     std::string(entry.actor),
                     entry.delta_i,
                     std::string(entry.payload),
                     std::string(entry.signature),
                     mark.line,
                     mark.offset};
}

}  // namespace

EntryStream::EntryStream(ledger::platform::File file, EntryRange range)
    : file_(std::move(file)), range_(range) {}

EntryStream::~EntryStream() { stop(); }

void EntryStream::start() {
  producer_ = std::thread([this] { produce(); });
}

void EntryStream::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
    cancel_.store(true, std::memory_order_relaxed);
  }
  room_.notify_all();
  if (producer_.joinable()) producer_.join();
}

EntryBatch EntryStream::take() {
  EntryBatch batch;
  {
    const std::lock_guard lock(mutex_);
    if (queue_.empty() || stopped_) return batch;
    batch = std::move(queue_.front());
    queue_.pop_front();
  }
  room_.notify_one();
  return batch;
}

void EntryStream::produce() noexcept {
  std::optional<ledger::Failure> fault;
  try {
    walk();
  } catch (...) {
    fault = ledger::audit::current_fault();
  }
  const std::lock_guard lock(mutex_);
  if (fault) failure_ = std::move(fault);
  finished_ = true;
  changed_.notify_all();
}

void EntryStream::walk() {
  if (range_.stop <= range_.start) return;
  const auto on_entry = [this](const EntryMark& mark, const EntryFields& entry, std::string_view) {
    return take_entry(mark, entry);
  };
  std::optional<ledger::audit::Break> found;
  std::optional<ledger::Failure> failure;
  if (range_.verified) {
    ledger::audit::WalkOptions options;
    options.on_entry = on_entry;
    options.cancel = &cancel_;
    ledger::audit::WalkControl control;
    ledger::audit::WalkOutcome out =
        ledger::audit::walk_file(file_, ledger::audit::Chain{}, options, control);
    found = std::move(out.break_found);
    failure = std::move(out.failure);
  } else {
    ledger::audit::EntryLinesOutcome out = ledger::audit::read_entry_lines(file_, on_entry, &cancel_);
    found = std::move(out.break_found);
    failure = std::move(out.failure);
  }
  // The entries before the break are handed over before it is known.
  if (!batch_.empty() && !push(std::exchange(batch_, {}))) return;
  const std::lock_guard lock(mutex_);
  break_found_ = std::move(found);
  failure_ = std::move(failure);
}

bool EntryStream::take_entry(const EntryMark& mark, const EntryFields& entry) {
  const std::uint64_t number = counted_++;
  if (number >= range_.start) {
    batch_.push_back(record_of(mark, entry));
    const EntryRecord& record = batch_.back();
    batch_bytes_ += record.timestamp.size() + record.prev_hash.size() + record.actor.size() +
                    record.payload.size() + record.signature.size();
    if (batch_.size() >= kBatchEntries || batch_bytes_ >= kBatchBytes) {
      batch_bytes_ = 0;
      if (!push(std::exchange(batch_, {}))) return false;
    }
  }
  return number + 1 < range_.stop;
}

bool EntryStream::push(EntryBatch batch) {
  {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return queue_.size() < kQueuedBatches || stopped_; });
    if (stopped_) return false;
    queue_.push_back(std::move(batch));
  }
  changed_.notify_all();
  return true;
}

}  // namespace audit_python
