// POSIX implementation of the positioned reads.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "cli/file_io.h"

namespace ledger::cli {

Result<std::size_t> read_at(const platform::File& file, char* buffer, std::size_t size,
                            std::uint64_t offset) {
  const int fd = static_cast<int>(file.handle());
  for (;;) {
    const ssize_t n = ::pread(fd, buffer, size, static_cast<off_t>(offset));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(Failure::io(platform::os_error_text(errno)));
  }
}

Result<std::uint64_t> file_size(const platform::File& file) {
  struct stat info;
  if (::fstat(static_cast<int>(file.handle()), &info) != 0) {
    return fail(Failure::io(platform::os_error_text(errno)));
  }
  return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace ledger::cli

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
