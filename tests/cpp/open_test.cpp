#include "ledger/open.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <random>

#include "ledger/parser.h"
#include "ledger/reader.h"
#include "test_support.h"

namespace ledger {
namespace {

using testing::read_file;
using testing::split_lines;
using testing::write_file;

// An entry line with this index and signature (the chain is not checked when
// reopening, so the other fields can be anything).
std::string line(std::uint64_t index, std::string signature) {
  return entry_to_json(LogEntry{index, "t", "p", "a", 1.0, "x", std::move(signature)});
}

class OpenTest : public testing::ScratchDir {
 protected:
  ChainHead head_of(std::string_view contents) {
    write_file(path("ledger.jsonl"), contents);
    const RecorderState state = open_recorder(path("ledger.jsonl"));
    return ChainHead{state.chain_head, state.entry_count};
  }
  const ChainHead kFresh{std::string(GENESIS_BLOCK_HASH), 0};
};

TEST_F(OpenTest, ChainHeadOfFileContents) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const struct {
    const char* name;
    std::string contents;
    ChainHead expected;
  } cases[] = {
      {"empty file", "", kFresh},
      {"blank lines only", "\n \r\n\r\n\t\n", kFresh},
      {"three entries", line(0, "s0") + "\n" + line(1, "s1") + "\n" + line(2, "s2") + "\n", {"s2", 3}},
      {"fourth line cut short",
       line(0, "s0") + "\n" + line(1, "s1") + "\n" + line(2, "s2") + "\n" + line(3, "s3").substr(0, 40),
       {"s2", 3}},
      {"last parsable line wins", line(0, "a") + "\n" + line(1, "b") + "\n" + line(7, "c") + "\n" + line(2, "d"),
       {"d", 3}},
      {"largest index wraps", line(max, "m") + "\n", {"m", 0}},
      {"byte order mark line skipped", "\xEF\xBB\xBF" + line(0, "bom") + "\n" + line(4, "after") + "\n",
       {"after", 5}},
      {"only a byte order mark line", "\xEF\xBB\xBF" + line(0, "bom") + "\n", kFresh},
      {"invalid UTF-8 anywhere", line(0, "a") + "\n\xFF\n" + line(1, "b") + "\n", kFresh},
      {"last line cut inside a character", line(0, "a") + "\n" + line(1, "b").substr(0, 30) + "\xE2\x82",
       {"a", 1}},
      {"cut character before a line feed", line(0, "a") + "\n" + line(1, "b").substr(0, 30) + "\xE2\x82\n",
       kFresh},
      {"end that no character starts with", line(0, "a") + "\n" + line(1, "b").substr(0, 30) + "\xED\xA0",
       kFresh},
      {"overlong start at the end", line(0, "a") + "\n" + line(1, "b").substr(0, 30) + "\xF0\x80", kFresh},
      {"carriage returns alone", line(0, "a") + "\r" + line(1, "b") + "\r", kFresh},
      {"signature not a digest", line(9, "any text at all") + "\n", {"any text at all", 10}},
      {"garbage lines skipped", line(0, "a") + "\nnot json\n{}\n", {"a", 1}},
  };
  for (const auto& c : cases) EXPECT_EQ(head_of(c.contents), c.expected) << c.name;
}

TEST_F(OpenTest, MissingFileIsAFreshChainAndIsNotCreated) {
  const RecorderState state = open_recorder("./ledger.jsonl");
  EXPECT_EQ(state.log_path, path("ledger.jsonl"));
  EXPECT_EQ(state.chain_head, GENESIS_BLOCK_HASH);
  EXPECT_EQ(state.entry_count, 0u);
  EXPECT_FALSE(std::filesystem::exists(path("ledger.jsonl")));
}

TEST_F(OpenTest, DirectoryAndSpecialFilesAreFreshChains) {
  for (const std::string& target : {dir_.string(), std::string("/dev/zero")}) {
    const RecorderState state = open_recorder(target);
    EXPECT_EQ(state.chain_head, GENESIS_BLOCK_HASH) << target;
    EXPECT_EQ(state.entry_count, 0u) << target;
  }
}

TEST_F(OpenTest, ReopenedRecorderContinuesTheChain) {
  std::string third;
  {
    Recorder recorder(open_recorder("./ledger.jsonl"));
    for (int i = 0; i < 3; ++i) third = recorder.commit_truth("a", i, "p").value();
  }
  Recorder reopened(open_recorder("./ledger.jsonl"));
  EXPECT_EQ(reopened.snapshot().chain_head, third);
  EXPECT_EQ(reopened.snapshot().entry_count, 3u);
  ASSERT_TRUE(reopened.commit_truth("a", 3.0, "p"));
  const auto lines = split_lines(read_file(path("ledger.jsonl")));
  ASSERT_EQ(lines.size(), 4u);
  const LogEntry fourth = parse_log_entry(lines[3]).value();
  EXPECT_EQ(fourth.index, 3u);
  EXPECT_EQ(fourth.prev_hash, third);
  EXPECT_TRUE(reopened.verify_integrity().value());
}

// A bare name whose file does not exist fails validation (its parent is the
// empty path) and is kept as given; once the file exists, the same text
// resolves to the canonical absolute path.
TEST_F(OpenTest, BareNameStaysRelativeUntilTheFileExists) {
  RecorderState before = open_recorder("ledger.jsonl");
  EXPECT_EQ(before.log_path, "ledger.jsonl");
  Recorder recorder(std::move(before));
  ASSERT_TRUE(recorder.commit_truth("a", 1.0, "p"));
  EXPECT_TRUE(std::filesystem::exists(path("ledger.jsonl")));
  const RecorderState after = open_recorder("ledger.jsonl");
  EXPECT_EQ(after.log_path, path("ledger.jsonl"));
  EXPECT_EQ(after.entry_count, 1u);
}

TEST_F(OpenTest, LoadChainHeadReportsReadFailures) {
  write_file(path("ledger.jsonl"), line(0, "a") + "\n\xC3\n");
  auto head = load_chain_head(path("ledger.jsonl"));
  ASSERT_FALSE(head.has_value());
  EXPECT_EQ(head.error().message(), "stream did not contain valid UTF-8");
  EXPECT_EQ(load_chain_head(path("missing")).value(), kFresh);
}

}  // namespace
}  // namespace ledger

namespace ledger {
namespace {

// Chunks of every size from one byte up, so that lines, brackets, carriage
// returns and characters straddle them.
TEST_F(OpenTest, ReopenScanAgreesWithAPlainForwardScan) {
  const std::size_t chunk_sizes[] = {kReopenChunkSize, 1, 2, 15, 16, 17, 100, 4096};
  for (std::uint64_t seed = 0; seed < 3000; ++seed) {
    write_file(path("ledger.jsonl"), testing::random_ledger_bytes(seed));
    auto plain = testing::forward_scan_chain_head(path("ledger.jsonl"));
    const std::size_t chunk = chunk_sizes[seed % std::size(chunk_sizes)];
    auto fast = load_chain_head(path("ledger.jsonl"), chunk);
    ASSERT_EQ(fast.has_value(), plain.has_value()) << "seed " << seed << ", chunk " << chunk;
    if (fast) {
      ASSERT_EQ(*fast, *plain) << "seed " << seed << ", chunk " << chunk;
    } else {
      ASSERT_EQ(fast.error().message(), plain.error().message()) << "seed " << seed << ", chunk " << chunk;
    }
  }
}

// A ledger that ends in many lines which are no entries: blank lines, junk
// without brackets, and lines with a bracket that do not parse; and an entry
// whose last bracket stands right before its line feed, in another member
// order. The last entry is found, in any chunk size.
TEST_F(OpenTest, ReopenFindsTheLastEntryBehindLinesThatAreNoEntries) {
  Recorder recorder(open_recorder(path("ledger.jsonl")));
  ASSERT_TRUE(recorder.commit_truth("a", 1.0, "p"));
  const auto last = recorder.commit_truth("a", 2.0, "p");
  ASSERT_TRUE(last);
  const std::string entries = read_file(path("ledger.jsonl"));
  const auto repeat = [](std::string_view line, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += line;
    return text;
  };
  const std::string reordered =
      R"({"index":6,"timestamp":"t","prev_hash":"p","actor":"a","delta_i":1,"signature":"S","payload":"[{"})";
  const struct {
    const char* name;
    std::string contents;
    std::string head;
    std::uint64_t count;
  } cases[] = {
      {"line feeds", entries + std::string(200000, '\n'), *last, 2},
      {"short junk", entries + repeat("x\r\n", 50000), *last, 2},
      {"brackets", entries + repeat("{\n[x]\n", 50000), *last, 2},
      {"a long bracketless line, unterminated", entries + std::string(300000, 'y'), *last, 2},
      {"a bracket right before the line feed", entries + reordered + "\nx\n", "S", 7},
      {"the same, unterminated with a carriage return", entries + reordered + "\r", "S", 7},
  };
  for (const auto& c : cases) {
    write_file(path("ledger.jsonl"), c.contents);
    for (const std::size_t chunk : {kReopenChunkSize, std::size_t{7}}) {
      auto head = load_chain_head(path("ledger.jsonl"), chunk);
      ASSERT_TRUE(head) << c.name;
      EXPECT_EQ(head->head, c.head) << c.name << ", chunk " << chunk;
      EXPECT_EQ(head->count, c.count) << c.name << ", chunk " << chunk;
    }
  }
}

TEST(Utf8StreamTest, AgreesWithWholeTextValidationForAnyChunking) {
  std::mt19937_64 random(7);
  const std::string pieces[] = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\x80", "\xFF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"};
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const std::size_t count = random() % 12;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t which = random() % std::size(pieces);
      text += pieces[random() % 4 == 0 ? which : which % 4];
    }
    Utf8StreamValidator stream;
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t take = 1 + random() % 5;
      stream.feed(std::string_view(text).substr(at, take));
      at += take;
    }
    ASSERT_EQ(stream.finish(), is_valid_utf8(text)) << round;
  }
}

}  // namespace
}  // namespace ledger
