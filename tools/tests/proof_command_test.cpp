// prove and check-proof: inclusion and consistency proofs from a ledger, proofs
// that do not hold, and inputs that cannot be used.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/command.h"
#include "command_fixture.h"
#include "support.h"
#include "tlog/encoding.h"
#include "tlog/json.h"
#include "tlog/merkle.h"

namespace ledger::cli {

using tlog::Hash;
using tlog::base64_encode;
using tlog::inclusion_proof;
using tlog::json_quote;
using tlog::leaf_hash;

namespace {

using testing::chain_lines;
using testing::CommandTest;
using testing::join;
using testing::Lines;
using testing::Ran;
using testing::replace_first;
using testing::run_cli;
using testing::signature_of;

TEST_F(CommandTest, ProofsFromTheLedger) {
  const Lines lines = chain_lines(5);
  const std::string file = write("ledger.jsonl", join(lines));
  const std::string old_file = write("old.jsonl", join({lines[0], lines[1], lines[2]}));
  const std::string checkpoint = write("ledger.cp", run_cli({"checkpoint", file}).out);
  const std::string old_cp = write("old.cp", run_cli({"checkpoint", old_file}).out);

  Ran ran = run_cli({"prove", "--entry", "3", "--checkpoint", checkpoint, file});
  ASSERT_EQ(ran.status, kExitIntact);
  std::vector<Hash> leaves;
  for (const auto& line : lines) leaves.push_back(leaf_hash(line));
  std::string hashes;
  for (const Hash& h : inclusion_proof(leaves, 3)) hashes += (hashes.empty() ? "\"" : ",\"") + base64_encode(h) + "\"";
  EXPECT_EQ(ran.out, "{\"type\":\"inclusion\",\"index\":3,\"tree_size\":5,\"leaf_hash\":\"" +
                         base64_encode(leaves[3]) + "\",\"hashes\":[" + hashes + "],\"line\":" +
                         json_quote(lines[3]) + "}\n");
  const std::string proof = write("entry.proof", ran.out);
  ran = run_cli({"check-proof", proof, "--checkpoint", checkpoint});
  EXPECT_EQ(ran.status, kExitIntact);
  EXPECT_EQ(ran.out, "proven: entry 3 (the proof's line) is in the tree of size 5 of quorvel-ledger/" +
                         signature_of(lines[0]) + "\n");
  const std::string consistency = write("grow.proof", run_cli({"prove", "--from", old_cp, "--checkpoint", checkpoint, file}).out);
  EXPECT_EQ(run_cli({"check-proof", consistency, "--checkpoint", checkpoint, "--from", old_cp}).status, kExitIntact);

  // Proofs that do not hold.
  const std::string some_hash = base64_encode(leaves[0]);
  const struct {
    const char* name;
    std::string proof;
    std::vector<std::string> against;
    std::string out;
  } wrong[] = {
      {"another line", replace_first(testing::read_file(proof), "\"line\":\"{", "\"line\":\" {"), {"--checkpoint", checkpoint},
       "not proven: the proof's line does not hash to its leaf_hash"},
      {"another index", replace_first(testing::read_file(proof), "\"index\":3", "\"index\":2"), {"--checkpoint", checkpoint},
       "not proven: the hashes do not lead from entry 2 to the checkpoint's root hash"},
      {"another tree", testing::read_file(proof), {"--checkpoint", old_cp},
       "not proven: the proof is for a tree of size 5, the checkpoint's has size 3"},
      {"a hash replaced", replace_first(testing::read_file(consistency), "[\"", "[\"" + some_hash + "\",\""),
       {"--checkpoint", checkpoint, "--from", old_cp},
       "not proven: the hashes do not lead from the older root hash to the newer one"},
      {"checkpoints swapped", testing::read_file(consistency), {"--checkpoint", old_cp, "--from", checkpoint},
       "not proven: the proof is from size 3 to 5, the checkpoints have sizes 5 and 3"},
  };
  for (const auto& c : wrong) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"check-proof", write("wrong.proof", c.proof)};
    args.insert(args.end(), c.against.begin(), c.against.end());
    ran = run_cli(args);
    EXPECT_EQ(ran.status, kExitBroken);
    EXPECT_EQ(ran.out, c.out + "\n");
  }

  // prove refuses a file that no longer gives the checkpoint's root: one whose
  // chain was recomputed, and one whose chain breaks below the checkpoint.
  const std::string recomputed = chain_lines(1, signature_of(lines[3]), 4, "mallory")[0];
  write("ledger.jsonl", join({lines[0], lines[1], lines[2], lines[3], recomputed}));
  ran = run_cli({"prove", "--entry", "0", "--checkpoint", checkpoint, file});
  EXPECT_EQ(ran.status, kExitBroken);
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(ran.err, "quorvel-ledger: " + file +
                         ": its first 5 entry lines no longer give the checkpoint's root hash: no proof\n");
  write("ledger.jsonl", join({lines[0], lines[1], lines[2], lines[3]}) + replace_first(lines[4], "payment", "pAyment") + "\n");
  ran = run_cli({"prove", "--entry", "0", "--checkpoint", checkpoint, file});
  EXPECT_EQ(ran.status, kExitBroken);
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(ran.err, "quorvel-ledger: " + file + ": broken at line 5 (byte " +
                         std::to_string(join({lines[0], lines[1], lines[2], lines[3]}).size()) +
                         ", index 4): content altered: no proof\n");

  // Inputs that cannot be used.
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string err;
  } bad[] = {
      {"an entry past the tree", {"prove", "--entry", "5", "--checkpoint", checkpoint, file},
       "entry 5 is not in the checkpoint's tree of size 5"},
      {"an older checkpoint given as newer", {"prove", "--from", checkpoint, "--checkpoint", old_cp, file},
       "the --from checkpoint (size 5) is not older than the --checkpoint one (size 3)"},
      {"a checkpoint line of the earlier form", {"prove", "--entry", "0", "--checkpoint", write("line.cp", line_checkpoint(old_file)), file},
       path("line.cp") + ": a checkpoint line of the earlier form has no tree; make a new checkpoint"},
      {"a consistency proof without --from", {"check-proof", consistency, "--checkpoint", checkpoint},
       "a consistency proof needs the older checkpoint: --from OLD"},
      {"an inclusion proof with --from", {"check-proof", proof, "--checkpoint", checkpoint, "--from", old_cp},
       "--from applies to a consistency proof; this is an inclusion proof"},
      {"a missing proof", {"check-proof", path("none"), "--checkpoint", checkpoint},
       path("none") + ": cannot read the proof: No such file or directory (os error 2)"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.name);
    ran = run_cli(c.args);
    EXPECT_EQ(ran.status, kExitError);
    EXPECT_EQ(ran.err, "quorvel-ledger: " + c.err + "\n");
  }
}

}  // namespace
}  // namespace ledger::cli
