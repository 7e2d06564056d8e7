// The fixture of the command tests: a scratch directory holding a clean
// three-entry ledger, and what the commands print about checkpoints.
#pragma once

#include <string>
#include <vector>

#include "audit/audit.h"
#include "audit/checkpoint.h"
#include "support.h"

namespace ledger::cli::testing {

class CommandTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    base_ = chain_lines(3);
    for (const auto& line : base_) sig_.push_back(signature_of(line));
    clean_ = write("clean.jsonl", join(base_));
  }

  // A checkpoint line of the earlier form, as `checkpoint` used to print it.
  static std::string line_checkpoint(const std::string& file) {
    return audit::format_checkpoint(audit::checkpoint_of(audit::audit_ledger(file, {}).chain)) + "\n";
  }
  // The root hash line of the checkpoint note at `path`.
  static std::string note_root(const std::string& path) {
    const std::string text = read_file(path);
    const std::size_t second = text.find('\n', text.find('\n') + 1) + 1;
    return text.substr(second, text.find('\n', second) - second);
  }
  // What verify --since says of such a checkpoint at `checkpoint`.
  static std::string notice(const std::string& checkpoint) {
    return "quorvel-ledger: note: " + checkpoint +
           ": a checkpoint line of the earlier form binds only its last entry, not the bytes of "
           "the entries below it; make a new checkpoint\n";
  }

  Lines base_;
  std::vector<std::string> sig_;
  std::string clean_;
};

}  // namespace ledger::cli::testing
