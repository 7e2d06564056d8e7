// Fixtures for the tool's tests: a scratch directory, and ledgers built line by
// line with the core's own writer and digest.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "audit/checkpoint.h"
#include "audit/diagnose.h"
#include "audit/walk.h"
#include "file_support.h"
#include "ledger/entry.h"

namespace ledger::cli::testing {

using Lines = std::vector<std::string>;

// A fresh directory, removed after the test.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Path of `name` inside the scratch directory.
  std::string path(std::string_view name) const;
  // Writes `contents` to `name` and returns its path.
  std::string write(std::string_view name, std::string_view contents) const;

  std::filesystem::path dir_;
};

// The line of an entry with its signature computed.
std::string entry_line(std::uint64_t index, std::string_view prev_hash, std::string_view actor,
                       double delta, std::string_view payload);

// The signature on an entry line (the text of its "signature" member).
std::string signature_of(std::string_view line);

// `count` linked entry lines continuing from `prev_hash` with indices from
// `first_index`; `actor` tells writers apart.
Lines chain_lines(std::size_t count, std::string_view prev_hash = GENESIS_BLOCK_HASH,
                  std::uint64_t first_index = 0, std::string_view actor = "alice");

// The lines, each followed by `terminator`.
std::string join(const Lines& lines, std::string_view terminator = "\n");

using ledger::testing::read_file;

// `text` with the first `from` in it replaced by `to`; a `from` that does not
// occur fails the test and leaves `text` as it is.
std::string replace_first(std::string text, std::string_view from, std::string_view to);

// Captures one stream in memory.
class Capture {
 public:
  Capture() : file_(open_memstream(&data_, &size_)) {}
  ~Capture() { std::free(data_); }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::FILE* file() const { return file_; }
  std::string close() {
    std::fclose(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

// What one run of the command line printed, and its exit status.
struct Ran {
  int status;
  std::string out;
  std::string err;
};

// Runs the tool's command line in this process, its output captured; `terminal`
// tells it that standard error is a terminal.
Ran run_cli(const std::vector<std::string>& args, bool terminal = false);

// A hint about `line`, with the fields its kind uses.
audit::Hint hint(audit::HintKind kind, std::uint64_t line, std::uint64_t other_line = 0,
                 std::uint64_t expected = 0, std::uint64_t found = 0);

}  // namespace ledger::cli::testing

// Readable failure messages for the tool's result values, beside their types
// so that GoogleTest finds them.
namespace ledger::audit {

void PrintTo(const Hint& hint, std::ostream* out);
void PrintTo(const Break& break_found, std::ostream* out);
void PrintTo(const Checkpoint& checkpoint, std::ostream* out);

}  // namespace ledger::audit
