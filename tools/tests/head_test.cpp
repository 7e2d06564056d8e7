// head: the chain head a recorder reopening the file would continue from, and
// its errors in text and JSON.
#include <gtest/gtest.h>

#include <string>

#include "cli/command.h"
#include "command_fixture.h"
#include "support.h"

namespace ledger::cli {

namespace {

using testing::CommandTest;
using testing::join;
using testing::Ran;
using testing::run_cli;

TEST_F(CommandTest, HeadIsWhatARecorderWouldContinueFrom) {
  // The last line that parses wins, as when a recorder reopens the file.
  const std::string file =
      write("ledger.jsonl", join({base_[0], base_[1]}) + base_[2].substr(0, 40));
  EXPECT_EQ(run_cli({"head", file}).out, file + ": head " + sig_[1] + ", next index 2\n");
  EXPECT_EQ(run_cli({"head", "--json", file}).out, "{\"command\":\"head\",\"file\":\"" + file +
                                                       "\",\"status\":\"ok\",\"head\":\"" +
                                                       sig_[1] + "\",\"next_index\":2}\n");
  const std::string empty = write("empty.jsonl", "");
  EXPECT_EQ(run_cli({"head", empty}).out, empty + ": head GENESIS_BLOCK_HASH, next index 0\n");

  const std::string bad = write("bad.jsonl", join(base_) + "\xFF\n");
  const Ran ran = run_cli({"head", bad});
  EXPECT_EQ(ran.status, kExitError);
  EXPECT_EQ(ran.err, "quorvel-ledger: " + bad +
                         ": cannot read: stream did not contain valid UTF-8; a recorder opened on "
                         "it would start a new chain\n");
}

TEST_F(CommandTest, HeadErrorsInJson) {
  // Unlike an audit's, head's message says what could not be done.
  const std::string missing = path("missing.jsonl");
  const std::string bad = write("bad.jsonl", join(base_) + "\xFF\n");
  const struct {
    std::string file;
    std::string error;
    std::string message;
  } cases[] = {
      {missing, "cannot-open", "cannot open: No such file or directory (os error 2)"},
      {bad, "cannot-read",
       "cannot read: stream did not contain valid UTF-8; a recorder opened on it would start a "
       "new chain"},
  };
  for (const auto& c : cases) {
    const Ran ran = run_cli({"head", "--json", c.file});
    EXPECT_EQ(ran.status, kExitError) << c.file;
    EXPECT_EQ(ran.out, "{\"command\":\"head\",\"file\":\"" + c.file +
                           "\",\"status\":\"error\",\"error\":\"" + c.error + "\",\"message\":\"" +
                           c.message + "\"}\n");
    EXPECT_EQ(ran.err, "") << c.file;
  }
}

}  // namespace
}  // namespace ledger::cli
