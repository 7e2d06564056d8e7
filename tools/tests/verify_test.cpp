// verify end to end: the reports of an intact and of a broken ledger in text
// and JSON, files that cannot be verified, --quiet, and several ledgers in
// one run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "audit/audit.h"
#include "audit/ledger_set.h"
#include "cli/command.h"
#include "command_fixture.h"
#include "ledger/digest.h"
#include "ledger/parser.h"
#include "support.h"
#include "tlog/json.h"

namespace ledger::cli {

using audit::Audit;
using audit::AuditOptions;
using audit::WalkOptions;
using audit::audit_ledger;
using audit::audit_ledgers;
using tlog::display;

namespace {

using testing::chain_lines;
using testing::CommandTest;
using testing::entry_line;
using testing::join;
using testing::Lines;
using testing::Ran;
using testing::replace_first;
using testing::run_cli;

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

}  // namespace
}  // namespace ledger::cli
