#include "cli/progress.h"

#include <algorithm>
#include <array>

namespace ledger::cli {

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

void draw_progress(std::FILE* err, const std::string& label, std::uint64_t walked,
                   std::uint64_t total, bool done) {
  if (done) {
    std::fputs("\r\x1b[K", err);  // back to the start of the line, and erase it
  } else {
    walked = std::min(walked, total);
    const std::uint64_t percent = total == 0 ? 100 : walked * 100 / total;
    std::fprintf(err, "\r%s: %llu%% (%s of %s)\x1b[K", label.c_str(),
                 static_cast<unsigned long long>(percent), format_size(walked).c_str(),
                 format_size(total).c_str());
  }
  std::fflush(err);
}

}  // namespace ledger::cli
