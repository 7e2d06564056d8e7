// export: the verified entries as JSON lines or CSV, and where it stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli/command.h"
#include "command_fixture.h"
#include "ledger/parser.h"
#include "support.h"

namespace ledger::cli {

namespace {

using testing::CommandTest;
using testing::join;
using testing::Ran;
using testing::replace_first;
using testing::run_cli;

TEST_F(CommandTest, ExportWritesTheVerifiedEntries) {
  // Blank lines count as lines.
  const std::string file = write("ledger.jsonl", join({base_[0], "", base_[1], base_[2]}));
  const auto record = [&](std::size_t line, std::size_t k) {
    return "{\"line\":" + std::to_string(line) + "," + base_[k].substr(1) + "\n";
  };
  const LogEntry first = *parse_log_entry(base_[0]);
  const struct {
    std::vector<std::string> options;
    std::string out;
  } cases[] = {
      {{}, record(1, 0) + record(3, 1) + record(4, 2)},
      {{"--format", "jsonl", "--from", "2", "--to", "3"}, record(3, 1)},
      {{"--from=4"}, record(4, 2)},
      {{"--to", "1", "--format=csv"},
       "line,index,timestamp,prev_hash,actor,delta_i,payload,signature\r\n1,0," +
           first.timestamp + ",GENESIS_BLOCK_HASH,alice,-2.25,\"payment \"\"0\"\"\t\xC3\xA9\"," +
           sig_[0] + "\r\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"export"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(file);
    const Ran ran = run_cli(args);
    SCOPED_TRACE(testing::join(args, " "));
    EXPECT_EQ(ran.status, kExitIntact);
    EXPECT_EQ(ran.out, c.out);
    EXPECT_EQ(ran.err, "");
  }
}

TEST_F(CommandTest, ExportStopsAtTheFirstBreak) {
  const std::string hand = replace_first(base_[1], ",\"", ", \"");
  const std::string missing = path("missing.jsonl");
  const struct {
    const char* name;
    std::string contents;
    std::vector<std::string> options;
    int status;
    std::size_t records;  // written before the end or the break
  } cases[] = {
      {"a deleted entry", join({base_[0], base_[2]}), {}, kExitBroken, 1},
      {"a break after the last line asked for", join({base_[0], base_[1], "junk"}), {"--to", "2"},
       kExitIntact, 2},
      {"a break before the first line asked for", join({base_[0], "junk", base_[1]}),
       {"--from", "3"}, kExitBroken, 0},
      {"a hand-made line, strict", join({base_[0], hand, base_[2]}), {"--strict"}, kExitBroken, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = write("ledger.jsonl", c.contents);
    std::vector<std::string> args{"export"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(file);
    const Ran ran = run_cli(args);
    EXPECT_EQ(ran.status, c.status);
    EXPECT_EQ(std::count(ran.out.begin(), ran.out.end(), '\n'), c.records);
    // The break's report is verify's, on standard error.
    std::vector<std::string> verify{"verify", file};
    if (c.options == std::vector<std::string>{"--strict"}) verify.insert(verify.begin() + 1, "--strict");
    EXPECT_EQ(ran.err, c.status == kExitIntact ? "" : "quorvel-ledger: " + run_cli(verify).out);
  }
  // Entries on hand-made lines are written with a note, as their values.
  const std::string file = write("ledger.jsonl", join({base_[0], hand, base_[2]}));
  const Ran ran = run_cli({"export", file});
  EXPECT_EQ(ran.status, kExitIntact);
  EXPECT_EQ(ran.out, run_cli({"export", write("clean2.jsonl", join(base_))}).out);
  EXPECT_EQ(ran.err, "quorvel-ledger: note: " + file +
                         ": 1 entry is not on the writer's line, the first on line 2 (made or "
                         "edited by hand; --strict makes it a break)\n");
  // A ledger without entries is a header alone; a file that cannot be read gets none.
  EXPECT_EQ(run_cli({"export", "--format=csv", write("empty.jsonl", "\n")}).out,
            "line,index,timestamp,prev_hash,actor,delta_i,payload,signature\r\n");
  const Ran cannot = run_cli({"export", "--format=csv", missing});
  EXPECT_EQ(cannot.status, kExitError);
  EXPECT_EQ(cannot.out, "");
  EXPECT_EQ(cannot.err,
            "quorvel-ledger: " + missing + ": cannot open: No such file or directory (os error 2)\n");
}

}  // namespace
}  // namespace ledger::cli
