// The command line end to end: arguments, exact output in text and JSON, exit
// statuses, and the messages for files and checkpoints that cannot be used.
#include "cli/command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "audit/audit.h"
#include "audit/ledger_set.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "ledger/digest.h"
#include "ledger/format.h"
#include "ledger/parser.h"
#include "support.h"
#include "tlog/encoding.h"
#include "tlog/json.h"
#include "tlog/merkle.h"

namespace ledger::cli {

using audit::Audit;
using audit::AuditOptions;
using audit::BreakKind;
using audit::ErrorKind;
using audit::HintKind;
using audit::Outcome;
using audit::Unfinished;
using audit::WalkOptions;
using audit::audit_ledger;
using audit::audit_ledgers;
using audit::checkpoint_of;
using audit::format_checkpoint;
using tlog::Hash;
using tlog::base64_encode;
using tlog::display;
using tlog::inclusion_proof;
using tlog::json_quote;
using tlog::leaf_hash;
using tlog::node_hash;

namespace {

using testing::chain_lines;
using testing::entry_line;
using testing::join;
using testing::Lines;
using testing::Capture;
using testing::Ran;
using testing::run_cli;
using testing::signature_of;

std::string replace_first(std::string text, std::string_view from, std::string_view to) {
  text.replace(text.find(from), from.size(), to);
  return text;
}

class CommandTest : public testing::ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    base_ = chain_lines(3);
    for (const auto& line : base_) sig_.push_back(signature_of(line));
    clean_ = write("clean.jsonl", join(base_));
  }

  // A checkpoint line of the earlier form, as `checkpoint` used to print it.
  static std::string line_checkpoint(const std::string& file) {
    return format_checkpoint(checkpoint_of(audit_ledger(file, {}).chain)) + "\n";
  }
  // The root hash line of the checkpoint note at `path`.
  static std::string note_root(const std::string& path) {
    const std::string text = testing::read_file(path);
    const std::size_t second = text.find('\n', text.find('\n') + 1) + 1;
    return text.substr(second, text.find('\n', second) - second);
  }
  // What verify --since says of such a checkpoint at `checkpoint`.
  static std::string notice(const std::string& checkpoint) {
    return "quorvel-ledger: note: " + checkpoint +
           ": a checkpoint line of the earlier form binds only its last entry, not the bytes of "
           "the entries below it; make a new checkpoint\n";
  }

  Lines base_;
  std::vector<std::string> sig_;
  std::string clean_;
};

TEST_F(CommandTest, VerifyReportsAnIntactLedger) {
  const Ran text = run_cli({"verify", clean_});
  EXPECT_EQ(text.status, kExitIntact);
  EXPECT_EQ(text.out, clean_ + ": intact: 3 entries, last line 3, head " + sig_[2] + "\n");
  EXPECT_EQ(text.err, "");

  const Ran json = run_cli({"verify", "--json", "--jobs", "2", clean_});
  EXPECT_EQ(json.status, kExitIntact);
  EXPECT_EQ(json.out, "{\"command\":\"verify\",\"file\":\"" + clean_ +
                          "\",\"status\":\"intact\",\"entries\":3,\"last_line\":3,\"bytes\":" +
                          std::to_string(join(base_).size()) + ",\"head\":\"" + sig_[2] + "\"}\n");

  const std::string empty = write("empty.jsonl", "\n\n");
  EXPECT_EQ(run_cli({"verify", empty}).out,
            empty + ": intact: 0 entries, last line 2, head GENESIS_BLOCK_HASH\n");
}

TEST_F(CommandTest, VerifyNamesTheBreakAndItsHints) {
  const std::string altered_line = replace_first(base_[1], "payment", "pAyment");
  const LogEntry altered = *parse_log_entry(altered_line);
  const std::string recomputed = *compute_entry_digest(
      altered.prev_hash, altered.timestamp, altered.actor, altered.delta_i, altered.payload);
  const std::size_t line2 = base_[0].size() + 1;
  const std::size_t line3 = line2 + base_[1].size() + 1;
  const Lines bob = chain_lines(1, sig_[1], 2, "bob");
  const std::string restart = entry_line(2, sig_[1], "alice", 7.0, "after the crash");
  const LogEntry second = *parse_log_entry(base_[1]);
  const std::string moved =
      replace_first(replace_first(base_[1], "+00:00\"", "+00:00" + second.actor.substr(0, 2) + "\""),
                    "\"actor\":\"" + second.actor + "\"", "\"actor\":\"" + second.actor.substr(2) + "\"");
  const struct {
    const char* name;
    std::string contents;
    std::string report;  // after "FILE: broken at line "
  } cases[] = {
      {"content altered", join({base_[0], altered_line, base_[2]}),
       "2 (byte " + std::to_string(line2) + ", index 1): content altered\n"
       "  stored signature:     " + sig_[1] + "\n"
       "  recomputed signature: " + recomputed + "\n"
       "  verified before it: 1 entry, head " + sig_[0] + "\n"},
      {"deleted", join({base_[0], base_[2]}),
       "2 (byte " + std::to_string(line2) + ", index 2): link broken\n"
       "  expected prev_hash: " + sig_[0] + "\n"
       "  found prev_hash:    " + sig_[1] + "\n"
       "  verified before it: 1 entry, head " + sig_[0] + "\n"
       "hint: line 2 has index 2 where 1 was due: 1 entry is missing before it\n"},
      {"two writers", join({base_[0], base_[1], base_[2], bob[0]}),
       "4 (byte " + std::to_string(join(base_).size()) + ", index 2): link broken\n"
       "  expected prev_hash: " + sig_[2] + "\n"
       "  found prev_hash:    " + sig_[1] + "\n"
       "  verified before it: 3 entries, head " + sig_[2] + "\n"
       "hint: line 4 has index 2 where 3 was due: the index repeats or goes back\n"
       "hint: the entries on lines 3 and 4 have the same prev_hash: a fork, two writers appending "
       "to the same chain head\n"},
      {"repeated", join({base_[0], base_[0]}),
       "2 (byte " + std::to_string(line2) + ", index 0): link broken\n"
       "  expected prev_hash: " + sig_[0] + "\n"
       "  found prev_hash:    GENESIS_BLOCK_HASH\n"
       "  verified before it: 1 entry, head " + sig_[0] + "\n"
       "hint: line 2 has index 0 where 1 was due: the index repeats or goes back\n"
       "hint: the entry on line 2 repeats the entry on line 1\n"},
      {"torn tail", join({base_[0], base_[1]}) + base_[2].substr(0, 50),
       "3 (byte " + std::to_string(line3) + "): torn tail: the last line has no line feed and is "
       "not a whole entry\n"
       "  50 bytes read: the line ends inside the value at column 51\n"
       "  verified before it: 2 entries, head " + sig_[1] + "\n"
       "hint: line 3 has no line feed yet: a write may still be in progress there, or one was "
       "interrupted; run again, or use --live to check everything before it\n"},
      {"an edit, and a torn tail further on", join({base_[0], altered_line}) +
       base_[2].substr(0, 50),
       "2 (byte " + std::to_string(line2) + ", index 1): content altered\n"
       "  stored signature:     " + sig_[1] + "\n"
       "  recomputed signature: " + recomputed + "\n"
       "  verified before it: 1 entry, head " + sig_[0] + "\n"
       "hint: line 3, the last line, has no line feed and is cut short: an interrupted write (a "
       "crash), not an edit\n"},
      {"torn, then appended", join({base_[0], base_[1]}) + base_[2].substr(0, 50) + restart + "\n",
       "3 (byte " + std::to_string(line3) + "): not a ledger entry: expected ',' or the closing "
       "bracket at column 53\n"
       "  verified before it: 2 entries, head " + sig_[1] + "\n"
       "hint: line 3 holds a cut-short entry and, from column 51, a complete one: an interrupted "
       "write, then a later append\n"},
      // Bytes moved from the actor into the timestamp keep the signature.
      {"bad timestamp", join({base_[0], moved, base_[2]}),
       "2 (byte " + std::to_string(line2) + ", index 1): bad timestamp: the timestamp is not in the "
       "writer's form\n"
       "  timestamp: " + display(parse_log_entry(moved)->timestamp) + "\n"
       "  verified before it: 1 entry, head " + sig_[0] + "\n"},
      {"not UTF-8", join({base_[0], "{\"a\xC0\x80\"}"}),
       "2 (byte " + std::to_string(line2) + "): not valid UTF-8 at column 4\n"
       "  verified before it: 1 entry, head " + sig_[0] + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = write("ledger.jsonl", c.contents);
    const Ran ran = run_cli({"verify", file});
    EXPECT_EQ(ran.status, kExitBroken);
    EXPECT_EQ(ran.out, file + ": broken at line " + c.report);
    EXPECT_EQ(ran.err, "");
  }
}

TEST_F(CommandTest, VerifyInJson) {
  const std::string file = write("ledger.jsonl", join({base_[0], base_[2]}));
  const Ran ran = run_cli({"verify", "--json", file});
  EXPECT_EQ(ran.status, kExitBroken);
  EXPECT_EQ(
      ran.out,
      "{\"command\":\"verify\",\"file\":\"" + file +
          "\",\"status\":\"broken\",\"break\":{\"class\":\"link-broken\",\"line\":2,\"offset\":" +
          std::to_string(base_[0].size() + 1) + ",\"index\":2,\"expected_prev_hash\":\"" + sig_[0] +
          "\",\"found_prev_hash\":\"" + sig_[1] + "\"},\"verified\":{\"entries\":1,\"head\":\"" +
          sig_[0] +
          "\"},\"hints\":[{\"kind\":\"index-gap\",\"line\":2,\"expected\":1,\"found\":2}]}\n");

  // A timestamp not in the writer's form, in the first entry.
  const std::string first_actor = parse_log_entry(base_[0])->actor;
  const std::string moved = replace_first(
      replace_first(base_[0], "+00:00\"", "+00:00" + first_actor.substr(0, 1) + "\""),
      "\"actor\":\"" + first_actor + "\"", "\"actor\":\"" + first_actor.substr(1) + "\"");
  const std::string stamped = write("stamped.jsonl", moved + "\n");
  EXPECT_EQ(run_cli({"verify", "--json", stamped}).out,
            "{\"command\":\"verify\",\"file\":\"" + stamped +
                "\",\"status\":\"broken\",\"break\":{\"class\":\"bad-timestamp\",\"line\":1,"
                "\"offset\":0,\"index\":0,\"timestamp\":\"" +
                parse_log_entry(moved)->timestamp +
                "\"},\"verified\":{\"entries\":0,\"head\":\"GENESIS_BLOCK_HASH\"},\"hints\":[]}\n");

  const std::string torn = write("torn.jsonl", base_[0] + "\n{\"index\":1,}");
  EXPECT_EQ(
      run_cli({"verify", "--json", torn}).out,
      "{\"command\":\"verify\",\"file\":\"" + torn +
          "\",\"status\":\"broken\",\"break\":{\"class\":\"torn-tail\",\"line\":2,\"offset\":" +
          std::to_string(base_[0].size() + 1) +
          ",\"index\":null,\"bytes\":12,\"column\":12,\"reason\":\"',' before the closing "
          "bracket\"},\"verified\":{\"entries\":1,\"head\":\"" +
          sig_[0] + "\"},\"hints\":[{\"kind\":\"write-in-progress\",\"line\":2}]}\n");

  // The same line with its line feed is not an entry, with the parser's reason.
  const std::string bad = write("bad.jsonl", base_[0] + "\n{\"index\":1,}\n");
  EXPECT_EQ(
      run_cli({"verify", "--json", bad}).out,
      "{\"command\":\"verify\",\"file\":\"" + bad +
          "\",\"status\":\"broken\",\"break\":{\"class\":\"not-an-entry\",\"line\":2,\"offset\":" +
          std::to_string(base_[0].size() + 1) +
          ",\"index\":null,\"column\":12,\"reason\":\"',' before the closing bracket\"},"
          "\"verified\":{\"entries\":1,\"head\":\"" +
          sig_[0] + "\"},\"hints\":[]}\n");
}

TEST_F(CommandTest, HostileTextFromTheFileIsEscaped) {
  // A prev_hash that would move the cursor and colour a terminal is shown escaped.
  const std::string evil = "\x1B[2J\x1B[31mOK\n\xE2\x80\xAE";
  const std::string file = write("ledger.jsonl", entry_line(0, evil, "mallory", 1.0, "x") + "\n");
  const Ran ran = run_cli({"verify", file});
  EXPECT_EQ(ran.out, file +
                         ": broken at line 1 (byte 0, index 0): link broken\n"
                         "  expected prev_hash: GENESIS_BLOCK_HASH\n"
                         "  found prev_hash:    \"\\u001b[2J\\u001b[31mOK\\n\\u202e\"\n"
                         "  verified before it: 0 entries, head GENESIS_BLOCK_HASH\n");
}

TEST_F(CommandTest, FilesThatCannotBeVerified) {
  const std::string missing = path("missing.jsonl");
  const std::string fifo = path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string file;
    std::string message;
  } cases[] = {
      {missing, "cannot open: No such file or directory (os error 2)"},
      {dir_.string(), "cannot open: Is a directory (os error 21)"},
      {fifo, "cannot open: not a regular file"},
  };
  for (const auto& c : cases) {
    for (const char* command : {"verify", "checkpoint", "head"}) {
      SCOPED_TRACE(std::string(command) + " " + c.file);
      const Ran ran = run_cli({command, c.file});
      EXPECT_EQ(ran.status, kExitError);
      EXPECT_EQ(ran.out, "");
      EXPECT_EQ(ran.err, "quorvel-ledger: " + c.file + ": " + c.message + "\n");
    }
  }
  const Ran json = run_cli({"verify", "--json", missing});
  EXPECT_EQ(json.status, kExitError);
  EXPECT_EQ(json.out, "{\"command\":\"verify\",\"file\":\"" + missing +
                          "\",\"status\":\"error\",\"error\":\"cannot-open\",\"message\":\"No such "
                          "file or directory (os error 2)\"}\n");
  EXPECT_EQ(json.err, "");

  if (::geteuid() != 0) {  // root reads whatever it likes
    const std::string locked = write("locked.jsonl", join(base_));
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(run_cli({"verify", locked}).err,
              "quorvel-ledger: " + locked + ": cannot open: Permission denied (os error 13)\n");
  }
}

TEST_F(CommandTest, QuietPrintsNothing) {
  const std::string broken = write("broken.jsonl", join({base_[1]}));
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"verify", "-q", clean_}, kExitIntact},
      {{"verify", "--quiet", broken}, kExitBroken},
      {{"verify", "--quiet", path("missing")}, kExitError},
      {{"checkpoint", "-q", broken}, kExitBroken},
      {{"head", "-q", clean_}, kExitIntact},
  };
  for (const auto& c : cases) {
    const Ran ran = run_cli(c.args, /*terminal=*/true);
    EXPECT_EQ(ran.status, c.status) << c.args[0];
    EXPECT_EQ(ran.out + ran.err, "") << c.args[0];
  }
}

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

TEST(CommandLineTest, UsageErrors) {
  const struct {
    std::vector<std::string> args;
    std::string problem;
  } cases[] = {
      {{}, "no command given"},
      {{"verfiy", "f"}, "unknown command 'verfiy'"},
      {{"verify"}, "expected at least one FILE, found 0"},
      {{"checkpoint", "a", "b"}, "expected one FILE, found 2"},
      {{"export", "a", "b"}, "expected one FILE, found 2"},
      {{"verify", "--since", "checkpoint", "a", "b"}, "--since takes one FILE, found 2"},
      {{"export", "--json", "f"}, "option '--json' does not apply to 'export'"},
      {{"export", "--jobs", "2", "f"}, "option '--jobs' does not apply to 'export'"},
      {{"verify", "--format", "csv", "f"}, "option '--format' does not apply to 'verify'"},
      {{"export", "--format", "xml", "f"}, "--format takes jsonl or csv, not 'xml'"},
      {{"export", "--from", "0", "f"}, "--from takes a line number (a whole number from 1), not '0'"},
      {{"export", "--from", "5", "--to", "4", "f"}, "--from 5 is after --to 4"},
      {{"head", "--strict", "f"}, "option '--strict' does not apply to 'head'"},
      {{"verify", "--jobs"}, "option '--jobs' needs a value"},
      {{"verify", "--jobs", "0", "f"}, "--jobs takes a whole number from 1 to 256, not '0'"},
      {{"verify", "-j257", "f"}, "--jobs takes a whole number from 1 to 256, not '257'"},
      {{"verify", "--jobs=two", "f"}, "--jobs takes a whole number from 1 to 256, not 'two'"},
      {{"verify", "--json=yes", "f"}, "option '--json' takes no value"},
      {{"verify", "--json", "--quiet", "f"}, "--json and --quiet exclude each other"},
      {{"verify", "--verbose", "f"}, "unknown option '--verbose'"},
      {{"head", "--since", "checkpoint", "f"}, "option '--since' does not apply to 'head'"},
      {{"head", "-j", "2", "f"}, "option '-j' does not apply to 'head'"},
      {{"head", "--live", "f"}, "option '--live' does not apply to 'head'"},
      {{"verify", "--live=yes", "f"}, "option '--live' takes no value"},
      {{"--help", "verfiy"}, "unexpected argument 'verfiy'"},
      {{"--version", "verify"}, "unexpected argument 'verify'"},
      {{"verify", "--origin", "o", "f"}, "option '--origin' does not apply to 'verify'"},
      {{"verify", "--key", "k", "f"}, "option '--key' does not apply to 'verify'"},
      {{"checkpoint", "--origin", "", "f"},
       "--origin takes a non-empty line of UTF-8 text without control characters"},
      {{"checkpoint", "--origin", "a\nb", "f"},
       "--origin takes a non-empty line of UTF-8 text without control characters"},
      {{"verify", "--pub", "p", "f"}, "--pub checks the signature of a --since checkpoint"},
      {{"keygen", "--name", "n", "--key", "k"}, "keygen needs --name, --key and --pub"},
      {{"keygen", "--name", "n", "--key", "k", "--pub", "k"}, "--key and --pub name the same file"},
      {{"keygen", "--size", "2"}, "unknown option '--size' for 'keygen'"},
      {{"prove", "--checkpoint", "c", "f"}, "prove takes one of --entry N and --from OLD"},
      {{"prove", "--entry", "1", "--from", "o", "--checkpoint", "c", "f"},
       "prove takes one of --entry N and --from OLD"},
      {{"prove", "--entry", "-1", "--checkpoint", "c", "f"}, "--entry takes a whole number, not '-1'"},
      {{"prove", "--entry", "1", "f"}, "prove needs --checkpoint"},
      {{"prove", "--entry", "1", "--entry", "2", "--checkpoint", "c", "f"},
       "option '--entry' is given twice"},
      {{"check-proof", "p"}, "check-proof needs --checkpoint"},
      {{"check-proof", "--checkpoint", "c"}, "expected one PROOF, found 0"},
      {{"check-proof", "-", "--checkpoint", "-", "--from", "-"}, "only one input can be read from stdin"},
  };
  for (const auto& c : cases) {
    const Ran ran = run_cli(c.args);
    EXPECT_EQ(ran.status, kExitError) << c.problem;
    EXPECT_EQ(ran.out, "") << c.problem;
    EXPECT_EQ(ran.err, "quorvel-ledger: " + c.problem + " (see 'quorvel-ledger --help')\n");
  }
  // "--" ends the options; "-" is a file name.
  EXPECT_EQ(run_cli({"verify", "--", "--json"}).err,
            "quorvel-ledger: --json: cannot open: No such file or directory (os error 2)\n");
  EXPECT_EQ(run_cli({"--version"}).out,
            "quorvel-ledger " QUORVEL_LEDGER_VERSION " (checkpoint form v2)\n");
  EXPECT_EQ(run_cli({"-V"}).out, run_cli({"--version"}).out);
}

TEST(CommandLineTest, Help) {
  const Ran overview = run_cli({"--help"});
  EXPECT_EQ(overview.status, kExitIntact);
  EXPECT_TRUE(overview.out.starts_with("usage: quorvel-ledger verify "));
  for (const char* command :
       {"verify", "checkpoint", "head", "export", "keygen", "prove", "check-proof"}) {
    SCOPED_TRACE(command);
    // The overview names every command; each has its own help, however asked,
    // whatever else is on the line.
    EXPECT_NE(overview.out.find(std::string("\n") + command + " "), std::string::npos);
    const Ran help = run_cli({command, "--help"});
    EXPECT_EQ(help.status, kExitIntact);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.substr(0, help.out.find(' ', 22)),
              std::string("usage: quorvel-ledger ") + command);
    EXPECT_NE(help.out.find("exit status:"), std::string::npos);
    EXPECT_EQ(run_cli({"--help", command}).out, help.out);
    EXPECT_EQ(run_cli({command, "--jobs=3", "-h", "--bogus", "a", "b"}).out, help.out);
  }
}

TEST(OutputTest, QuotingOfUntrustedText) {
  const struct {
    std::string text;
    std::string quoted;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a \"b\" \\c", "\"a \\\"b\\\" \\\\c\""},
      {std::string("\x01\t\n\r\x1F\x7F", 6), "\"\\u0001\\t\\n\\r\\u001f\\u007f\""},
      {"\xC3\xA9\xE2\x80\xAE", "\"\\u00e9\\u202e\""},
      {"\xF0\x9F\x98\x80", "\"\\ud83d\\ude00\""},
      {"a\xFF" "b\xC3", "\"a\\ufffdb\\ufffd\""},
      {"\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\""},  // an encoded surrogate is not UTF-8
  };
  for (const auto& c : cases) EXPECT_EQ(json_quote(c.text), c.quoted) << c.text;
  EXPECT_EQ(display("ledger.jsonl"), "ledger.jsonl");
  EXPECT_EQ(display("my ledger"), "\"my ledger\"");
  EXPECT_EQ(display(""), "\"\"");
}

TEST(OutputTest, NamesInJsonReports) {
  // Auditors' scripts match these names; reordering an enum must not change them.
  const std::pair<BreakKind, std::string_view> breaks[] = {
      {BreakKind::kInvalidUtf8, "invalid-utf8"}, {BreakKind::kNotEntry, "not-an-entry"},
      {BreakKind::kLinkBroken, "link-broken"},   {BreakKind::kContentAltered, "content-altered"},
      {BreakKind::kTruncated, "truncated"},      {BreakKind::kRolledBack, "rolled-back"},
      {BreakKind::kTornTail, "torn-tail"},
  };
  for (const auto& [kind, name] : breaks) EXPECT_EQ(break_name(kind), name);
  const std::pair<HintKind, std::string_view> hints[] = {
      {HintKind::kTornTail, "torn-tail"}, {HintKind::kTornThenAppended, "torn-then-appended"},
      {HintKind::kFork, "fork"},          {HintKind::kDuplicate, "duplicate"},
      {HintKind::kIndexGap, "index-gap"}, {HintKind::kIndexRepeat, "index-repeat"},
      {HintKind::kWriteInProgress, "write-in-progress"},
  };
  for (const auto& [kind, name] : hints) EXPECT_EQ(hint_name(kind), name);
  const std::pair<ErrorKind, std::string_view> errors[] = {
      {ErrorKind::kCannotOpen, "cannot-open"},       {ErrorKind::kCannotRead, "cannot-read"},
      {ErrorKind::kOtherLedger, "other-ledger"},     {ErrorKind::kInternal, "internal"},
      {ErrorKind::kBadCheckpoint, "bad-checkpoint"},
  };
  for (const auto& [kind, name] : errors) EXPECT_EQ(error_name(kind), name);
}

TEST(OutputTest, AnAuditEndedByAnInternalFault) {
  // What run() reports when the library throws during an audit.
  Audit audit;
  audit.outcome = Outcome::kError;
  audit.error = Failure::out_of_memory();
  audit.error_kind = ErrorKind::kInternal;
  EXPECT_EQ(audit_error_text("big.jsonl", audit, std::nullopt),
            "big.jsonl: internal error: out of memory");
  EXPECT_EQ(audit_json("verify", "big.jsonl", audit, std::nullopt),
            "{\"command\":\"verify\",\"file\":\"big.jsonl\",\"status\":\"error\",\"error\":"
            "\"internal\",\"message\":\"out of memory\"}\n");
}

TEST(OutputTest, ProgressLine) {
  EXPECT_EQ(format_size(1023), "1023 B");
  EXPECT_EQ(format_size(1536), "1.5 KiB");
  EXPECT_EQ(format_size(3ULL << 30), "3.0 GiB");
  EXPECT_EQ(progress_text("quorvel-ledger: verifying big.jsonl", 1288490189, 3ULL << 30),
            "quorvel-ledger: verifying big.jsonl: 40% (1.2 GiB of 3.0 GiB)");
  // A shorter text after a longer one leaves nothing of the longer one; a
  // plain terminal (TERM=dumb) gets spaces, never an escape sequence.
  const struct {
    bool plain;
    std::string drawn;
  } cases[] = {
      {false, "\rabcd\x1b[K\rxy\x1b[K\r\x1b[K"},
      {true, "\rabcd\rxy  \r  \r"},
  };
  for (const auto& c : cases) {
    Capture err;
    ProgressLine line(err.file(), c.plain);
    line.draw("abcd");
    line.draw("xy");
    line.clear();
    EXPECT_EQ(err.close(), c.drawn) << c.plain;
  }
  EXPECT_TRUE(plain_terminal(nullptr));
  EXPECT_TRUE(plain_terminal(""));
  EXPECT_TRUE(plain_terminal("dumb"));
  EXPECT_FALSE(plain_terminal("xterm-256color"));
}

TEST_F(CommandTest, ProgressIsDrawnOnlyForALongWalk) {
  // A short walk on a terminal ends before the first progress line is due.
  const Ran ran = run_cli({"verify", clean_}, /*terminal=*/true);
  EXPECT_EQ(ran.status, kExitIntact);
  EXPECT_EQ(ran.err, "");
}

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

TEST_F(CommandTest, SeveralLedgersInOneRun) {
  const std::string broken = write("broken.jsonl", join({base_[0], base_[2]}));
  const std::string other = write("other.jsonl", join(chain_lines(2, GENESIS_BLOCK_HASH, 0, "bob")));
  const std::string torn = write("torn.jsonl", join({base_[0]}) + base_[1].substr(0, 40));
  const std::string missing = path("missing.jsonl");
  const struct {
    std::vector<std::string> files;
    int status;
  } cases[] = {
      {{clean_, other}, kExitIntact},
      {{clean_, broken, other}, kExitBroken},
      {{missing, clean_, broken, torn}, kExitError},
  };
  for (const auto& c : cases) {
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{}, {"--json"}, {"--jobs", "3"}, {"--json", "-j3", "--live"}}) {
      // One report per file, as each alone would get, in the order given.
      std::string out, err;
      for (const std::string& f : c.files) {
        std::vector<std::string> args{"verify"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(f);
        const Ran one = run_cli(args);
        out += one.out;
        err += one.err;
      }
      std::vector<std::string> args{"verify"};
      args.insert(args.end(), options.begin(), options.end());
      args.insert(args.end(), c.files.begin(), c.files.end());
      const Ran all = run_cli(args);
      SCOPED_TRACE(testing::join(args, " "));
      EXPECT_EQ(all.status, c.status);
      EXPECT_EQ(all.out, out);
      EXPECT_EQ(all.err, err);
    }
  }
}

TEST_F(CommandTest, SeveralLedgersShareTheWorkers) {
  // Many small ranges of several files on three workers: each file's audit is
  // the one it gets alone.
  std::vector<std::string> files;
  for (std::size_t k = 0; k < 6; ++k) {
    Lines lines = chain_lines(12, GENESIS_BLOCK_HASH, 0, "actor" + std::to_string(k));
    if (k % 3 == 1) lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(4 + k));
    if (k % 3 == 2) lines[3 + k] = replace_first(lines[3 + k], "payment", "pAyment");
    files.push_back(write("ledger" + std::to_string(k) + ".jsonl", join(lines)));
  }
  files.push_back(path("missing.jsonl"));
  AuditOptions options;
  options.walk = WalkOptions{.jobs = 3, .buffer_size = 64, .min_range_bytes = 1};
  std::vector<std::size_t> order;
  audit_ledgers(files, options, [&](std::size_t k, const Audit& audit) {
    order.push_back(k);
    const Audit alone = audit_ledger(files[k], AuditOptions{});
    SCOPED_TRACE(files[k]);
    EXPECT_EQ(audit.outcome, alone.outcome);
    EXPECT_EQ(audit.chain, alone.chain);
    EXPECT_EQ(audit.break_found, alone.break_found);
    EXPECT_EQ(audit.hints, alone.hints);
    EXPECT_EQ(audit.error_kind, alone.error_kind);
  });
  EXPECT_EQ(order, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6}));
}

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

// Runs the built program with `input` on its standard input and its standard
// output going to `out_path`; returns the exit status and standard error.
std::pair<int, std::string> run_binary(const std::vector<std::string>& args,
                                       const std::string& input, const std::string& out_path,
                                       const std::string& err_path, const std::string& in_path) {
  {
    std::FILE* in = std::fopen(in_path.c_str(), "wb");
    std::fwrite(input.data(), 1, input.size(), in);
    std::fclose(in);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<char*> argv;
  std::string program = QUORVEL_LEDGER_BINARY;
  argv.push_back(program.data());
  std::vector<std::string> copies(args);
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, testing::read_file(err_path)};
}

TEST_F(CommandTest, TheProgram) {
  const std::string out = write("out.txt", "");
  const std::string err = path("err.txt");
  const std::string in = path("in.txt");
  // A checkpoint read from standard input.
  const std::string checkpoint = run_cli({"checkpoint", clean_}).out;
  auto [status, errors] = run_binary({"verify", "--since", "-", clean_}, checkpoint, out, err, in);
  EXPECT_EQ(status, kExitIntact);
  EXPECT_EQ(errors, "");
  EXPECT_EQ(testing::read_file(out), run_cli({"verify", "--since", write("checkpoint", checkpoint), clean_}).out);
  // A report that cannot be written is not a success.
  for (const char* command : {"verify", "export"}) {
    std::tie(status, errors) = run_binary({command, clean_}, "", "/dev/full", err, in);
    EXPECT_EQ(status, kExitError) << command;
    EXPECT_EQ(errors, "quorvel-ledger: cannot write the output: No space left on device\n");
  }
}

}  // namespace
}  // namespace ledger::cli
