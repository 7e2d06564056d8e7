#include "cli/progress.h"

#include <algorithm>
#include <array>

namespace ledger::cli {

void ProgressLine::draw(std::string_view text) {
  std::fputc('\r', err_);
  std::fwrite(text.data(), 1, text.size(), err_);
  if (plain_) {
    // Spaces over what is left of a longer text before it.
    for (std::size_t i = text.size(); i < width_; ++i) std::fputc(' ', err_);
  } else {
    std::fputs("\x1b[K", err_);  // erase to the end of the line
  }
  width_ = text.size();
  std::fflush(err_);
}

void ProgressLine::clear() {
  if (plain_) {
    std::fputc('\r', err_);
    for (std::size_t i = 0; i < width_; ++i) std::fputc(' ', err_);
    std::fputc('\r', err_);
  } else {
    std::fputs("\r\x1b[K", err_);  // back to the start of the line, and erase it
  }
  width_ = 0;
  std::fflush(err_);
}

bool plain_terminal(const char* term) {
  return term == nullptr || *term == '\0' || std::string_view(term) == "dumb";
}

std::string format_size(std::uint64_t bytes) {
  constexpr std::array kUnits = {"B", "KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  auto value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < kUnits.size()) {
    value /= 1024;
    ++unit;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f %s", value, kUnits[unit]);
  return buffer;
}

std::string progress_text(std::string_view label, std::uint64_t walked, std::uint64_t total) {
  walked = std::min(walked, total);
  const std::uint64_t percent = total == 0 ? 100 : walked * 100 / total;
  return std::string(label) + ": " + std::to_string(percent) + "% (" + format_size(walked) +
         " of " + format_size(total) + ")";
}

}  // namespace ledger::cli
