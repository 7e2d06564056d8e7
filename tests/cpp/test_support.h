// Helpers shared by the core tests: a scratch directory per test and small
// file utilities.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

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

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view contents);
std::vector<std::string> split_lines(const std::string& contents);

}  // namespace ledger::testing

#include "ledger/open.h"

namespace ledger::testing {

// The chain head by the plain definition: read every line in order and keep
// the last one that parses. The reference for the optimised reopen scan.
Result<ChainHead> forward_scan_chain_head(const std::string& path);

// A random ledger-like file: valid lines, blank lines, CR/LF mixes, cut lines,
// garbage, now and then bytes that are not UTF-8, and long lines.
std::string random_ledger_bytes(std::uint64_t seed);

}  // namespace ledger::testing
