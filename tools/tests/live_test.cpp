// Ledgers being written: a last line without its line feed, with and without
// --live, and bytes appended while an audit runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "audit/audit.h"
#include "cli/command.h"
#include "command_fixture.h"
#include "ledger/digest.h"
#include "ledger/parser.h"
#include "support.h"

namespace ledger::cli {

using audit::Audit;
using audit::AuditOptions;
using audit::BreakKind;
using audit::Outcome;
using audit::Unfinished;
using audit::WalkOptions;
using audit::audit_ledger;

namespace {

using testing::CommandTest;
using testing::join;
using testing::Ran;
using testing::replace_first;
using testing::run_cli;

TEST_F(CommandTest, LedgersBeingWritten) {
  const std::size_t line3 = base_[0].size() + base_[1].size() + 2;
  const std::string two = join({base_[0], base_[1]});
  const std::string cut = two + base_[2].substr(0, 50);
  const std::string altered = two + replace_first(base_[2], "payment", "pAyment");
  const LogEntry altered_entry = *parse_log_entry(altered.substr(line3));
  const std::string recomputed =
      *compute_entry_digest(altered_entry.prev_hash, altered_entry.timestamp, altered_entry.actor,
                            altered_entry.delta_i, altered_entry.payload);
  const std::string two_file = write("two.jsonl", two);
  const std::string cp2 = write("two.cp", line_checkpoint(two_file));
  const std::string cp3 = write("three.cp", line_checkpoint(clean_));
  const std::string note2 = write("two.note", run_cli({"checkpoint", two_file}).out);
  const std::string note3 = write("three.note", run_cli({"checkpoint", clean_}).out);
  const std::string intact_two = ": intact: 2 entries, last line 2, head " + sig_[1] + "\n";
  const std::string unread_line3 =
      "  not checked: line 3 (50 bytes from byte " + std::to_string(line3) +
      ") has no line feed yet: a write may be in progress\n";
  const std::string file = path("ledger.jsonl");
  const struct {
    const char* name;
    std::string contents;
    std::vector<std::string> options;
    int status;
    std::string out;  // after "FILE"
  } cases[] = {
      {"cut short, without --live", cut, {"--json"}, kExitBroken,
       "\",\"status\":\"broken\",\"break\":{\"class\":\"torn-tail\",\"line\":3,\"offset\":" +
           std::to_string(line3) + ",\"index\":null,\"bytes\":50,\"column\":51,\"reason\":\"the "
           "line ends inside the value\"},\"verified\":{\"entries\":2,\"head\":\"" + sig_[1] +
           "\"},\"hints\":[{\"kind\":\"write-in-progress\",\"line\":3}]}\n"},
      {"cut short, live", cut, {"--live"}, kExitIntact, intact_two + unread_line3},
      {"cut short, live, two jobs", cut, {"--live", "--jobs", "2"}, kExitIntact,
       intact_two + unread_line3},
      {"cut short, live, in JSON", cut, {"--live", "--json"}, kExitIntact,
       "\",\"status\":\"intact\",\"entries\":2,\"last_line\":2,\"bytes\":" +
           std::to_string(line3) + ",\"head\":\"" + sig_[1] + "\",\"unfinished\":{\"line\":3,"
           "\"offset\":" + std::to_string(line3) + ",\"bytes\":50}}\n"},
      {"a whole entry altered, without a line feed", altered, {}, kExitBroken,
       ": broken at line 3 (byte " + std::to_string(line3) + ", index 2): content altered\n"
       "  stored signature:     " + sig_[2] + "\n"
       "  recomputed signature: " + recomputed + "\n"
       "  verified before it: 2 entries, head " + sig_[1] + "\n"},
      {"a whole entry altered, without a line feed, live", altered, {"--live"}, kExitIntact,
       intact_two + "  not checked: line 3 (" + std::to_string(base_[2].size()) +
           " bytes from byte " + std::to_string(line3) +
           ") has no line feed yet: a write may be in progress\n"},
      {"no line feed at all, live", base_[0].substr(0, 30), {"--live"}, kExitIntact,
       ": intact: 0 entries, last line 0, head GENESIS_BLOCK_HASH\n"
       "  not checked: line 1 (30 bytes from byte 0) has no line feed yet: a write may be in "
       "progress\n"},
      {"every line ended, live", join(base_), {"--live"}, kExitIntact,
       ": intact: 3 entries, last line 3, head " + sig_[2] + "\n"},
      {"live since a checkpoint", cut, {"--live", "--since", cp2}, kExitIntact,
       ": intact since the checkpoint at line 2: 2 entries, last line 2, head " + sig_[1] + "\n" +
           unread_line3},
      {"live since a checkpoint past the last line feed", two + base_[2], {"--live", "--since", cp3},
       kExitBroken, ": broken below the checkpoint: truncated: the file holds " +
           std::to_string(join(base_).size() - 1) + " bytes, the checkpoint covers " +
           std::to_string(join(base_).size()) + "\n"},
      {"live since a note", cut, {"--live", "--since", note2}, kExitIntact,
       intact_two + "  checkpoint: its 2 entry lines give its root hash " +
           note_root(note2) + "\n" + unread_line3},
      {"live since a note past the last line feed", two + base_[2], {"--live", "--since", note3},
       kExitBroken, ": broken below the checkpoint: truncated: the file holds 2 entry lines, the "
       "checkpoint covers 3\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write("ledger.jsonl", c.contents);
    std::vector<std::string> args{"verify"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(file);
    const Ran ran = run_cli(args);
    EXPECT_EQ(ran.status, c.status);
    const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
    EXPECT_EQ(ran.out, (json ? "{\"command\":\"verify\",\"file\":\"" : "") + file + c.out);
    const auto since = std::find(args.begin(), args.end(), "--since");
    const bool line_form = since != args.end() && !since[1].ends_with(".note");
    EXPECT_EQ(ran.err, line_form ? notice(since[1]) : "");
  }

  // A live checkpoint is made from what was checked, and says what it left out.
  write("ledger.jsonl", cut);
  const Ran made = run_cli({"checkpoint", "--live", file});
  EXPECT_EQ(made.status, kExitIntact);
  EXPECT_EQ(made.out, testing::read_file(note2));
  EXPECT_EQ(made.err, "quorvel-ledger: note: " + file + ": not checked: line 3 (50 bytes from byte " +
                          std::to_string(line3) +
                          ") has no line feed yet: a write may be in progress; the checkpoint "
                          "stops before it\n");
}

TEST_F(CommandTest, LiveReadsNothingAppendedAfterTheSizeIsTaken) {
  // A writer finishes the torn line and appends junk once the audit has the
  // file's size: a live audit reads neither; without --live the walk reads on.
  const std::size_t line3 = base_[0].size() + base_[1].size() + 2;
  const std::string file =
      write("ledger.jsonl", join({base_[0], base_[1]}) + base_[2].substr(0, 50));
  for (const WalkOptions& walk : {WalkOptions{}, WalkOptions{2, 64, 1}}) {
    for (const bool live : {true, false}) {
      SCOPED_TRACE("jobs " + std::to_string(walk.jobs) + (live ? ", live" : ""));
      write("ledger.jsonl", join({base_[0], base_[1]}) + base_[2].substr(0, 50));
      AuditOptions options;
      options.walk = walk;
      options.live = live;
      options.size_taken = [&] {
        std::FILE* f = std::fopen(file.c_str(), "ab");
        ASSERT_NE(f, nullptr);
        const std::string rest = base_[2].substr(50) + "\njunk\n";
        std::fwrite(rest.data(), 1, rest.size(), f);
        std::fclose(f);
      };
      const Audit audit = audit_ledger(file, options);
      if (live) {
        EXPECT_EQ(audit.outcome, Outcome::kIntact);
        EXPECT_EQ(audit.chain.entries, 2u);
        EXPECT_EQ(audit.chain.end, line3);
        EXPECT_EQ(audit.unfinished, (Unfinished{3, line3, 50}));
      } else {
        ASSERT_EQ(audit.outcome, Outcome::kBroken);
        EXPECT_EQ(audit.break_found->kind, BreakKind::kNotEntry);
        EXPECT_EQ(audit.break_found->line, 4u);
        EXPECT_EQ(audit.chain.entries, 3u);
      }
    }
  }
}

}  // namespace
}  // namespace ledger::cli
