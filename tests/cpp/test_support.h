// Helpers shared by the core tests and the tool's: a scratch directory per
// test, a file's lines, random ledger-like bytes, and the file helpers of
// file_support.h.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "file_support.h"

namespace ledger::testing {

// A fresh directory that is removed after the test; the process's working
// directory is moved into it for the test's duration (path validation works
// relative to it) and restored afterwards.
class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Absolute path of `name` inside the scratch directory.
  std::string path(std::string_view name) const;

  std::filesystem::path dir_;

 private:
  std::filesystem::path previous_cwd_;
};

std::vector<std::string> split_lines(const std::string& contents);

}  // namespace ledger::testing

#include "ledger/entry.h"

namespace ledger::testing {

// A random ledger-like file: valid lines, blank lines, CR/LF mixes, cut lines,
// garbage, now and then bytes that are not UTF-8, and long lines.
std::string random_ledger_bytes(std::uint64_t seed);

}  // namespace ledger::testing
