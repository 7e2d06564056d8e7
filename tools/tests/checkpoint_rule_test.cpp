// What a checkpoint adds to verification, and what it never takes away: the
// lines below any checkpoint are walked with the chain rule like every other
// line, and a note's root, size and chain head are checked on top.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/command.h"
#include "support.h"
#include "tlog/encoding.h"
#include "tlog/merkle.h"
#include "tlog/note.h"

namespace ledger::cli {
namespace {

using tlog::base64_encode;
using tlog::default_origin;
using tlog::empty_tree_hash;
using tlog::format_note_body;
using tlog::kHeadExtension;
using tlog::leaf_hash;
using tlog::node_hash;
using tlog::TreeBuilder;

using testing::chain_lines;
using testing::join;
using testing::Lines;
using testing::Ran;
using testing::run_cli;
using testing::signature_of;

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// An unsigned note with the default origin over exactly these lines.
std::string note_over(const Lines& lines, std::string_view head) {
  TreeBuilder tree;
  for (const auto& line : lines) tree.add_leaf(leaf_hash(line));
  return format_note_body(default_origin(signature_of(lines[0])), lines.size(), tree.root(),
                          {std::string(kHeadExtension) + std::string(head)});
}

class CheckpointRuleTest : public testing::ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    entries_ = chain_lines(2);
  }
  Lines entries_;
};

// A checkpoint that covers a line no recorder wrote cannot make it intact: the
// walk names the line, whatever the checkpoint's form and the number of jobs.
TEST_F(CheckpointRuleTest, ACheckpointNeverVouchesForLinesTheChainRefuses) {
  const Lines lines = {entries_[0], "this is not an entry", entries_[1]};
  const std::string file = write("ledger.jsonl", join(lines));
  const std::string at_line_2 = file + ": broken at line 2 (byte " +
                                std::to_string(entries_[0].size() + 1) +
                                "): not a ledger entry: the value is neither an object nor an array at column 1";
  ASSERT_EQ(first_line(run_cli({"verify", file}).out), at_line_2);
  const std::string note = write("note.cp", note_over(lines, signature_of(entries_[1])));
  const std::string line_form =
      write("line.cp", "quorvel-ledger-checkpoint v1 lines=3 bytes=" +
                           std::to_string(join(lines).size()) + " index=1 head=" +
                           signature_of(entries_[1]) + " entries=2 first=" +
                           signature_of(entries_[0]) + "\n");
  for (const std::string& checkpoint : {note, line_form}) {
    for (const char* jobs : {"1", "2"}) {
      SCOPED_TRACE(checkpoint + ", jobs " + jobs);
      Ran ran = run_cli({"verify", "--jobs", jobs, "--since", checkpoint, file});
      EXPECT_EQ(ran.status, kExitBroken);
      EXPECT_EQ(first_line(ran.out), at_line_2);
      if (checkpoint != note) continue;
      ran = run_cli({"checkpoint", "--jobs", jobs, "--since", checkpoint, file});
      EXPECT_EQ(ran.status, kExitBroken);
      EXPECT_EQ(ran.out, "");
      EXPECT_EQ(first_line(ran.err), "quorvel-ledger: " + at_line_2);
    }
  }
  const Ran ran = run_cli({"prove", "--entry", "0", "--checkpoint", note, file});
  EXPECT_EQ(ran.status, kExitBroken);
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(ran.err, "quorvel-ledger: " + at_line_2 + ": no proof\n");
}

// The note's chain-head line is compared with the chain head after its SIZE
// entry lines: a note with the right root and another head is a break.
TEST_F(CheckpointRuleTest, TheChainHeadOfANoteIsChecked) {
  const Lines lines = chain_lines(3);
  const std::string file = write("ledger.jsonl", join(lines));
  const std::string zeros(64, '0');
  const std::string wrong = write("wrong.cp", note_over({lines[0], lines[1]}, zeros));
  const std::string right = write("right.cp", note_over({lines[0], lines[1]}, signature_of(lines[1])));
  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(std::string("jobs ") + jobs);
    EXPECT_EQ(run_cli({"verify", "--jobs", jobs, "--since", right, file}).status, kExitIntact);
    Ran ran = run_cli({"verify", "--jobs", jobs, "--since", wrong, file});
    EXPECT_EQ(ran.status, kExitBroken);
    EXPECT_EQ(ran.out, file +
                           ": broken below the checkpoint: wrong chain head: its chain-head line is "
                           "not the chain head after its 2 entry lines\n  checkpoint head: " +
                           zeros + "\n  file head:       " + signature_of(lines[1]) + "\n");
    ran = run_cli({"verify", "--json", "--jobs", jobs, "--since", wrong, file});
    EXPECT_EQ(ran.status, kExitBroken);
    EXPECT_NE(ran.out.find("\"status\":\"broken\",\"break\":{\"class\":\"wrong-chain-head\","
                           "\"checkpoint_size\":2,\"checkpoint_head\":\"" + zeros +
                           "\",\"found_head\":\"" + signature_of(lines[1]) + "\"}"),
              std::string::npos)
        << ran.out;
    ran = run_cli({"checkpoint", "--jobs", jobs, "--since", wrong, file});
    EXPECT_EQ(ran.status, kExitBroken);
    EXPECT_EQ(ran.out, "");
  }
  // A note of size 0 names the genesis head.
  const std::string empty_root = base64_encode(empty_tree_hash());
  const std::string origin = default_origin(signature_of(lines[0]));
  const std::string genesis =
      write("genesis.cp", origin + "\n0\n" + empty_root + "\nchain-head GENESIS_BLOCK_HASH\n");
  EXPECT_EQ(run_cli({"verify", "--since", genesis, file}).status, kExitIntact);
  const std::string other = write("other.cp", origin + "\n0\n" + empty_root + "\nchain-head " + zeros + "\n");
  EXPECT_EQ(first_line(run_cli({"verify", "--since", other, file}).out),
            file + ": broken below the checkpoint: wrong chain head: its chain-head line is not the "
                   "chain head after its 0 entry lines");
}

// A tree of size 0 has exactly one root, for every command that reads a note.
TEST_F(CheckpointRuleTest, ATreeOfNoLeavesHasOneRoot) {
  const Lines lines = chain_lines(2);
  const std::string file = write("ledger.jsonl", join(lines));
  const std::string origin = default_origin(signature_of(lines[0]));
  const std::string zero = write("zero.cp", origin + "\n0\n" + base64_encode(leaf_hash(lines[0])) + "\n");
  const std::string two = write("two.cp", note_over(lines, signature_of(lines[1])));
  const std::string proof = write("grow.proof", "{\"type\":\"consistency\",\"old_size\":0,\"new_size\":2,\"hashes\":[]}\n");
  const std::string refused = zero + ": malformed checkpoint: a tree of size 0 has one root hash, " +
                              base64_encode(empty_tree_hash()) + ", and this note gives another";
  const std::vector<std::vector<std::string>> commands = {
      {"verify", "--since", zero, file},
      {"prove", "--from", zero, "--checkpoint", two, file},
      {"check-proof", proof, "--from", zero, "--checkpoint", two},
  };
  for (const auto& args : commands) {
    SCOPED_TRACE(args[0]);
    const Ran ran = run_cli(args);
    EXPECT_EQ(ran.status, kExitError);
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(ran.err, "quorvel-ledger: " + refused + "\n");
  }
}

// Every walk stops at its first break: a note that claims a huge tree over a
// file of lines that are not entries is answered at line 1.
TEST_F(CheckpointRuleTest, AHugeNoteOverJunkStopsAtTheFirstLine) {
  std::string junk;
  for (int i = 0; i < 200000; ++i) junk += "x\n";
  const std::string file = write("junk.jsonl", junk);
  const std::string note = write("huge.cp", "example.com/junk\n9223372036854775807\n" +
                                                base64_encode(leaf_hash("x")) + "\n");
  const std::string at_line_1 =
      file + ": broken at line 1 (byte 0): not a ledger entry: the value is neither an object nor an array at column 1";
  for (const char* jobs : {"1", "2", "16"}) {
    SCOPED_TRACE(std::string("jobs ") + jobs);
    const Ran ran = run_cli({"verify", "--jobs", jobs, "--since", note, file});
    EXPECT_EQ(ran.status, kExitBroken);
    EXPECT_EQ(first_line(ran.out), at_line_1);
  }
  const Ran ran = run_cli({"prove", "--entry", "5", "--checkpoint", note, file});
  EXPECT_EQ(ran.status, kExitBroken);
  EXPECT_EQ(ran.err, "quorvel-ledger: " + at_line_1 + ": no proof\n");
}

}  // namespace
}  // namespace ledger::cli
