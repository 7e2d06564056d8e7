#include "audit/leaf_count.h"

#include <algorithm>
#include <string>
#include <vector>

#include "audit/range_reader.h"
#include "ledger/utf8.h"

namespace ledger::audit {
namespace {

constexpr std::size_t kBufferSize = 64 * 1024;

// Whether the line read so far piece by piece can still be blank, keeping
// only the bytes of a white-space character that a piece may have cut.
class BlankSoFar {
 public:
  // The next bytes of the line.
  void add(std::string_view piece) {
    if (!blank_) return;
    if (!tail_.empty()) {
      tail_.append(piece);
      piece = tail_;
    }
    const std::string_view left = piece.substr(white_space_prefix(piece));
    // A White_Space character has at most 3 bytes: more left over is not one.
    if (left.size() > 2) {
      blank_ = false;
      tail_.clear();
      return;
    }
    tail_ = std::string(left);
  }
  // Once the line has ended.
  bool blank() const { return blank_ && tail_.empty(); }
  void reset() {
    blank_ = true;
    tail_.clear();
  }

 private:
  bool blank_ = true;
  std::string tail_;  // at most 2 bytes of a character not yet whole
};

}  // namespace

Result<std::uint64_t> count_leaf_lines(const platform::File& file, std::uint64_t start,
                                       std::uint64_t limit, std::uint64_t end,
                                       const std::atomic<bool>* cancel) {
  if (start >= limit) return std::uint64_t{0};  // a longer line holds the range: no line starts in it
  std::vector<char> buffer(kBufferSize);
  std::uint64_t count = 0;
  std::uint64_t offset = start;  // file offset of the next read
  BlankSoFar line;               // the line being read
  while (offset < end) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return fail(cancelled_failure());
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, end - offset));
    auto got = platform::read_at(file, offset, buffer.data(), want);
    if (!got) return fail(std::move(got).error());
    if (*got == 0) break;
    std::string_view rest(buffer.data(), *got);
    for (;;) {
      const std::size_t lf = rest.find('\n');
      line.add(rest.substr(0, lf));
      if (lf == std::string_view::npos) break;
      if (!line.blank()) ++count;
      line.reset();
      const std::uint64_t next_line = offset + static_cast<std::uint64_t>(rest.data() + lf + 1 - buffer.data());
      if (next_line >= limit) return count;
      rest.remove_prefix(lf + 1);
    }
    offset += *got;
  }
  return count;  // the last line has no line feed: not a leaf
}

void LeafCounts::publish(std::size_t k, std::uint64_t count) noexcept {
  {
    const std::lock_guard lock(mutex_);
    if (known_[k]) return;
    counts_[k] = count;
    known_[k] = true;
  }
  published_.notify_all();
}

std::uint64_t LeafCounts::leaves_before(std::size_t k) {
  std::unique_lock lock(mutex_);
  published_.wait(lock, [&] { return std::all_of(known_.begin(), known_.begin() + static_cast<std::ptrdiff_t>(k), [](bool known) { return known; }); });
  std::uint64_t before = 0;
  for (std::size_t j = 0; j < k; ++j) before += counts_[j];
  return before;
}

}  // namespace ledger::audit
