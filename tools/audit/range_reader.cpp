#include "audit/range_reader.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "ledger/platform.h"
#include "ledger/reader.h"

namespace ledger::audit {

namespace {
constexpr std::string_view kCancelledText = "the walk was cancelled";
}  // namespace

Failure cancelled_failure() { return Failure::internal(std::string(kCancelledText)); }

bool is_cancelled(const Failure& failure) {
  return failure.kind() == FailureKind::kInternal && failure.message() == kCancelledText;
}

RangeReader::RangeReader(const platform::File& file, std::uint64_t start, std::uint64_t limit,
                         std::size_t buffer_size, std::uint64_t end,
                         const std::atomic<bool>* cancel)
    : file_(file), limit_(limit), end_(end), cancel_(cancel), lines_(buffer_size, start) {}

Result<LineStatus> RangeReader::next() {
  line_ = {};
  if (position() >= limit_) return LineStatus::kEnd;
  auto line = lines_.next(
      [this](std::uint64_t offset, char* buffer, std::size_t size) -> Result<std::size_t> {
        if (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed)) {
          return fail(cancelled_failure());
        }
        if (offset >= end_) return std::size_t{0};  // the end of the file, for this reader
        size = static_cast<std::size_t>(std::min<std::uint64_t>(size, end_ - offset));
        return platform::read_at(file_, offset, buffer, size);
      });
  if (!line) return fail(std::move(line).error());
  if (!*line) return LineStatus::kEnd;
  terminated_ = (*line)->ends_with('\n');
  line_ = without_terminator(**line);
  return lines_.valid(**line) ? LineStatus::kLine : LineStatus::kInvalidUtf8;
}

}  // namespace ledger::audit
