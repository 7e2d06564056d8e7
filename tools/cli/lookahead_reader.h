// A RangeReader that judges its lines in pairs.
//
// The chain check computes two entries' digests at once when it is given the
// line after the one it judges (ChainCheck::check(line, next)). This reader
// offers the same interface as RangeReader, and its check reads the next line
// ahead for that, keeping a copy of the current one so that line() and the
// entry fields the check holds stay valid. The line read ahead is delivered by
// the following next(), with the status the underlying reader gave it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "cli/range_reader.h"
#include "ledger/chain.h"

namespace ledger::cli {

class LookaheadReader {
 public:
  // `read_ahead`: whether to read ahead at all; a walk that stops after one
  // entry has no use for the line after it. The rest goes to RangeReader.
  template <typename... Args>
  explicit LookaheadReader(bool read_ahead, Args&&... args)
      : reader_(std::forward<Args>(args)...), read_ahead_(read_ahead) {}

  Result<LineStatus> next() {
    current_judged_ = ahead_ && next_judged_;
    next_judged_ = false;
    if (ahead_) {
      ahead_ = false;
      return std::move(ahead_status_);
    }
    return reader_.next();
  }

  // As RangeReader's, for the line last delivered by next().
  std::string_view line() const { return ahead_ ? std::string_view(held_) : reader_.line(); }
  std::uint64_t line_offset() const { return ahead_ ? held_offset_ : reader_.line_offset(); }
  bool line_terminated() const { return ahead_ ? held_terminated_ : reader_.line_terminated(); }
  std::uint64_t position() const { return ahead_ ? held_position_ : reader_.position(); }

  // Judges the current line (status kLine) by `chain`, which judges every
  // line of this reader in order: with the next line when that is a valid
  // line, so that the following check on it costs only what is left of it.
  Result<LineVerdict> check(ChainCheck& chain) {
    if (std::exchange(current_judged_, false)) return chain.check_next();
    if (read_ahead_ && line().size() <= kPairedLineLimit) {
      if (const auto following = peek()) {
        auto verdict = chain.check(line(), *following);
        next_judged_ = verdict && !is_break(*verdict);
        return verdict;
      }
    }
    return chain.check(line());
  }

 private:
  // Lines up to this length are held in a copy while the next is read ahead;
  // a longer one is judged alone (its entry would be hashed alone anyway).
  static constexpr std::size_t kPairedLineLimit = 2048;

  // Reads the next line ahead; returns it when it is a valid line.
  std::optional<std::string_view> peek() {
    held_.assign(reader_.line());
    held_offset_ = reader_.line_offset();
    held_terminated_ = reader_.line_terminated();
    held_position_ = reader_.position();
    ahead_ = true;
    ahead_status_ = reader_.next();
    if (ahead_status_ && *ahead_status_ == LineStatus::kLine) return reader_.line();
    return std::nullopt;
  }

  RangeReader reader_;
  bool read_ahead_;
  bool ahead_ = false;           // reader_ holds the line after the one delivered
  Result<LineStatus> ahead_status_ = LineStatus::kEnd;  // what reader_ gave for it
  std::string held_;             // the delivered line, while ahead_
  std::uint64_t held_offset_ = 0;
  bool held_terminated_ = false;
  std::uint64_t held_position_ = 0;
  bool next_judged_ = false;     // the line read ahead was given to the check as its next
  bool current_judged_ = false;  // the delivered line was, so check_next judges it
};

}  // namespace ledger::cli
