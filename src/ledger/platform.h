// The operating-system seam of the ledger core and the auditor's tool.
//
// Everything they need from the system (files, path metadata, the current
// directory, the wall clock, the terminal) goes through these few calls.
// platform_posix.cpp implements them for POSIX systems; another platform is
// another such file.
//
// Failures come back as Failure values of kind kIo whose message is the error
// text alone ("No such file or directory (os error 2)"); callers add their own
// prefix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ledger/failure.h"

namespace ledger::platform {

// Message for a path that holds a NUL byte: no system call ever sees such a
// path, because the system would read it cut short at the NUL.
inline constexpr std::string_view kNulInPath = "path contains a NUL byte";

// The system's text for an error code, trailing white space removed, followed
// by " (os error N)".
std::string os_error_text(int code);

// An open file; closed when destroyed. Move-only.
class File {
 public:
  File() = default;
  explicit File(std::intptr_t handle) : handle_(handle) {}
  File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = kClosed; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { (void)close(); }

  bool is_open() const { return handle_ != kClosed; }
  std::intptr_t handle() const { return handle_; }

  // Closes the file (a no-op when already closed); reports a close error.
  Result<void> close();

 private:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;
};

// Message for a path that names something other than a regular file.
inline constexpr std::string_view kNotRegularFile = "not a regular file";

// Opens `path` for appending only, creating it if absent (permissions 0666 less
// the umask), never truncating, not inherited by child processes. Only a
// regular file is kept open: anything else (a FIFO, a device) fails with
// kNotRegularFile, without blocking and without being written; a directory
// fails with the system's error. Takes a std::string, whose bytes end in a NUL
// already, so that a commit passes its path to the system without a copy.
Result<File> open_for_append(const std::string& path);

// Writes all of `data`, repeating partial and interrupted writes. A write that
// accepts nothing fails with "failed to write whole buffer". `written` is set
// to the number of bytes the system accepted, also on failure.
Result<void> write_all(const File& file, std::string_view data, std::size_t& written);

// Opens an existing regular file for reading only. Anything else (a directory,
// a device, a FIFO, a socket) fails without being opened for reading, so the
// call neither blocks nor reads without end.
Result<File> open_regular_for_read(std::string_view path);

// Creates the file at `path` for writing; fails when anything exists there
// (O_EXCL, no link followed). `owner_only`: mode 0600, else 0644 (less the umask).
Result<File> create_new_file(std::string_view path, bool owner_only);

// Reads up to `size` bytes; 0 means end of file. Interrupted reads are repeated.
Result<std::size_t> read_some(const File& file, char* buffer, std::size_t size);

// Reads up to `size` bytes at `offset` without moving the file position; 0
// means `offset` is at or past the end. Interrupted reads are repeated. Safe to
// call from several threads on one file.
Result<std::size_t> read_at(const File& file, std::uint64_t offset, char* buffer, std::size_t size);

// The size in bytes of an open file, as the system reports it now.
Result<std::uint64_t> file_size(const File& file);

// Questions about where lines start and end, answered with positioned reads.
// They are built on read_at alone, the same on every platform (file_tail.cpp).

// Reads exactly `size` bytes at `offset`; fails with "the file became shorter
// while it was read" when the file ends first.
Result<void> read_exactly(const File& file, std::uint64_t offset, char* out, std::size_t size);

// Whether a line ends just before `end` (at least 1): the byte at `end - 1` is
// a line feed. False when the file holds fewer than `end` bytes.
Result<bool> line_ends_at(const File& file, std::uint64_t end);

// Whether the file ends inside a line now: it is not empty and its last byte
// is not a line feed.
Result<bool> ends_inside_line(const File& file);

// Start of the line that holds the byte before `end`: one past the last line
// feed before `end`, or 0 when there is none.
Result<std::uint64_t> line_start_before(const File& file, std::uint64_t end);

// Start of the first line that starts at or after `offset`: `offset` itself
// when it is 0 or follows a line feed, otherwise one past the next line feed,
// or the end of the file when none follows.
Result<std::uint64_t> line_start_at_or_after(const File& file, std::uint64_t offset);

// True when the system reports metadata for `path`, following symbolic links;
// false on every error.
bool exists(std::string_view path);

// Absolute path of the existing object at `path`, every symbolic link resolved
// and no "." or ".." left. The empty path fails.
Result<std::string> canonicalise(std::string_view path);

// The process's working directory as the system reports it.
Result<std::string> current_directory();

// The UTC wall clock, truncated to whole 100-nanosecond units. `seconds` is
// negative when the clock reads before 1970-01-01T00:00:00Z; `nanos` is always
// in [0, 1e9) and a multiple of 100.
struct UtcTime {
  std::int64_t seconds;
  std::uint32_t nanos;
};
UtcTime utc_now();

// Reads at most `limit` + 1 bytes of the file at `path`, of any readable kind
// (a regular file, a pipe, a terminal), or of standard input when `path` is
// "-". A result longer than `limit` tells the caller that the file is too long.
Result<std::string> read_small_file(std::string_view path, std::size_t limit);

// True when standard error is a terminal.
bool stderr_is_terminal();

}  // namespace ledger::platform
