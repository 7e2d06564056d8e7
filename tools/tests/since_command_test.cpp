// checkpoint --since and verify --since with checkpoint notes: the origin a
// new note keeps, and what a report says of a signature it did not check.
#include <gtest/gtest.h>

#include <string>

#include "cli/command.h"
#include "support.h"

namespace ledger::cli {
namespace {

using testing::chain_lines;
using testing::join;
using testing::Lines;
using testing::Ran;
using testing::run_cli;
using testing::signature_of;

class SinceCommandTest : public testing::ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    lines_ = chain_lines(3);
    file_ = write("ledger.jsonl", join({lines_[0], lines_[1]}));
  }

  Lines lines_;
  std::string file_;
};

TEST_F(SinceCommandTest, ANewNoteKeepsTheOriginOfTheOldOne) {
  const std::string old = write("old.cp", run_cli({"checkpoint", "--origin", "example.com/books", file_}).out);
  write("ledger.jsonl", join(lines_));
  const Ran kept = run_cli({"checkpoint", "--since", old, file_});
  EXPECT_EQ(kept.status, kExitIntact);
  EXPECT_EQ(kept.out.substr(0, kept.out.find('\n', kept.out.find('\n') + 1) + 1),
            "example.com/books\n3\n");
  // --origin still names another one.
  const Ran named = run_cli({"checkpoint", "--since", old, "--origin", "example.com/other", file_});
  EXPECT_EQ(named.out.substr(0, named.out.find('\n') + 1), "example.com/other\n");
  // A default origin stays the default one.
  const std::string plain = write("plain.cp", run_cli({"checkpoint", "--origin",
                                                       "quorvel-ledger/" + signature_of(lines_[0]),
                                                       file_}).out);
  EXPECT_EQ(run_cli({"checkpoint", "--since", plain, file_}).out, run_cli({"checkpoint", file_}).out);
}

TEST_F(SinceCommandTest, ASignatureNotCheckedIsSaidToBe) {
  const std::string key = path("books.key");
  const std::string pub = path("books.pub");
  ASSERT_EQ(run_cli({"keygen", "--name", "books", "--key", key, "--pub", pub}).status, kExitIntact);
  const std::string signed_note = write("signed.cp", run_cli({"checkpoint", "--key", key, file_}).out);
  const std::string unsigned_note = write("unsigned.cp", run_cli({"checkpoint", file_}).out);
  write("ledger.jsonl", join(lines_));
  const std::string intact = file_ + ": intact: 3 entries, last line 3, head " + signature_of(lines_[2]) + "\n";

  const Ran text = run_cli({"verify", "--since", signed_note, file_});
  EXPECT_EQ(text.status, kExitIntact);
  ASSERT_TRUE(text.out.starts_with(intact)) << text.out;
  const std::string details = text.out.substr(intact.size());
  EXPECT_TRUE(details.starts_with("  checkpoint: its 2 entry lines give its root hash "));
  EXPECT_TRUE(details.ends_with(
      "\n  checkpoint: its signature was not checked (no --pub)\n")) << details;
  const Ran json = run_cli({"verify", "--json", "--since", signed_note, file_});
  EXPECT_NE(json.out.find(",\"head\":\"" + signature_of(lines_[1]) +
                          "\",\"signature\":\"not-checked\"},\"status\":\"intact\""),
            std::string::npos) << json.out;

  // Checked with --pub, or with no signature to check, nothing is said.
  for (const auto& args : {std::vector<std::string>{"--since", signed_note, "--pub", pub},
                           std::vector<std::string>{"--since", unsigned_note}}) {
    std::vector<std::string> line = {"verify"};
    line.insert(line.end(), args.begin(), args.end());
    line.push_back(file_);
    const Ran checked = run_cli(line);
    EXPECT_EQ(checked.status, kExitIntact);
    EXPECT_EQ(checked.out.find("signature"), std::string::npos) << checked.out;
    line.insert(line.begin() + 1, "--json");
    EXPECT_EQ(run_cli(line).out.find("not-checked"), std::string::npos);
  }
}

}  // namespace
}  // namespace ledger::cli
