// The progress line a long verification shows on a terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace ledger::cli {

// "LABEL: 45% (1.2 GiB of 2.6 GiB)", redrawn in place with a carriage return;
// `done` erases it, so that what follows starts on a clean line.
void draw_progress(std::FILE* err, const std::string& label, std::uint64_t walked,
                   std::uint64_t total, bool done);

// "512 B", "3.0 KiB", "1.2 GiB".
std::string format_size(std::uint64_t bytes);

}  // namespace ledger::cli
