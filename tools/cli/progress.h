// The progress line a long verification shows on a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace ledger::cli {

// One line on a terminal, redrawn in place with a carriage return. On a
// terminal that understands escape sequences the rest of the old text is
// erased with one (ESC [ K); on a plain one (TERM=dumb, or no TERM) it is
// written over with spaces, and no escape sequence is ever sent.
class ProgressLine {
 public:
  ProgressLine(std::FILE* err, bool plain) : err_(err), plain_(plain) {}

  void draw(std::string_view text);
  // Erases the line, so that what follows starts on a clean line.
  void clear();

 private:
  std::FILE* err_;
  bool plain_;
  std::size_t width_ = 0;  // bytes of the text on the line now
};

// Whether a terminal whose TERM is `term` (null when unset) lacks cursor
// control: "dumb", empty or unset.
bool plain_terminal(const char* term);

// "LABEL: 45% (1.2 GiB of 2.6 GiB)".
std::string progress_text(std::string_view label, std::uint64_t walked, std::uint64_t total);

// "512 B", "3.0 KiB", "1.2 GiB".
std::string format_size(std::uint64_t bytes);

}  // namespace ledger::cli
