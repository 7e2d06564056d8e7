// checkpoint and verify --since: the notes made, breaks below a checkpoint,
// signed notes and keys, and checkpoints that cannot be used.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/command.h"
#include "command_fixture.h"
#include "ledger/entry.h"
#include "ledger/parser.h"
#include "support.h"
#include "tlog/encoding.h"
#include "tlog/merkle.h"

namespace ledger::cli {

using tlog::base64_encode;
using tlog::leaf_hash;
using tlog::node_hash;

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

TEST_F(CommandTest, CheckpointAndVerifySince) {
  const std::string file = write("ledger.jsonl", join({base_[0], base_[1]}));
  const Ran made = run_cli({"checkpoint", file});
  EXPECT_EQ(made.status, kExitIntact);
  const std::string root = base64_encode(node_hash(leaf_hash(base_[0]), leaf_hash(base_[1])));
  const std::string note = "quorvel-ledger/" + sig_[0] + "\n2\n" + root + "\nchain-head " + sig_[1] + "\n";
  EXPECT_EQ(made.out, note);
  EXPECT_EQ(made.err, "");
  const std::string checkpoint = write("ledger.cp", made.out);

  write("ledger.jsonl", join(base_));
  Ran ran = run_cli({"verify", "--since", checkpoint, file});
  EXPECT_EQ(ran.status, kExitIntact);
  EXPECT_EQ(ran.out, file + ": intact: 3 entries, last line 3, head " + sig_[2] +
                         "\n  checkpoint: its 2 entry lines give its root hash " + root + "\n");
  EXPECT_EQ(ran.err, "");
  // The origin stays as the ledger grows; --since on checkpoint checks the old one first.
  for (const char* jobs : {"1", "2"}) {
    EXPECT_EQ(run_cli({"checkpoint", "--jobs", jobs, "--since=" + checkpoint, file}).out,
              run_cli({"checkpoint", file}).out);
  }
  EXPECT_EQ(run_cli({"checkpoint", "--origin", "example.com/books", file}).out.substr(0, 20),
            "example.com/books\n3\n");

  // An empty ledger has no default origin; with one given, it has the empty tree.
  const std::string empty = write("empty.jsonl", "");
  ran = run_cli({"checkpoint", empty});
  EXPECT_EQ(ran.status, kExitError);
  EXPECT_EQ(ran.err, "quorvel-ledger: " + empty +
                         ": the ledger has no entry yet, so no default origin (it comes from the "
                         "first entry); give --origin\n");
  EXPECT_EQ(run_cli({"checkpoint", "--origin", "example.com/books", empty}).out,
            "example.com/books\n0\n47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=\n"
            "chain-head GENESIS_BLOCK_HASH\n");

  // A checkpoint command on a broken ledger prints the break where the checkpoint would go.
  write("ledger.jsonl", join({base_[0], base_[2]}));
  ran = run_cli({"checkpoint", file});
  EXPECT_EQ(ran.status, kExitBroken);
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(ran.err.substr(0, ran.err.find('\n')),
            "quorvel-ledger: " + file + ": broken at line 2 (byte " +
                std::to_string(base_[0].size() + 1) + ", index 2): link broken");

  // A last line without its line feed is left out of the checkpoint, with a note.
  write("ledger.jsonl", join({base_[0], base_[1]}) + base_[2]);
  for (const char* jobs : {"1", "2"}) {
    ran = run_cli({"checkpoint", "--jobs", jobs, file});
    EXPECT_EQ(ran.out, note);
    EXPECT_EQ(ran.err, "quorvel-ledger: note: " + file +
                           ": line 3 has no line feed yet; the checkpoint stops before it\n");
  }

  // In JSON the note comes with its fields.
  write("ledger.jsonl", base_[0] + "\n");
  const std::string root1 = base64_encode(leaf_hash(base_[0]));
  EXPECT_EQ(run_cli({"checkpoint", "--json", file}).out,
            "{\"command\":\"checkpoint\",\"file\":\"" + file +
                "\",\"status\":\"intact\",\"entries\":1,\"last_line\":1,\"bytes\":" +
                std::to_string(base_[0].size() + 1) + ",\"head\":\"" + sig_[0] +
                "\",\"checkpoint\":\"quorvel-ledger/" + sig_[0] + "\\n1\\n" + root1 +
                "\\nchain-head " + sig_[0] + "\\n\",\"checkpoint_fields\":{\"origin\":\"quorvel-ledger/" +
                sig_[0] + "\",\"size\":1,\"root\":\"" + root1 + "\",\"head\":\"" + sig_[0] + "\"}}\n");
}

// The entry digest joins actor, delta bytes and payload without separators;
// the checkpoint note binds the lines' bytes, so such a rewrite shows.
TEST_F(CommandTest, ABreakBelowACheckpointNote) {
  const std::string original = entry_line(1, sig_[0], "ops-treasury", 100.0, "refund to customer");
  const Lines ledger = {base_[0], original};
  const std::string file = write("ledger.jsonl", join(ledger));
  const std::string checkpoint = write("ledger.cp", run_cli({"checkpoint", file}).out);
  // 100.0 is 40 59 00 00 00 00 00 00: "@Y" moves to the actor, "re" from the payload.
  const LogEntry entry = *parse_log_entry(original);
  std::string seam;
  append_entry_json(seam, {1, entry.timestamp, entry.prev_hash, "ops-treasury@Y",
                           std::bit_cast<double>(std::uint64_t{0x7265}), "fund to customer",
                           entry.signature});
  ASSERT_EQ(run_cli({"verify", write("seam.jsonl", join({base_[0], seam}))}).status, kExitIntact);
  const Lines rewritten = chain_lines(2, sig_[0], 1, "mallory");
  const Lines other = chain_lines(3, GENESIS_BLOCK_HASH, 0, "bob");
  const std::string covers = ", the checkpoint covers 2";
  const struct {
    const char* name;
    std::string contents;
    int status;
    std::string out;  // its first line, after "FILE: "
  } cases[] = {
      {"bytes moved across the digest's seams", join({base_[0], seam}), kExitBroken,
       "broken below the checkpoint: rewritten: its first 2 entry lines no longer give its root "
       "hash: an entry below it was changed, removed or inserted"},
      {"the chain recomputed after the first entry", join({base_[0], rewritten[0], rewritten[1]}),
       kExitBroken, "broken below the checkpoint: rewritten: its first 2 entry lines no longer "
       "give its root hash: an entry below it was changed, removed or inserted"},
      {"an entry cut off", join({base_[0]}), kExitBroken,
       "broken below the checkpoint: truncated: the file holds 1 entry line" + covers},
      {"an edit the chain sees", join({base_[0], replace_first(original, "refund", "refumd")}),
       kExitBroken, "broken at line 2 (byte " + std::to_string(base_[0].size() + 1) +
       ", index 1): content altered"},
      {"blank lines are not entries", join({"", base_[0], "  ", original}), kExitIntact,
       "intact: 2 entries, last line 4, head " + signature_of(original)},
      {"another ledger", join(other), kExitError, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write("ledger.jsonl", c.contents);
    for (const char* jobs : {"1", "2"}) {
      const Ran ran = run_cli({"verify", "--jobs", jobs, "--since", checkpoint, file});
      EXPECT_EQ(ran.status, c.status);
      EXPECT_EQ(ran.out.substr(0, ran.out.find('\n')), c.out.empty() ? "" : file + ": " + c.out);
    }
  }
  write("ledger.jsonl", join({base_[0], seam}));
  const Ran json = run_cli({"verify", "--json", "--since", checkpoint, file});
  EXPECT_NE(json.out.find("\"break\":{\"class\":\"rewritten\",\"checkpoint_size\":2,"
                          "\"checkpoint_root\":\"" + note_root(checkpoint) + "\",\"found_root\":\""),
            std::string::npos)
      << json.out;
}

TEST_F(CommandTest, SignedCheckpoints) {
  const std::string key = path("books.key");
  const std::string pub = path("books.pub");
  Ran ran = run_cli({"keygen", "--name", "example.com/books", "--key", key, "--pub", pub});
  ASSERT_EQ(ran.status, kExitIntact);
  EXPECT_EQ(ran.out, testing::read_file(pub));
  EXPECT_EQ(std::filesystem::status(key).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  // A key is never written over.
  ran = run_cli({"keygen", "--name", "other", "--key", key, "--pub", path("other.pub")});
  EXPECT_EQ(ran.status, kExitError);
  EXPECT_EQ(ran.err, "quorvel-ledger: " + key +
                         ": cannot create the signer key: File exists (os error 17)\n");
  EXPECT_FALSE(std::filesystem::exists(path("other.pub")));
  ASSERT_EQ(run_cli({"keygen", "--name", "other", "--key", path("other.key"), "--pub",
                     path("other.pub")}).status, kExitIntact);

  const std::string signed_note = run_cli({"checkpoint", "--key", key, clean_}).out;
  const std::string unsigned_note = run_cli({"checkpoint", clean_}).out;
  ASSERT_TRUE(signed_note.starts_with(unsigned_note + "\n\u2014 example.com/books "));
  std::string forged = signed_note;
  forged[forged.size() - 6] = forged[forged.size() - 6] == 'A' ? 'B' : 'A';
  const std::string pub_text = testing::read_file(pub);
  const std::string pub_name = pub_text.substr(0, pub_text.size() - 1);
  const struct {
    const char* name;
    std::string note;
    std::string pub;
    int status;
    std::string out;
  } cases[] = {
      {"signed", signed_note, pub, kExitIntact, ""},
      {"another key", signed_note, path("other.pub"), kExitBroken, "it holds no signature by other+"},
      {"not signed", unsigned_note, pub, kExitBroken, "it holds no signature by " + pub_name},
      {"a line of the earlier form", line_checkpoint(clean_), pub, kExitBroken,
       "it holds no signature by " + pub_name},
      {"a signature altered", forged, pub, kExitBroken,
       "its signature by " + pub_name + " does not verify"},
      {"the body altered", replace_first(signed_note, "chain-head", "chain-heads"), pub,
       kExitBroken, "its signature by " + pub_name + " does not verify"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string checkpoint = write("ledger.cp", c.note);
    ran = run_cli({"verify", "--since", checkpoint, "--pub", c.pub, clean_});
    EXPECT_EQ(ran.status, c.status);
    if (c.status == kExitBroken) {
      EXPECT_TRUE(ran.out.starts_with(checkpoint + ": checkpoint not proven: " + c.out)) << ran.out;
    }
  }
  write("ledger.cp", unsigned_note);
  EXPECT_EQ(run_cli({"verify", "--json", "--since", path("ledger.cp"), "--pub", pub, clean_}).out,
            "{\"command\":\"verify\",\"file\":\"" + clean_ +
                "\",\"status\":\"broken\",\"break\":{\"class\":\"checkpoint-signature\","
                "\"checkpoint\":\"" + path("ledger.cp") + "\",\"key\":\"" + pub_name +
                "\",\"reason\":\"missing\"}}\n");

  // Keys that cannot be used.
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string err;
  } bad[] = {
      {"a signer key given as verifier key", {"verify", "--since", path("ledger.cp"), "--pub", key, clean_},
       key + ": malformed verifier key: this is a signer (private) key; give its verifier key"},
      {"a verifier key given as signer key", {"checkpoint", "--key", pub, clean_},
       pub + ": malformed signer key: not a signer key (it does not start with PRIVATE+KEY+)"},
      {"a wrong key hash", {"checkpoint", "--key", write("bad.key", replace_first(testing::read_file(key), "+example.com/books+", "+example.com/bookz+")), clean_},
       path("bad.key") + ": malformed signer key: the key hash does not match the name and key"},
      {"not base64", {"checkpoint", "--key", write("bad64.key", "PRIVATE+KEY+a+00000000+!!!!\n"), clean_},
       path("bad64.key") + ": malformed signer key: the key is not standard base64"},
      {"a missing key", {"checkpoint", "--key", path("none.key"), clean_},
       path("none.key") + ": cannot read the signer key: No such file or directory (os error 2)"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.name);
    ran = run_cli(c.args);
    EXPECT_EQ(ran.status, kExitError);
    EXPECT_EQ(ran.err, "quorvel-ledger: " + c.err + "\n");
  }
}

TEST_F(CommandTest, FilesThatNoLongerHoldTheCheckpointLine) {
  const std::string file = write("ledger.jsonl", join(base_));
  const std::string checkpoint = write("ledger.cp", line_checkpoint(file));
  const std::size_t covered = join(base_).size();
  const std::string other_entry = entry_line(2, sig_[1], "alicf", 0.75, "payment \"2\"\t\xC3\xA9");
  const Lines other = chain_lines(3, GENESIS_BLOCK_HASH, 0, "bob");
  const struct {
    const char* name;
    std::string contents;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {"truncated", join({base_[0]}), kExitBroken,
       file + ": broken below the checkpoint: truncated: the file holds " +
           std::to_string(base_[0].size() + 1) + " bytes, the checkpoint covers " +
           std::to_string(covered) + "\n", ""},
      {"rolled back", join({base_[0], base_[1], other_entry}), kExitBroken,
       file + ": broken below the checkpoint: rolled back: the entry that ends at byte " +
           std::to_string(covered) + " (line 3) is not the checkpoint's last entry\n"
           "  checkpoint head:  " + sig_[2] + "\n"
           "  found signature:  " + signature_of(other_entry) + " (index 2)\n", ""},
      {"no line end", join({base_[0], base_[1]}) + base_[2] + "  \n", kExitBroken,
       file + ": broken below the checkpoint: rolled back: no line ends at byte " +
           std::to_string(covered) + " (line 3), where the checkpoint's last entry ended\n", ""},
      {"another ledger", join(other), kExitError, "",
       "quorvel-ledger: " + file + ": the checkpoint is of another ledger: its first entry has "
       "signature " + sig_[0] + ", this file's first entry " + signature_of(other[0]) + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write("ledger.jsonl", c.contents);
    const Ran ran = run_cli({"verify", "--since", checkpoint, file});
    EXPECT_EQ(ran.status, c.status);
    EXPECT_EQ(ran.out, c.out);
    EXPECT_EQ(ran.err, notice(checkpoint) + c.err);
  }
}

TEST_F(CommandTest, RollbackReasonsInJson) {
  const std::string file = write("ledger.jsonl", join(base_));
  const std::string checkpoint = write("ledger.cp", line_checkpoint(file));
  const std::string other_entry = entry_line(2, sig_[1], "alicf", 0.75, "payment \"2\"\t\xC3\xA9");
  const struct {
    std::string contents;
    std::string reason;
  } cases[] = {
      {join({base_[0], base_[1]}) + base_[2] + "  \n", "no-line-end"},
      {join({base_[0], base_[1], std::string(base_[2].size(), 'x')}), "not-an-entry"},
      {join({base_[0], base_[1], other_entry}), "other-entry"},
  };
  for (const auto& c : cases) {
    write("ledger.jsonl", c.contents);
    const Ran ran = run_cli({"verify", "--json", "--since", checkpoint, file});
    EXPECT_EQ(ran.status, kExitBroken) << c.reason;
    EXPECT_NE(ran.out.find("\"break\":{\"class\":\"rolled-back\",\"line\":3,"), std::string::npos)
        << ran.out;
    EXPECT_NE(ran.out.find(",\"reason\":\"" + c.reason + "\","), std::string::npos) << ran.out;
  }
}

TEST_F(CommandTest, CheckpointsThatCannotBeUsed) {
  const std::string good = line_checkpoint(clean_);
  const std::string note = run_cli({"checkpoint", clean_}).out;
  const struct {
    const char* name;
    std::string contents;
    std::string message;
  } cases[] = {
      {"empty", "", "malformed checkpoint: does not end with a line feed"},
      {"a verify report", run_cli({"verify", clean_}).out,
       "malformed checkpoint: expected an origin line, a tree size line and a root hash line"},
      {"line form, field edited", replace_first(good, "entries=3", "entries=x"),
       "malformed checkpoint: field 'entries' is not a whole number"},
      {"line form, two lines", good + good, "malformed checkpoint: more than one line"},
      {"note, size with a sign", replace_first(note, "\n3\n", "\n+3\n"),
       "malformed checkpoint: the tree size line is not a whole number without leading zeros"},
      {"note, short root", replace_first(note, "=\n", "\n"),
       "malformed checkpoint: the root hash line is not the standard base64 of 32 bytes"},
      {"note, a control character", replace_first(note, "chain-head", "chain\x1b[2J"),
       "malformed checkpoint: holds control characters"},
      {"note, not UTF-8", replace_first(note, "chain-head", "chain\xff"),
       "malformed checkpoint: not valid UTF-8"},
      {"note, empty line and no signature", note + "\n",
       "malformed checkpoint: an empty line is followed by no signature"},
      {"note, a bad signature line", note + "\n- key AAAA\n",
       "malformed checkpoint: a signature line does not start with '\u2014 '"},
      {"note, a short signature", note + "\n\u2014 key AAAA\n",
       "malformed checkpoint: a signature line's signature is not base64 of a key hash and a "
       "signature"},
      {"too long", std::string(70000, 'q'), "malformed checkpoint: longer than 65536 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string checkpoint = write("bad.cp", c.contents);
    const Ran ran = run_cli({"verify", "--since", checkpoint, clean_});
    EXPECT_EQ(ran.status, kExitError);
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(ran.err, "quorvel-ledger: " + checkpoint + ": " + c.message + "\n");
  }
  const std::string missing = path("missing.cp");
  Ran ran = run_cli({"verify", "--since", missing, clean_});
  EXPECT_EQ(ran.err, "quorvel-ledger: " + missing +
                         ": cannot read the checkpoint: No such file or directory (os error 2)\n");
  ran = run_cli({"checkpoint", "--json", "--since", missing, clean_});
  EXPECT_EQ(ran.status, kExitError);
  EXPECT_EQ(ran.out,
            "{\"command\":\"checkpoint\",\"file\":\"" + clean_ +
                "\",\"status\":\"error\",\"error\":\"bad-checkpoint\",\"message\":\"" + missing +
                ": cannot read the checkpoint: No such file or directory (os error 2)\"}\n");
}

}  // namespace
}  // namespace ledger::cli
