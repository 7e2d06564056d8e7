// The checkpoint's text form, and verification from a checkpoint: what it
// proves below the checkpoint and how it reports a file that no longer holds it.
#include "audit/checkpoint.h"

#include <gtest/gtest.h>

#include "audit/audit.h"
#include "ledger/parser.h"
#include "support.h"

namespace ledger::cli {

using audit::Audit;
using audit::AuditOptions;
using audit::BreakKind;
using audit::Checkpoint;
using audit::ErrorKind;
using audit::Hint;
using audit::HintKind;
using audit::Outcome;
using audit::RollbackReason;
using audit::WalkOptions;
using audit::audit_ledger;
using audit::checkpoint_of;
using audit::format_checkpoint;
using audit::parse_checkpoint;

namespace {

using testing::chain_lines;
using testing::entry_line;
using testing::hint;
using testing::join;
using testing::Lines;
using testing::signature_of;

const std::string kHead(64, 'a');
const std::string kFirst(64, 'b');

Checkpoint sample() {
  Checkpoint checkpoint;
  checkpoint.lines = 4;
  checkpoint.bytes = 900;
  checkpoint.index = 2;
  checkpoint.head = kHead;
  checkpoint.entries = 3;
  checkpoint.first = kFirst;
  return checkpoint;
}

TEST(CheckpointTextTest, WrittenAndReadBack) {
  const std::string text = format_checkpoint(sample());
  EXPECT_EQ(text, "quorvel-ledger-checkpoint v1 lines=4 bytes=900 index=2 head=" + kHead +
                      " entries=3 first=" + kFirst);
  for (const std::string& stored : {text, text + "\n", text + "\r\n"}) {
    EXPECT_EQ(parse_checkpoint(stored), sample()) << stored;
  }
  const std::string empty = format_checkpoint(Checkpoint{});
  EXPECT_EQ(empty,
            "quorvel-ledger-checkpoint v1 lines=0 bytes=0 index=none head=GENESIS_BLOCK_HASH "
            "entries=0 first=none");
  EXPECT_EQ(parse_checkpoint(empty), Checkpoint{});
}

TEST(CheckpointTextTest, MalformedTextsAreRefusedWithTheReason) {
  const std::string good = format_checkpoint(sample());
  const auto with = [&](std::string_view from, std::string_view to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const struct {
    std::string text;
    std::string reason;
  } cases[] = {
      {"", "does not start with 'quorvel-ledger-checkpoint'"},
      {"{\"checkpoint\":1}", "does not start with 'quorvel-ledger-checkpoint'"},
      {with(" v1 ", " v2 "), "unsupported version (this program reads v1)"},
      {with(" entries=3", ""), "expected 6 fields after the version, found 5"},
      {good + " extra=1", "expected 6 fields after the version, found 7"},
      {with("lines=4 bytes=900", "bytes=900 lines=4"), "field 'lines' is missing or out of order"},
      {with("lines=4", "lines=04"), "field 'lines' is not a whole number"},
      {with("bytes=900", "bytes=-900"), "field 'bytes' is not a whole number"},
      {with("bytes=900", "bytes=18446744073709551616"), "field 'bytes' is not a whole number"},
      {with("entries=3", "entries="), "field 'entries' is not a whole number"},
      {with("index=2", "index=two"), "field 'index' is neither a whole number nor 'none'"},
      {with(kHead, std::string(64, 'A')), "field 'head' is not 64 lowercase hexadecimal digits"},
      {with(kHead, std::string(63, 'a')), "field 'head' is not 64 lowercase hexadecimal digits"},
      {with(kFirst, "GENESIS_BLOCK_HASH"),
       "field 'first' is neither 64 lowercase hexadecimal digits nor 'none'"},
      {with("entries=3", "entries=0"), "its fields contradict each other"},
      {with("index=2", "index=none"), "its fields contradict each other"},
      {with("lines=4", "lines=2"), "its fields contradict each other"},
      {with("bytes=900", "bytes=4"), "its fields contradict each other"},
      {good + "\n" + good, "more than one line"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_checkpoint(c.text);
    ASSERT_FALSE(parsed.has_value()) << c.text;
    EXPECT_EQ(parsed.error().message(), c.reason) << c.text;
    // The kind tells the reports "malformed" from "cannot read".
    EXPECT_EQ(parsed.error().kind(), FailureKind::kInvalidArgument) << c.text;
  }
}

class SinceTest : public testing::ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    base_ = chain_lines(5);
    cp_ = checkpoint_from(join({base_[0], base_[1], base_[2]}));
  }

  // The checkpoint that `checkpoint` makes of a file holding `contents`.
  Checkpoint checkpoint_from(const std::string& contents) {
    const Audit audit = audit_ledger(write("earlier.jsonl", contents), {});
    EXPECT_EQ(audit.outcome, Outcome::kIntact);
    return checkpoint_of(audit.chain);
  }

  // Audits `contents` from `checkpoint` with one job and with three, which must agree.
  Audit since(const std::string& contents, const Checkpoint& checkpoint) {
    const std::string file = write("ledger.jsonl", contents);
    AuditOptions options;
    options.since = checkpoint;
    const Audit one = audit_ledger(file, options);
    options.walk = WalkOptions{3, 16, 1};
    const Audit three = audit_ledger(file, options);
    EXPECT_EQ(three.outcome, one.outcome);
    EXPECT_EQ(three.break_found, one.break_found);
    EXPECT_EQ(three.hints, one.hints);
    EXPECT_EQ(three.chain, one.chain);
    return one;
  }

  Lines base_;
  Checkpoint cp_;
};

TEST_F(SinceTest, TheCheckpointOfAVerifiedFile) {
  EXPECT_EQ(cp_.lines, 3u);
  EXPECT_EQ(cp_.bytes, join({base_[0], base_[1], base_[2]}).size());
  EXPECT_EQ(cp_.index, 2u);
  EXPECT_EQ(cp_.head, signature_of(base_[2]));
  EXPECT_EQ(cp_.entries, 3u);
  EXPECT_EQ(cp_.first, signature_of(base_[0]));
  // Blank lines after the last entry are left to the next walk; an entry on a
  // last line without a line feed may still be being written, and is left too.
  EXPECT_EQ(checkpoint_from(join({base_[0], base_[1], base_[2]}) + "\n  \n"), cp_);
  EXPECT_EQ(checkpoint_from(join({base_[0], base_[1], base_[2]}) + base_[3]), cp_);
  EXPECT_EQ(checkpoint_from(base_[0] + "\n" + base_[1]), checkpoint_from(base_[0] + "\n"));
  EXPECT_EQ(checkpoint_from(base_[0]), Checkpoint{});
  EXPECT_EQ(checkpoint_from(""), Checkpoint{});
}

TEST_F(SinceTest, WhatFollowsTheCheckpointIsVerified) {
  Audit audit = since(join(base_), cp_);
  ASSERT_EQ(audit.outcome, Outcome::kIntact);
  EXPECT_EQ(audit.chain.entries, 5u);
  EXPECT_EQ(audit.chain.lines, 5u);
  EXPECT_EQ(audit.chain.head, signature_of(base_[4]));
  EXPECT_EQ(checkpoint_of(audit.chain), checkpoint_from(join(base_)));

  // An empty ledger's checkpoint: the whole file follows it.
  audit = since(join(base_), Checkpoint{});
  ASSERT_EQ(audit.outcome, Outcome::kIntact);
  EXPECT_EQ(audit.chain.entries, 5u);

  // A checkpoint whose last entry is still last.
  audit = since(join({base_[0], base_[1], base_[2]}) + "\n", cp_);
  ASSERT_EQ(audit.outcome, Outcome::kIntact);
  EXPECT_EQ(audit.chain.lines, 4u);
}

TEST_F(SinceTest, BreaksAfterTheCheckpointAreNamedWithFileLines) {
  const Lines bob = chain_lines(2, signature_of(base_[2]), 3, "bob");
  const Lines fork_at_checkpoint = chain_lines(1, signature_of(base_[1]), 2, "bob");
  std::string edited = join(base_);
  edited.replace(edited.rfind("payment"), 7, "pAyment");
  const struct {
    const char* name;
    std::string contents;
    BreakKind kind;
    std::uint64_t line;
    std::vector<Hint> hints;
  } cases[] = {
      {"edit after the checkpoint", edited, BreakKind::kContentAltered, 5, {}},
      {"entry deleted after the checkpoint", join({base_[0], base_[1], base_[2], base_[4]}),
       BreakKind::kLinkBroken, 4, {hint(HintKind::kIndexGap, 4, 0, 3, 4)}},
      {"two writers after the checkpoint", join({base_[0], base_[1], base_[2], base_[3], bob[0]}),
       BreakKind::kLinkBroken, 5,
       {hint(HintKind::kIndexRepeat, 5, 0, 4, 3), hint(HintKind::kFork, 5, 4)}},
      {"a fork off the checkpoint's own entry",
       join({base_[0], base_[1], base_[2], fork_at_checkpoint[0]}), BreakKind::kLinkBroken, 4,
       {hint(HintKind::kIndexRepeat, 4, 0, 3, 2), hint(HintKind::kFork, 4, 3)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Audit audit = since(c.contents, cp_);
    ASSERT_EQ(audit.outcome, Outcome::kBroken);
    EXPECT_EQ(audit.break_found->kind, c.kind);
    EXPECT_EQ(audit.break_found->line, c.line);
    EXPECT_EQ(audit.hints, c.hints);
  }
}

TEST_F(SinceTest, AFileThatNoLongerHoldsTheCheckpoint) {
  // Same-length replacements keep the line boundaries where the checkpoint has them.
  const std::string other_entry =
      entry_line(2, signature_of(base_[1]), "alicf", 0.75, "payment \"2\"\t\xC3\xA9");
  ASSERT_EQ(other_entry.size(), base_[2].size());
  std::string altered = base_[2];
  altered.replace(altered.find("payment"), 7, "pAyment");
  const std::string prefix = join({base_[0], base_[1]});

  Audit audit = since(prefix, cp_);
  ASSERT_EQ(audit.outcome, Outcome::kBroken);
  EXPECT_EQ(audit.break_found->kind, BreakKind::kTruncated);
  EXPECT_EQ(audit.break_found->offset, prefix.size());
  EXPECT_EQ(audit.break_found->covered, cp_.bytes);

  const struct {
    const char* name;
    std::string contents;
    RollbackReason reason;
  } rollbacks[] = {
      {"no line ends there", prefix + base_[2] + "x\n" + base_[3], RollbackReason::kNoLineEnd},
      {"not an entry there", prefix + std::string(base_[2].size(), 'x') + "\n" + base_[3],
       RollbackReason::kNotEntry},
      {"blank there", prefix + std::string(base_[2].size(), ' ') + "\n" + base_[3],
       RollbackReason::kNotEntry},
      {"another entry there", prefix + other_entry + "\n" + base_[3], RollbackReason::kOtherEntry},
  };
  for (const auto& c : rollbacks) {
    SCOPED_TRACE(c.name);
    audit = since(c.contents, cp_);
    ASSERT_EQ(audit.outcome, Outcome::kBroken);
    EXPECT_EQ(audit.break_found->kind, BreakKind::kRolledBack);
    EXPECT_EQ(audit.break_found->rollback, c.reason);
    EXPECT_EQ(audit.break_found->line, 3u);
    EXPECT_EQ(audit.break_found->covered, cp_.bytes);
    EXPECT_EQ(audit.break_found->expected, cp_.head);
  }
  EXPECT_EQ(audit.break_found->signature, signature_of(other_entry));
  EXPECT_EQ(audit.break_found->index, 2u);

  // The checkpoint's entry edited in place, its signature kept.
  audit = since(prefix + altered + "\n" + base_[3], cp_);
  ASSERT_EQ(audit.outcome, Outcome::kBroken);
  EXPECT_EQ(audit.break_found->kind, BreakKind::kContentAltered);
  EXPECT_EQ(audit.break_found->line, 3u);
  EXPECT_EQ(audit.break_found->offset, prefix.size());
}

TEST_F(SinceTest, TheFirstEntryIdentifiesTheLedger) {
  // Another ledger altogether: nothing is proven either way.
  const Lines other = chain_lines(5, GENESIS_BLOCK_HASH, 0, "bob");
  Audit audit = since(join(other), cp_);
  ASSERT_EQ(audit.outcome, Outcome::kError);
  EXPECT_EQ(audit.error_kind, ErrorKind::kOtherLedger);
  EXPECT_EQ(audit.other_first, signature_of(other[0]));

  // A first entry that a full walk would stop at is reported as that break.
  std::string edited = base_[0];
  edited.replace(edited.find("payment"), 7, "pAyment");
  audit = since(join({edited, base_[1], base_[2], base_[3]}), cp_);
  ASSERT_EQ(audit.outcome, Outcome::kBroken);
  EXPECT_EQ(audit.break_found->kind, BreakKind::kContentAltered);
  EXPECT_EQ(audit.break_found->line, 1u);
}

}  // namespace
}  // namespace ledger::cli
