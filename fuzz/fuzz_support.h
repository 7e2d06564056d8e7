// Helpers shared by the fuzz targets: property checks that stop the run, a
// scratch file in memory, and plain reference versions of the core's
// optimised routines to compare them with (the reopen scan's is the tests'
// forward_scan_chain_head, tests/cpp/file_support.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>


namespace ledger::fuzz {

// Prints what failed and the detail (text for people: pass input bytes
// through printable), then aborts so that libFuzzer records the
// input as a crash.
[[noreturn]] void property_failed(const char* check, const char* file, int line,
                                  std::string_view detail);

#define FUZZ_CHECK(condition, detail)                                                  \
  do {                                                                                 \
    if (!(condition)) ::ledger::fuzz::property_failed(#condition, __FILE__, __LINE__, \
                                                      (detail));                       \
  } while (false)

// `bytes` with everything but printable ASCII escaped, cut to a readable length.
std::string printable(std::string_view bytes);

// A regular file that lives only in memory (memfd), reused across inputs. The
// core opens it by path like any other file.
class ScratchFile {
 public:
  ScratchFile();
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Replaces the whole contents with `bytes`.
  void write(std::string_view bytes);
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;  // /proc/self/fd/N
};

// UTF-8 validity by decoding every sequence to its code point and refusing
// overlong forms, surrogates and values above U+10FFFF.
bool reference_is_utf8(std::string_view bytes);

// Whether every character of the valid UTF-8 text `line` has the Unicode
// White_Space property, by decoding to code points.
bool reference_is_blank(std::string_view line);

// The entry digest by its definition, through OpenSSL alone: SHA-256 of
// prev_hash, timestamp, actor, the 8 big-endian bytes of delta and payload,
// joined, as 64 lowercase hex digits.
std::string reference_entry_digest(std::string_view prev_hash, std::string_view timestamp,
                                   std::string_view actor, double delta, std::string_view payload);

}  // namespace ledger::fuzz
