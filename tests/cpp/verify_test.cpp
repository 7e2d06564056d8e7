#include "ledger/verify.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "ledger/chain.h"
#include "ledger/digest.h"
#include "ledger/parser.h"
#include "ledger/recorder.h"
#include "test_support.h"

namespace ledger {
namespace {

using testing::read_file;
using testing::split_lines;
using testing::write_file;
using Lines = std::vector<std::string>;

std::string join(const Lines& lines, std::string_view terminator = "\n") {
  std::string out;
  for (const auto& line : lines) out += line + std::string(terminator);
  return out;
}

std::string replace_first(std::string text, std::string_view from, std::string_view to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class VerifyTest : public testing::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    Recorder recorder(create_recorder_state(path("source.jsonl"), std::string(GENESIS_BLOCK_HASH), 0));
    const double deltas[] = {1.5, -2.25, 0.0, 12.34, 0.1 + 0.2, 1.7976931348623157e308};
    for (double delta : deltas) {
      ASSERT_TRUE(recorder.commit_truth("alice", delta, "payload \"quoted\"\ttab"));
    }
    lines_ = split_lines(read_file(path("source.jsonl")));
    ASSERT_EQ(lines_.size(), 6u);
  }

  Result<bool> verify_contents(std::string_view contents) {
    write_file(path("ledger.jsonl"), contents);
    return verify_ledger_file(path("ledger.jsonl"));
  }

  Lines lines_;
};

TEST_F(VerifyTest, Verdicts) {
  const struct {
    const char* name;
    std::function<std::string(Lines)> make;
    bool intact;
  } cases[] = {
      {"as written", [](Lines l) { return join(l); }, true},
      {"empty file", [](Lines) { return std::string(); }, true},
      {"blank lines only", [](Lines) { return std::string("\n  \n\r\n\xE3\x80\x80\n"); }, true},
      {"blank lines inserted",
       [](Lines l) { return "\n" + l[0] + "\n \t\n" + join(Lines(l.begin() + 1, l.end())) + "\n\n"; }, true},
      {"CRLF line ends", [](Lines l) { return join(l, "\r\n"); }, true},
      {"no final line feed", [](Lines l) { auto s = join(l); s.pop_back(); return s; }, true},
      {"index changed", [](Lines l) { l[0] = replace_first(l[0], "\"index\":0", "\"index\":5"); return join(l); }, true},
      {"spacing and member order",
       [](Lines l) {
         l[1] = replace_first(l[1], "{\"index\":1,", "{ ");
         l[1] = replace_first(l[1], "}", " , \"index\" : 1 }");
         return join(l);
       },
       true},
      {"character written as an escape",
       [](Lines l) { l[2] = replace_first(l[2], "alice", "\\u0061lice"); return join(l); }, true},
      {"member of another name added",
       [](Lines l) { l[3] = replace_first(l[3], "{", "{\"note\":[{\"x\":null}],"); return join(l); }, true},
      {"trailing entries deleted", [](Lines l) { l.resize(2); return join(l); }, true},
      {"actor altered", [](Lines l) { l[2] = replace_first(l[2], "alice", "alicf"); return join(l); }, false},
      {"timestamp altered", [](Lines l) { l[4] = replace_first(l[4], "+00:00", "+00:01"); return join(l); }, false},
      {"payload altered", [](Lines l) { l[5] = replace_first(l[5], "quoted", "Quoted"); return join(l); }, false},
      {"delta altered", [](Lines l) { l[0] = replace_first(l[0], "\"delta_i\":1.5", "\"delta_i\":1.25"); return join(l); }, false},
      {"first entry deleted", [](Lines l) { l.erase(l.begin()); return join(l); }, false},
      {"entries swapped", [](Lines l) { std::swap(l[1], l[2]); return join(l); }, false},
      {"entry repeated", [](Lines l) { l.insert(l.begin() + 1, l[1]); return join(l); }, false},
      {"genesis in other case",
       [](Lines l) { l[0] = replace_first(l[0], "GENESIS_BLOCK_HASH", "genesis_block_hash"); return join(l); }, false},
      {"genesis with trailing space",
       [](Lines l) { l[0] = replace_first(l[0], "GENESIS_BLOCK_HASH", "GENESIS_BLOCK_HASH "); return join(l); }, false},
      {"later entry links to genesis",
       [](Lines l) {
         l[1] = replace_first(l[1], l[1].substr(l[1].find("prev_hash") + 12, 64), "GENESIS_BLOCK_HASH");
         return join(l);
       },
       false},
      {"signature in uppercase",
       [](Lines l) {
         const std::size_t at = l[0].find("signature") + 12;
         for (std::size_t i = at; i < at + 64; ++i) l[0][i] = static_cast<char>(std::toupper(l[0][i]));
         return join(l);
       },
       false},
      {"a line of text", [](Lines l) { l.insert(l.begin() + 3, "hello"); return join(l); }, false},
      // The digest joins timestamp and actor without a separator: bytes moved
      // across that seam keep the signature, and only the timestamp's form
      // gives the edit away.
      {"bytes moved from the actor into the timestamp",
       [](Lines l) {
         l[2] = replace_first(l[2], "+00:00\"", "+00:00al\"");
         l[2] = replace_first(l[2], "\"actor\":\"alice\"", "\"actor\":\"ice\"");
         return join(l);
       },
       false},
      {"a member missing",
       [](Lines l) { l[3] = replace_first(l[3], "\"actor\":\"alice\",", ""); return join(l); }, false},
      {"delta null", [](Lines l) { l[0] = replace_first(l[0], "\"delta_i\":1.5", "\"delta_i\":null"); return join(l); }, false},
      {"lines joined by carriage returns", [](Lines l) { return join(l, "\r"); }, false},
  };
  for (const auto& c : cases) {
    auto verdict = verify_contents(c.make(lines_));
    ASSERT_TRUE(verdict.has_value()) << c.name << ": " << verdict.error().message();
    EXPECT_EQ(*verdict, c.intact) << c.name;
  }
}

TEST_F(VerifyTest, InvalidUtf8IsAReadFailureOnlyIfReached) {
  Lines l = lines_;
  l[2] = "\xFF" + l[2];
  auto reached = verify_contents(join(l));
  ASSERT_FALSE(reached.has_value());
  EXPECT_EQ(reached.error().kind(), FailureKind::kIo);
  EXPECT_EQ(reached.error().message(), "stream did not contain valid UTF-8");

  l[1] = replace_first(l[1], "alice", "alicf");
  auto stopped_before = verify_contents(join(l));
  ASSERT_TRUE(stopped_before.has_value());
  EXPECT_FALSE(*stopped_before);
}

TEST_F(VerifyTest, WhatCannotBeOpenedIsNotIntact) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  for (const std::string& target : {path("missing"), dir_.string(), path("fifo"), std::string("/dev/zero"),
                                    path("a") + std::string(1, '\0')}) {
    auto verdict = verify_ledger_file(target);
    ASSERT_TRUE(verdict.has_value()) << target;
    EXPECT_FALSE(*verdict) << target;
  }
}

TEST_F(VerifyTest, RecorderVerifiesItsOwnFileAndCommitsAfterAFalseVerdict) {
  Recorder recorder(create_recorder_state(path("ledger.jsonl"), std::string(GENESIS_BLOCK_HASH), 0));
  EXPECT_FALSE(recorder.verify_integrity().value());  // nothing committed yet: no file
  ASSERT_TRUE(recorder.commit_truth("a", 1.0, "p"));
  EXPECT_TRUE(recorder.verify_integrity().value());
  write_file(path("ledger.jsonl"), read_file(path("ledger.jsonl")) + "garbage\n");
  EXPECT_FALSE(recorder.verify_integrity().value());
  const RecorderState before = recorder.snapshot();
  ASSERT_TRUE(recorder.commit_truth("a", 2.0, "p"));
  EXPECT_EQ(split_lines(read_file(path("ledger.jsonl"))).size(), 3u);
  EXPECT_EQ(recorder.snapshot().entry_count, before.entry_count + 1);
}


// The chain rule line by line: what each line is, and what the check holds
// after it (the next link, the recomputed digest, the parse failure).
TEST_F(VerifyTest, ChainCheckJudgesEachLine) {
  const auto signature_of = [](const std::string& line) { return parse_log_entry(line).value().signature; };
  ChainCheck chain;
  EXPECT_EQ(chain.link(), GENESIS_BLOCK_HASH);
  EXPECT_EQ(chain.check(lines_[0]).value(), LineVerdict::kLinked);
  EXPECT_EQ(chain.link(), signature_of(lines_[0]));
  EXPECT_EQ(chain.computed(), signature_of(lines_[0]));
  EXPECT_EQ(chain.check("").value(), LineVerdict::kBlank);
  EXPECT_EQ(chain.check(" \t\xc2\xa0\xe3\x80\x80").value(), LineVerdict::kBlank);
  EXPECT_EQ(chain.check(lines_[1]).value(), LineVerdict::kLinked);
  // Skipping an entry breaks the link; the expected link stays.
  EXPECT_EQ(chain.check(lines_[3]).value(), LineVerdict::kLinkBroken);
  EXPECT_EQ(chain.link(), signature_of(lines_[1]));
  EXPECT_EQ(chain.entry().index, 3u);

  ChainCheck altered;
  const std::string edited = replace_first(lines_[0], "alice", "alicE");  // entry() views into it
  EXPECT_EQ(altered.check(edited).value(), LineVerdict::kContentAltered);
  EXPECT_EQ(altered.entry().signature, signature_of(lines_[0]));
  EXPECT_NE(altered.computed(), signature_of(lines_[0]));
  EXPECT_EQ(altered.link(), GENESIS_BLOCK_HASH);

  // The seam between timestamp and actor: the digest is the same, the
  // timestamp's form is not the writer's.
  const std::string moved = replace_first(replace_first(lines_[0], "+00:00\"", "+00:00al\""),
                                          "\"actor\":\"alice\"", "\"actor\":\"ice\"");
  ChainCheck seam;
  EXPECT_EQ(seam.check(moved).value(), LineVerdict::kBadTimestamp);
  EXPECT_EQ(compute_entry_digest(seam.entry().prev_hash, seam.entry().timestamp, seam.entry().actor,
                                 seam.entry().delta_i, seam.entry().payload)
                .value(),
            signature_of(lines_[0]));
  EXPECT_EQ(seam.link(), GENESIS_BLOCK_HASH);

  ChainCheck torn;
  EXPECT_EQ(torn.check(lines_[0].substr(0, 40)).value(), LineVerdict::kNotEntry);
  EXPECT_EQ(torn.parse_failure().code, ParseError::kUnexpectedEnd);
  EXPECT_EQ(torn.parse_failure().offset, 40u);
  EXPECT_EQ(torn.check("\xc2\xa0x").value(), LineVerdict::kNotEntry);

  // With the link into the first entry unknown, it is taken as given.
  ChainCheck range{ChainCheck::UnknownLink{}};
  EXPECT_EQ(range.check(lines_[2]).value(), LineVerdict::kLinked);
  EXPECT_EQ(range.check(lines_[3]).value(), LineVerdict::kLinked);
  EXPECT_EQ(range.check(lines_[5]).value(), LineVerdict::kLinkBroken);
  EXPECT_EQ(ChainCheck().check(lines_[2]).value(), LineVerdict::kLinkBroken);
}

}  // namespace
}  // namespace ledger
