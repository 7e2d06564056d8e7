// POSIX implementation of reading a small file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "cli/file_io.h"
#include "ledger/platform.h"

namespace ledger::cli {

Result<std::string> read_small_file(std::string_view path, std::size_t limit) {
  if (path.find('\0') != std::string_view::npos) {
    return fail(Failure::io(std::string(platform::kNulInPath)));
  }
  platform::File owned;
  int fd = STDIN_FILENO;
  if (path != "-") {
    const std::string c_path(path);
    do {
      fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(Failure::io(platform::os_error_text(errno)));
    owned = platform::File(fd);
  }
  std::string text(limit + 1, '\0');
  std::size_t filled = 0;
  while (filled < text.size()) {
    const ssize_t n = ::read(fd, text.data() + filled, text.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Failure::io(platform::os_error_text(errno)));
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  text.resize(filled);
  return text;
}

}  // namespace ledger::cli
