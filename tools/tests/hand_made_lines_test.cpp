// Entries on lines a recorder does not write (made or edited by hand): verify
// reports them, --strict makes the first a break, across ranges too.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "audit/audit.h"
#include "cli/command.h"
#include "command_fixture.h"
#include "ledger/format.h"
#include "support.h"

namespace ledger::cli {

using audit::Audit;
using audit::AuditOptions;
using audit::BreakKind;
using audit::Outcome;
using audit::WalkOptions;
using audit::audit_ledger;

namespace {

using testing::chain_lines;
using testing::CommandTest;
using testing::entry_line;
using testing::join;
using testing::Lines;
using testing::Ran;
using testing::replace_first;
using testing::run_cli;
using testing::signature_of;

// The writer's line in the array form: the seven values in field order.
std::string array_form(std::string line) {
  for (const std::string_view name : kFieldNames) {
    line = replace_first(line, "\"" + std::string(name) + "\":", "");
  }
  return "[" + line.substr(1, line.size() - 2) + "]";
}

TEST_F(CommandTest, LinesNoWriterWrites) {
  // Each hand-made line reads as the values of the writer's line beside it
  // and keeps its signature, so the chain verifies.
  const std::string& line = base_[1];
  const std::string index_member = "\"index\":1,";
  const std::string big = entry_line(1, sig_[0], "alice", 1e20, "x");
  const struct {
    const char* name;
    std::string hand;
    std::string writer;
  } cases[] = {
      {"space between members", replace_first(line, ",\"actor\"", ", \"actor\""), line},
      {"space after the object", line + " ", line},
      {"an escape the writer does not use", replace_first(line, "\"alice\"", "\"\\u0061lice\""),
       line},
      {"non-ASCII escaped", replace_first(line, "\xC3\xA9", "\\u00e9"), line},
      {"members in another order",
       "{" + line.substr(1 + index_member.size(), line.size() - 2 - index_member.size()) +
           ",\"index\":1}",
       line},
      {"an extra member", line.substr(0, line.size() - 1) + ",\"note\":null}", line},
      {"the array form", array_form(line), line},
      {"another spelling of the number", replace_first(big, "1e+20", "100000000000000008191"), big},
      {"a zero after the fraction", replace_first(line, "-0.75", "-0.750"), line},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(c.hand, c.writer);
    const std::string file = write("ledger.jsonl", join({base_[0], c.hand}));
    Ran ran = run_cli({"verify", file});
    EXPECT_EQ(ran.status, kExitIntact);
    EXPECT_EQ(ran.out, file + ": intact: 2 entries, last line 2, head " + signature_of(c.writer) +
                           "\n  not the writer's line: 1 entry, the first on line 2 (made or "
                           "edited by hand; --strict makes it a break)\n");
    const auto column =
        std::mismatch(c.hand.begin(), c.hand.end(), c.writer.begin(), c.writer.end()).first -
        c.hand.begin() + 1;
    ran = run_cli({"verify", "--strict", file});
    EXPECT_EQ(ran.status, kExitBroken);
    EXPECT_EQ(ran.out, file + ": broken at line 2 (byte " + std::to_string(base_[0].size() + 1) +
                           ", index 1): not the writer's line: the entry verifies, but a recorder "
                           "writes other bytes for its values, from column " +
                           std::to_string(column) + " on\n  verified before it: 1 entry, head " +
                           sig_[0] + "\n");
  }
  const std::string file = write("ledger.jsonl", join({base_[0], cases[0].hand, base_[2]}));
  EXPECT_EQ(run_cli({"verify", "--json", file}).out,
            "{\"command\":\"verify\",\"file\":\"" + file +
                "\",\"status\":\"intact\",\"entries\":3,\"last_line\":3,\"bytes\":" +
                std::to_string(join(base_).size() + 1) + ",\"head\":\"" + sig_[2] +
                "\",\"non_canonical\":{\"entries\":1,\"first_line\":2}}\n");
  EXPECT_EQ(run_cli({"verify", "--json", "--strict", file}).out,
            "{\"command\":\"verify\",\"file\":\"" + file +
                "\",\"status\":\"broken\",\"break\":{\"class\":\"non-canonical\",\"line\":2,"
                "\"offset\":" + std::to_string(base_[0].size() + 1) +
                ",\"index\":1,\"column\":" + std::to_string(line.find(",\"actor\"") + 2) +
                "},\"verified\":{\"entries\":1,\"head\":\"" + sig_[0] + "\"},\"hints\":[]}\n");
  // A checkpoint says so on standard error; a broken ledger counts those before its break.
  EXPECT_EQ(run_cli({"checkpoint", file}).err,
            "quorvel-ledger: note: " + file +
                ": 1 entry is not on the writer's line, the first on line 2 (made or edited by "
                "hand; --strict makes it a break)\n");
  write("ledger.jsonl", join({base_[0], cases[0].hand, base_[0]}));
  EXPECT_NE(run_cli({"verify", file}).out.find("  verified before it: 2 entries, head " + sig_[1] +
                                               "\n  not the writer's line: 1 entry, the first on "
                                               "line 2"),
            std::string::npos);
}

TEST_F(CommandTest, LinesNoWriterWritesAcrossRanges) {
  Lines lines = chain_lines(9);
  for (const std::size_t k : {2u, 3u, 7u}) lines[k] = replace_first(lines[k], ",\"", ", \"");
  const std::string file = write("ledger.jsonl", join(lines));
  for (const unsigned jobs : {1u, 3u}) {
    for (const bool strict : {false, true}) {
      SCOPED_TRACE(std::to_string(jobs) + (strict ? " strict" : ""));
      AuditOptions options;
      options.walk = WalkOptions{.jobs = jobs, .buffer_size = 64, .min_range_bytes = 1};
      options.walk.strict = strict;
      const Audit audit = audit_ledger(file, options);
      if (strict) {
        ASSERT_EQ(audit.outcome, Outcome::kBroken);
        EXPECT_EQ(audit.break_found->kind, BreakKind::kNonCanonical);
        EXPECT_EQ(audit.break_found->line, 3u);
        EXPECT_EQ(audit.chain.entries, 2u);
        EXPECT_EQ(audit.chain.head, signature_of(lines[1]));
      } else {
        ASSERT_EQ(audit.outcome, Outcome::kIntact);
        EXPECT_EQ(audit.chain.non_canonical, 3u);
        EXPECT_EQ(audit.chain.first_non_canonical, 3u);
      }
    }
  }
}

}  // namespace
}  // namespace ledger::cli
