// What the tool prints around its reports: untrusted text quoted, the names in
// JSON reports, an internal fault, and the progress line.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "audit/audit.h"
#include "cli/command.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "command_fixture.h"
#include "support.h"
#include "tlog/json.h"

namespace ledger::cli {

using audit::Audit;
using audit::BreakKind;
using audit::ErrorKind;
using audit::HintKind;
using audit::Outcome;
using tlog::display;
using tlog::json_quote;

namespace {

using testing::Capture;
using testing::CommandTest;
using testing::entry_line;
using testing::Ran;
using testing::run_cli;

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

}  // namespace
}  // namespace ledger::cli
