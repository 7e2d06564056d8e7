// What the libraries give callers other than the command line (the Python
// package's native part): a walk that a cancel flag stops, the entry lines of
// a file read without judging the chain, and the chain rule's verdict alone.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "audit/audit.h"
#include "audit/entry_lines.h"
#include "audit/range_reader.h"
#include "audit/walk.h"
#include "cli/report.h"
#include "ledger/platform.h"
#include "support.h"

namespace ledger::cli {
namespace {

using audit::AuditOptions;
using audit::BreakKind;
using audit::Chain;
using audit::EntryMark;
using audit::ErrorKind;
using audit::Outcome;
using audit::WalkControl;
using audit::WalkOptions;
using testing::chain_lines;
using testing::join;
using testing::Lines;
using testing::replace_first;

class LibraryCallsTest : public testing::ScratchTest {};

TEST_F(LibraryCallsTest, ACancelledWalkEndsInTheCancelFailureWithNothingProven) {
  const std::string file = write("ledger.jsonl", join(chain_lines(50)));
  const std::atomic<bool> cancel{true};
  auto opened = platform::open_regular_for_read(file);
  ASSERT_TRUE(opened);
  for (unsigned jobs : {1u, 3u}) {
    WalkOptions options;
    options.jobs = jobs;
    options.min_range_bytes = 1;
    options.cancel = &cancel;
    WalkControl control;
    const audit::WalkOutcome out = audit::walk_file(*opened, Chain{}, options, control);
    ASSERT_TRUE(out.failure) << jobs;
    EXPECT_TRUE(audit::is_cancelled(*out.failure));
    EXPECT_EQ(out.chain.entries, 0u);
    EXPECT_FALSE(out.break_found);
  }
  // The audit of a broken file too: the diagnosis honours the flag, no break is reported.
  const std::string broken = write("broken.jsonl", replace_first(join(chain_lines(5)), "payment", "pay"));
  AuditOptions options;
  options.walk.cancel = &cancel;
  for (const std::string& path : {file, broken}) {
    const audit::Audit audit = audit::audit_ledger(path, options);
    EXPECT_EQ(audit.outcome, Outcome::kError) << path;
    EXPECT_EQ(audit.error_kind, ErrorKind::kInternal);
    EXPECT_TRUE(audit::is_cancelled(*audit.error));
  }
  EXPECT_FALSE(audit::is_cancelled(Failure::internal("another fault")));
  EXPECT_FALSE(audit::is_cancelled(Failure::io("the walk was cancelled")));
}

struct ReadEntry {
  EntryMark mark;
  std::uint64_t index;
  std::string signature;
  bool operator==(const ReadEntry&) const = default;
};

std::vector<ReadEntry> read_all(const std::string& path, audit::EntryLinesOutcome& out,
                                std::size_t stop_after = 1000) {
  auto file = platform::open_regular_for_read(path);
  EXPECT_TRUE(file);
  std::vector<ReadEntry> seen;
  out = audit::read_entry_lines(*file, [&](const EntryMark& mark, const EntryFields& entry, std::string_view) {
    seen.push_back({mark, entry.index, std::string(entry.signature)});
    return seen.size() < stop_after;
  });
  return seen;
}

TEST_F(LibraryCallsTest, EntryLinesAreParsedWithoutJudgingTheChain) {
  const Lines lines = chain_lines(3);
  // Out of order and altered: links and digests are not the reader's concern.
  const std::string altered = replace_first(lines[1], "payment", "pay");
  const std::string contents = lines[2] + "\n \r\n" + altered + "\n" + lines[0];
  const std::string file = write("ledger.jsonl", contents);
  audit::EntryLinesOutcome out;
  const std::vector<ReadEntry> seen = read_all(file, out);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_FALSE(out.break_found);
  EXPECT_FALSE(out.failure);
  const std::uint64_t third = lines[2].size() + 4 + altered.size() + 1;
  EXPECT_EQ(seen[0].mark, (EntryMark{1, 0, lines[2].size() + 1, 2, true}));
  EXPECT_EQ(seen[1].mark, (EntryMark{3, lines[2].size() + 4, third, 1, true}));
  EXPECT_EQ(seen[2].mark, (EntryMark{4, third, contents.size(), 0, false}));
  EXPECT_EQ(seen[2].signature, testing::signature_of(lines[0]));
  // on_entry returning false ends the reading there.
  EXPECT_EQ(read_all(file, out, 1).size(), 1u);
}

TEST_F(LibraryCallsTest, EntryLinesEndAtTheFirstLineThatIsNotAnEntry) {
  const Lines lines = chain_lines(2);
  struct Case {
    std::string contents;
    BreakKind kind;
    std::size_t column;
  };
  const Case cases[] = {
      {lines[0] + "\n}{\n" + lines[1] + "\n", BreakKind::kNotEntry, 1},
      {lines[0] + "\nab\xFF\n" + lines[1] + "\n", BreakKind::kInvalidUtf8, 3},
      {lines[0] + "\n" + lines[1].substr(0, 40), BreakKind::kTornTail, 41},
  };
  for (const Case& c : cases) {
    const std::string file = write("ledger.jsonl", c.contents);
    audit::EntryLinesOutcome out;
    EXPECT_EQ(read_all(file, out).size(), 1u);
    ASSERT_TRUE(out.break_found);
    EXPECT_EQ(out.break_found->kind, c.kind);
    EXPECT_EQ(out.break_found->line, 2u);
    EXPECT_EQ(out.break_found->offset, lines[0].size() + 1);
    EXPECT_EQ(out.break_found->column, c.column);
  }
}

TEST_F(LibraryCallsTest, TheChainRuleAloneIsTheModulesVerdict) {
  const std::string clean = join(chain_lines(3));
  // A line no recorder writes (white space after a colon) is a break only with --strict.
  const std::string spaced = replace_first(clean, "\"actor\":", "\"actor\": ");
  struct Case {
    std::string name;
    std::string contents;
    bool intact;
  };
  const Case cases[] = {
      {"clean", clean, true},
      {"not the writer's line", spaced, true},
      {"altered", replace_first(clean, "payment", "pay"), false},
      {"not UTF-8", clean + "\xFF\n", false},
      {"torn tail", clean.substr(0, clean.size() - 9), false},
  };
  for (const Case& c : cases) {
    const std::string file = write("ledger.jsonl", c.contents);
    for (unsigned jobs : {1u, 2u}) {
      const Result<bool> intact = audit::chain_intact(file, jobs);
      ASSERT_TRUE(intact) << c.name;
      EXPECT_EQ(*intact, c.intact) << c.name;
    }
  }
  for (const std::string& unopened : {path("missing.jsonl"), dir_.string()}) {
    const Result<bool> intact = audit::chain_intact(unopened, 1);
    ASSERT_TRUE(intact) << unopened;
    EXPECT_FALSE(*intact);
  }
  const std::atomic<bool> cancel{true};
  const Result<bool> cancelled = audit::chain_intact(write("ledger.jsonl", clean), 1, &cancel);
  ASSERT_FALSE(cancelled);
  EXPECT_TRUE(audit::is_cancelled(cancelled.error()));
}

TEST(SignatureJson, ACheckpointGivenAsTextHasNoPath) {
  EXPECT_EQ(signature_json("verify", "l.jsonl", std::nullopt, "key+1+abc", true),
            R"({"command":"verify","file":"l.jsonl","status":"broken","break":{"class":)"
            R"("checkpoint-signature","checkpoint":null,"key":"key+1+abc","reason":"missing"}})"
            "\n");
}

}  // namespace
}  // namespace ledger::cli
