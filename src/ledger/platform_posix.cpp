// POSIX implementation of the platform seam.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ledger/platform.h"

namespace ledger::platform {
namespace {

Failure error_from_errno(int code) { return Failure::io(os_error_text(code)); }

// A path with its terminating NUL, as the system calls take it: short paths
// (nearly all) in place, so that opening a file allocates nothing.
class CPath {
 public:
  explicit CPath(std::string_view path) {
    if (path.size() < sizeof inline_) {
      std::memcpy(inline_, path.data(), path.size());
      inline_[path.size()] = '\0';
    } else {
      long_.assign(path);
    }
  }
  const char* c_str() const { return long_.empty() ? inline_ : long_.c_str(); }

 private:
  char inline_[256];
  std::string long_;  // the path when it does not fit inline_; empty otherwise
};

// Whether `path` holds a NUL, where the system would silently cut it short;
// such a path fails with nul_in_path().
bool holds_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }
Failure nul_in_path() { return Failure::io(std::string(kNulInPath)); }

// The path as a CPath, or a failure when it holds a NUL.
Result<CPath> to_c_path(std::string_view path) {
  if (holds_nul(path)) return fail(nul_in_path());
  return Result<CPath>(std::in_place, path);
}

int fd_of(const File& file) { return static_cast<int>(file.handle()); }

// Whether the open descriptor is a regular file. statx is asked for the type
// alone, as this runs on every commit and a full fstat gathers sizes and
// times the check does not need. Kernels or sandboxes without statx get the
// plain fstat.
Result<bool> is_regular(int fd) {
  struct statx type;
  if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE, &type) == 0) {
    if ((type.stx_mask & STATX_TYPE) != 0) return S_ISREG(type.stx_mode);
  } else if (errno != ENOSYS && errno != EPERM) {
    return fail(error_from_errno(errno));
  }
  struct stat info;
  if (::fstat(fd, &info) != 0) return fail(error_from_errno(errno));
  return S_ISREG(info.st_mode);
}

}  // namespace

std::string os_error_text(int code) {
  char buffer[256];
  // GNU strerror_r returns the message, which may or may not live in `buffer`.
  const char* message = strerror_r(code, buffer, sizeof buffer);
  std::string text(message);
  while (!text.empty() && (text.back() == ' ' || (text.back() >= '\t' && text.back() <= '\r'))) {
    text.pop_back();
  }
  text += " (os error ";
  text += std::to_string(code);
  text += ')';
  return text;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    (void)close();
    handle_ = other.handle_;
    other.handle_ = kClosed;
  }
  return *this;
}

Result<void> File::close() {
  if (handle_ == kClosed) return {};
  const int fd = static_cast<int>(handle_);
  handle_ = kClosed;
  // Linux releases the descriptor even when close reports EINTR: never retry.
  if (::close(fd) != 0 && errno != EINTR) return fail(error_from_errno(errno));
  return {};
}

Result<File> open_for_append(const std::string& path) {
  if (holds_nul(path)) return fail(nul_in_path());
  // Without blocking: opening a FIFO that has no reader would otherwise wait
  // for one for good. Only a regular file can hold a ledger; anything else is
  // closed again unwritten.
  constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY;
  int fd;
  do {
    fd = ::open(path.c_str(), kFlags | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENXIO) return fail(Failure::io(std::string(kNotRegularFile)));  // such a FIFO
    return fail(error_from_errno(errno));
  }
  File file(fd);
  auto regular = is_regular(fd);
  if (!regular) return fail(std::move(regular).error());
  if (!*regular) return fail(Failure::io(std::string(kNotRegularFile)));
  // O_NONBLOCK stays set: it has no effect on a regular file, whose writes
  // wait for the device whatever the flag says, and clearing it would cost
  // every commit one more system call.
  return file;
}

Result<void> write_all(const File& file, std::string_view data, std::size_t& written) {
  const char* p = data.data();
  std::size_t left = data.size();
  written = 0;
  while (left > 0) {
    const ssize_t n = ::write(fd_of(file), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(error_from_errno(errno));
    }
    if (n == 0) return fail(Failure::io("failed to write whole buffer"));
    p += n;
    left -= static_cast<std::size_t>(n);
    written += static_cast<std::size_t>(n);
  }
  return {};
}

Result<File> create_new_file(std::string_view path, bool owner_only) {
  auto c_path = to_c_path(path);
  if (!c_path) return fail(std::move(c_path).error());
  const int fd = ::open(c_path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        owner_only ? 0600 : 0644);
  if (fd < 0) return fail(error_from_errno(errno));
  return File(fd);
}

Result<File> open_regular_for_read(std::string_view path) {
  auto c_path = to_c_path(path);
  if (!c_path) return fail(std::move(c_path).error());
  // Look before opening: opening a FIFO would block and opening some devices
  // has side effects. The descriptor is checked again below, since the path may
  // be replaced in between.
  struct stat info;
  if (::stat(c_path->c_str(), &info) != 0) return fail(error_from_errno(errno));
  if (S_ISDIR(info.st_mode)) return fail(error_from_errno(EISDIR));
  if (!S_ISREG(info.st_mode)) return fail(Failure::io(std::string(kNotRegularFile)));
  int fd;
  do {
    fd = ::open(c_path->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(error_from_errno(errno));
  File file(fd);
  if (::fstat(fd, &info) != 0) return fail(error_from_errno(errno));
  if (!S_ISREG(info.st_mode)) return fail(Failure::io(std::string(kNotRegularFile)));
  // Regular files ignore O_NONBLOCK; clear it so reads behave plainly anyway.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return fail(error_from_errno(errno));
  }
  return file;
}

Result<std::uint64_t> file_size(const File& file) {
  struct stat info;
  if (::fstat(fd_of(file), &info) != 0) return fail(error_from_errno(errno));
  return static_cast<std::uint64_t>(info.st_size);
}

Result<std::size_t> read_some(const File& file, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd_of(file), buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(error_from_errno(errno));
  }
}

Result<std::size_t> read_at(const File& file, std::uint64_t offset, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::pread(fd_of(file), buffer, size, static_cast<off_t>(offset));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(error_from_errno(errno));
  }
}

bool exists(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return false;
  struct stat info;
  return ::stat(std::string(path).c_str(), &info) == 0;
}

Result<std::string> canonicalise(std::string_view path) {
  auto c_path = to_c_path(path);
  if (!c_path) return fail(std::move(c_path).error());
  char* resolved = ::realpath(c_path->c_str(), nullptr);
  if (resolved == nullptr) return fail(error_from_errno(errno));
  std::string result(resolved);
  std::free(resolved);
  return result;
}

Result<std::string> current_directory() {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::strlen(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) return fail(error_from_errno(errno));
    buffer.resize(buffer.size() * 2);
  }
}

UtcTime utc_now() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  // Floor to whole 100 ns units; tv_nsec is always in [0, 1e9).
  const auto nanos = static_cast<std::uint32_t>(now.tv_nsec / 100 * 100);
  return {static_cast<std::int64_t>(now.tv_sec), nanos};
}

Result<std::string> read_small_file(std::string_view path, std::size_t limit) {
  File owned;
  int fd = STDIN_FILENO;
  if (path != "-") {
    auto c_path = to_c_path(path);
    if (!c_path) return fail(std::move(c_path).error());
    do {
      fd = ::open(c_path->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(error_from_errno(errno));
    owned = File(fd);
  }
  std::string text(limit + 1, '\0');
  std::size_t filled = 0;
  while (filled < text.size()) {
    const ssize_t n = ::read(fd, text.data() + filled, text.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(error_from_errno(errno));
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  text.resize(filled);
  return text;
}

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace ledger::platform
