#include "ledger/recorder.h"

#include <cmath>

#include "ledger/verify.h"

namespace ledger {
namespace {

// A line buffer that grew past this for a large entry is released afterwards.
constexpr std::size_t kMaxKeptLineCapacity = 1 << 20;

Failure poisoned_failure() { return Failure::internal(std::string(kPoisonedMessage)); }

// Whether the file at `path` ends inside a line now. When that cannot be
// read (the file is gone, say, or write-only), the answer is yes: a needless
// line feed leaves only a blank line, which readers skip, where a missing one
// would lose an entry.
bool file_ends_inside_line(std::string_view path) {
  auto file = platform::open_regular_for_read(path);
  if (!file) return true;
  auto inside = platform::ends_inside_line(*file);
  return !inside || *inside;
}

}  // namespace

// Holds the recorder lock for one operation. On the way out it sets the
// poisoned mark unless the operation handed its result to finish() and that
// result is no internal fault: an exception propagating through the guard
// never reaches finish(). The mark is set this way, not by asking
// std::uncaught_exceptions(), to keep thread-local reads off the commit path.
class Recorder::Guard {
 public:
  explicit Guard(Recorder& recorder) : recorder_(recorder) { recorder_.mutex_.lock(); }
  ~Guard() {
    if (!sound_) recorder_.poisoned_ = true;
    recorder_.mutex_.unlock();
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

  // Marks the operation finished; an internal fault in `result` still poisons.
  template <typename T>
  Result<T> finish(Result<T> result) {
    sound_ = result || result.error().kind() != FailureKind::kInternal;
    return result;
  }

 private:
  Recorder& recorder_;
  bool sound_ = false;
};

RecorderState create_recorder_state(std::string log_path, std::string chain_head,
                                    std::uint64_t entry_count) {
  return RecorderState{std::move(log_path), std::move(chain_head), entry_count};
}

Recorder::Recorder(RecorderState state, ClockFn clock)
    : state_(std::move(state)),
      clock_(clock),
      chain_head_plain_(holds_nothing_to_escape(state_.chain_head)) {}

Result<std::string> Recorder::commit_truth(std::string_view actor, double delta,
                                           std::string_view payload) {
  auto signature = commit(actor, delta, payload);
  if (!signature) return fail(std::move(signature).error());
  return std::string(signature->data(), signature->size());
}

Result<DigestHex> Recorder::commit(std::string_view actor, double delta, std::string_view payload) {
  // The line could not carry such a value (it would hold null while the
  // signature covers the number), so it is refused before anything happens.
  if (!std::isfinite(delta)) {
    return fail(Failure::invalid_argument(std::string(kDeltaNotFinite)));
  }
  Guard guard(*this);
  if (poisoned_) return fail(poisoned_failure());
  return guard.finish(commit_locked(actor, delta, payload));
}

Result<DigestHex> Recorder::commit_locked(std::string_view actor, double delta,
                                          std::string_view payload) {
  const platform::UtcTime now = clock_();
  char timestamp[kMaxTimestampLength];
  const std::string_view timestamp_text(timestamp, timestamps_.write(timestamp, now.seconds, now.nanos));
  if (now.seconds < 0) {
    return fail(Failure::internal(std::string(kClockBeforeEpoch) + ": the clock reads " +
                                  std::string(timestamp_text)));
  }
  auto digest = hasher_.digest(state_.chain_head, timestamp_text, actor, delta, payload);
  if (!digest) return fail(std::move(digest).error());
  const std::string_view signature(digest->data(), digest->size());

  // The line goes out behind a line feed of its own only when the file ends
  // inside a line, or the entry would join that line and no reader could see it.
  line_.assign(1, '\n');
  append_written_entry_json(line_, EntryView{state_.entry_count, timestamp_text, state_.chain_head, actor,
                                             delta, payload, signature},
                            chain_head_plain_);
  line_.push_back('\n');

  auto file = platform::open_for_append(state_.log_path);
  if (!file) return fail(Failure::io("File Open Failed: " + file.error().message()));
  // The mark says only that the file may end inside a line; the file itself
  // is asked, now that this write is about to follow. A writer in another
  // process may have ended that line meanwhile (a recorder opened while
  // another's write was half visible sees such a line), and a line feed added
  // then would leave a needless blank line.
  std::string_view out(line_);
  if (!state_.ends_inside_line || !file_ends_inside_line(state_.log_path)) out.remove_prefix(1);
  std::size_t accepted = 0;
  auto written = platform::write_all(*file, out, accepted);
  (void)file->close();
  // Whether the file now ends inside a line: if nothing was accepted, as
  // before; otherwise unless the last byte accepted was a line feed.
  if (accepted > 0) state_.ends_inside_line = out[accepted - 1] != '\n';
  if (line_.capacity() > kMaxKeptLineCapacity) line_ = std::string();
  if (!written) return fail(Failure::io("Disk Write Failed: " + written.error().message()));

  state_.chain_head.assign(signature);
  chain_head_plain_ = true;
  state_.entry_count += 1;
  return *digest;
}

Result<bool> Recorder::verify_integrity() {
  Guard guard(*this);
  if (poisoned_) return fail(poisoned_failure());
  return guard.finish(verify_ledger_file(state_.log_path));
}

RecorderState Recorder::snapshot() const {
  std::lock_guard lock(mutex_);
  return state_;
}

bool Recorder::is_poisoned() const {
  std::lock_guard lock(mutex_);
  return poisoned_;
}

}  // namespace ledger
