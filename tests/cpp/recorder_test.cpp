#include "ledger/recorder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <thread>

#include "ledger/open.h"
#include "ledger/parser.h"
#include "test_support.h"

namespace ledger {
namespace {

using testing::read_file;
using testing::split_lines;
using testing::write_file;

constexpr std::string_view kGenesis = GENESIS_BLOCK_HASH;

platform::UtcTime worked_example_clock() { return {1767323045, 123'000'000}; }
platform::UtcTime before_epoch_clock() { return {-1, 500'000'000}; }
platform::UtcTime throwing_clock() { throw std::runtime_error("clock exploded"); }

// Parses every line of the file; fails the test on a line that does not parse.
std::vector<LogEntry> entries_in(const std::string& path) {
  std::vector<LogEntry> entries;
  for (const auto& line : split_lines(read_file(path))) {
    auto entry = parse_log_entry(line);
    EXPECT_TRUE(entry.has_value()) << line;
    if (entry) entries.push_back(*entry);
  }
  return entries;
}

class RecorderTest : public testing::ScratchDir {
 protected:
  Recorder fresh(const std::string& path, ClockFn clock = &platform::utc_now) {
    return Recorder(create_recorder_state(path, std::string(kGenesis), 0), clock);
  }
};

TEST_F(RecorderTest, WorkedExampleIsWrittenExactly) {
  Recorder recorder = fresh(path("ledger.jsonl"), &worked_example_clock);
  auto signature = recorder.commit_truth("alice", 1.5, "hello");
  ASSERT_TRUE(signature.has_value());
  EXPECT_EQ(*signature, "f1ddf018e131378af13b0196f2b5fa6871def3457b365cb0266748d8fd171d0c");
  EXPECT_EQ(read_file(path("ledger.jsonl")),
            R"({"index":0,"timestamp":"2026-01-02T03:04:05.123+00:00","prev_hash":"GENESIS_BLOCK_HASH",)"
            R"("actor":"alice","delta_i":1.5,"payload":"hello",)"
            R"("signature":"f1ddf018e131378af13b0196f2b5fa6871def3457b365cb0266748d8fd171d0c"})"
            "\n");
}

TEST_F(RecorderTest, EntriesChainAndStateAdvances) {
  Recorder recorder = fresh(path("ledger.jsonl"));
  auto first = recorder.commit_truth("alice", 1.5, "one");
  auto second = recorder.commit_truth("", -0.0, "");
  ASSERT_TRUE(first && second);
  const auto entries = entries_in(path("ledger.jsonl"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].index, 0u);
  EXPECT_EQ(entries[0].prev_hash, kGenesis);
  EXPECT_EQ(entries[0].signature, *first);
  EXPECT_EQ(entries[1].index, 1u);
  EXPECT_EQ(entries[1].prev_hash, *first);
  EXPECT_EQ(entries[1].signature, *second);
  EXPECT_TRUE(std::signbit(entries[1].delta_i));
  const RecorderState state = recorder.snapshot();
  EXPECT_EQ(state.chain_head, *second);
  EXPECT_EQ(state.entry_count, 2u);
  for (const auto& e : entries) {
    EXPECT_EQ(compute_entry_digest(e.prev_hash, e.timestamp, e.actor, e.delta_i, e.payload).value(),
              e.signature);
  }
}

// A chain head read back from a ledger may hold anything a JSON string can
// (a hand-made last line): the next line escapes it, and later lines carry
// the recorder's own signatures.
TEST_F(RecorderTest, ChainHeadOfAnyTextIsWrittenEscaped) {
  for (const std::string& head : {std::string("q\"u\\o\te\x01\n"), std::string(), std::string("plain")}) {
    const std::string file = path("head.jsonl");
    std::filesystem::remove(file);
    Recorder recorder(create_recorder_state(file, head, 7));
    auto first = recorder.commit("a", 1.0, "p");
    auto second = recorder.commit("b", 2.0, "q");
    ASSERT_TRUE(first && second);
    const auto entries = entries_in(file);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].prev_hash, head);
    EXPECT_EQ(entries[1].prev_hash, std::string_view(first->data(), first->size()));
  }
}

TEST_F(RecorderTest, AppendsAfterExistingBytesOnALineOfItsOwn) {
  // A recorder opened on a file whose last line lacks its line feed (torn by a
  // crash, say) ends that line before its first entry, which would otherwise
  // join it and be lost to every reader.
  write_file(path("ledger.jsonl"), "kept bytes without a line feed");
  Recorder recorder(open_recorder(path("ledger.jsonl")));
  ASSERT_TRUE(recorder.commit_truth("a", 1.0, "p").has_value());
  const auto lines = split_lines(read_file(path("ledger.jsonl")));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "kept bytes without a line feed");
  EXPECT_TRUE(parse_log_entry(lines[1]).has_value()) << lines[1];

  // An intact ledger whose last entry lacks its line feed stays intact.
  {
    Recorder writer(open_recorder(path("intact.jsonl")));
    ASSERT_TRUE(writer.commit_truth("a", 1.0, "p"));
  }
  std::string contents = read_file(path("intact.jsonl"));
  contents.pop_back();
  write_file(path("intact.jsonl"), contents);
  Recorder reopened(open_recorder(path("intact.jsonl")));
  ASSERT_TRUE(reopened.commit_truth("b", 2.0, "q"));
  EXPECT_TRUE(reopened.verify_integrity().value());
  EXPECT_EQ(entries_in(path("intact.jsonl")).size(), 2u);

  // A file that ends with its line feed gets no extra line.
  Recorder again(open_recorder(path("intact.jsonl")));
  ASSERT_TRUE(again.commit_truth("c", 3.0, "r"));
  EXPECT_EQ(split_lines(read_file(path("intact.jsonl"))).size(), 3u);

  // A line that was open when the recorder was opened (another process's
  // write half visible) and was ended before the commit gets no blank line.
  write_file(path("racing.jsonl"), "a line still being written");
  Recorder late(open_recorder(path("racing.jsonl")));
  write_file(path("racing.jsonl"), "a line still being written, now whole\n");
  ASSERT_TRUE(late.commit_truth("d", 4.0, "s"));
  const std::string racing = read_file(path("racing.jsonl"));
  EXPECT_EQ(racing.find("\n\n"), std::string::npos) << racing;
  EXPECT_EQ(split_lines(racing).size(), 2u);
}

// A ledger that the recorder could not read starts a fresh chain, and its
// first entry still starts on a line of its own: the commit asks the file
// whether its last line is open. Here the file holds bytes that are not UTF-8,
// then an entry without its line feed.
TEST_F(RecorderTest, UnreadableLedgerGetsItsFirstEntryOnALineOfItsOwn) {
  {
    Recorder writer(open_recorder(path("source.jsonl")));
    ASSERT_TRUE(writer.commit_truth("a", 1.0, "p"));
  }
  std::string entry = read_file(path("source.jsonl"));
  entry.pop_back();
  write_file(path("ledger.jsonl"), "\xff\n" + entry);
  Recorder recorder(open_recorder(path("ledger.jsonl")));
  EXPECT_EQ(recorder.snapshot().entry_count, 0u);
  ASSERT_TRUE(recorder.commit_truth("b", 2.0, "q"));
  const auto lines = split_lines(read_file(path("ledger.jsonl")));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], entry);
  const auto added = parse_log_entry(lines[2]);
  ASSERT_TRUE(added) << lines[2];
  EXPECT_EQ(added->index, 0u);
  EXPECT_EQ(added->actor, "b");
  EXPECT_EQ(added->prev_hash, kGenesis);
}

TEST_F(RecorderTest, DeletedFileIsRecreatedAndTheChainContinues) {
  Recorder recorder = fresh(path("ledger.jsonl"));
  auto first = recorder.commit_truth("a", 1.0, "p");
  ASSERT_TRUE(first);
  std::filesystem::remove(path("ledger.jsonl"));
  ASSERT_TRUE(recorder.commit_truth("a", 2.0, "p"));
  const auto entries = entries_in(path("ledger.jsonl"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].index, 1u);
  EXPECT_EQ(entries[0].prev_hash, *first);
}

// Moves the ledger in `dir` out of its place, and back over whatever was put there.
void set_ledger_aside(const std::string& dir) {
  std::filesystem::rename(dir + "/ledger.jsonl", dir + "/saved");
}
void put_ledger_back(const std::string& dir) {
  std::filesystem::remove(dir + "/ledger.jsonl");
  std::filesystem::rename(dir + "/saved", dir + "/ledger.jsonl");
}

TEST_F(RecorderTest, FailuresLeaveTheStateAndTheNextCommitTakesTheirPlace) {
  std::filesystem::create_directory(path("dir"));
  const std::string ledger = path("dir/ledger.jsonl");
  Recorder recorder = fresh(ledger);
  auto first = recorder.commit_truth("a", 1.0, "p");
  ASSERT_TRUE(first);

  struct Case {
    const char* name;
    void (*break_it)(const std::string& dir);
    void (*mend_it)(const std::string& dir);
    const char* message;
  };
  const Case cases[] = {
      {"directory gone",
       [](const std::string& dir) { std::filesystem::rename(dir, dir + ".away"); },
       [](const std::string& dir) { std::filesystem::rename(dir + ".away", dir); },
       "File Open Failed: No such file or directory (os error 2)"},
      {"directory in the file's place",
       [](const std::string& dir) {
         set_ledger_aside(dir);
         std::filesystem::create_directory(dir + "/ledger.jsonl");
       },
       put_ledger_back,
       "File Open Failed: Is a directory (os error 21)"},
      // Nothing but a regular file is written to; a FIFO without a reader
      // would block the open, a device would swallow the entry.
      {"FIFO without a reader in the file's place",
       [](const std::string& dir) {
         set_ledger_aside(dir);
         ASSERT_EQ(::mkfifo((dir + "/ledger.jsonl").c_str(), 0600), 0);
       },
       put_ledger_back,
       "File Open Failed: not a regular file"},
      {"character device in the file's place",
       [](const std::string& dir) {
         set_ledger_aside(dir);
         std::filesystem::create_symlink("/dev/null", dir + "/ledger.jsonl");
       },
       put_ledger_back,
       "File Open Failed: not a regular file"},
  };
  for (const auto& c : cases) {
    const std::string before = read_file(ledger);
    c.break_it(path("dir"));
    ::alarm(10);  // an open that blocks ends the test run instead of hanging it
    auto failed = recorder.commit_truth("a", 2.0, "p");
    ::alarm(0);
    c.mend_it(path("dir"));
    ASSERT_FALSE(failed) << c.name;
    EXPECT_EQ(failed.error().kind(), FailureKind::kIo) << c.name;
    EXPECT_EQ(failed.error().message(), c.message) << c.name;
    EXPECT_EQ(read_file(ledger), before) << c.name;
    EXPECT_EQ(recorder.snapshot().entry_count, 1u) << c.name;
    EXPECT_EQ(recorder.snapshot().chain_head, *first) << c.name;
  }
  auto next = recorder.commit_truth("a", 3.0, "p");
  ASSERT_TRUE(next);
  const auto entries = entries_in(ledger);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].index, 1u);
  EXPECT_EQ(entries[1].prev_hash, *first);
}

// A device is not written to at all, not even one that would report every
// write failed.
TEST_F(RecorderTest, FullDeviceIsRefusedAtOpen) {
  Recorder recorder = fresh("/dev/full");
  auto result = recorder.commit_truth("a", 1.0, "p");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "File Open Failed: not a regular file");
  EXPECT_EQ(recorder.snapshot().entry_count, 0u);
  EXPECT_EQ(recorder.snapshot().chain_head, kGenesis);
}

TEST_F(RecorderTest, PathWithNulIsRefusedAndNothingIsCreated) {
  const std::string with_nul = path("ledger") + std::string(1, '\0') + ".jsonl";
  Recorder recorder = fresh(with_nul);
  auto result = recorder.commit_truth("a", 1.0, "p");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "File Open Failed: path contains a NUL byte");
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

// A write that the system accepts only in part: the accepted bytes stay, the
// commit fails, and the state does not move. The next commit ends the torn
// line before its own, so that its entry is not swallowed by it.
TEST_F(RecorderTest, PartialWriteKeepsTheAcceptedBytesAndTheNextLineStandsApart) {
  const std::string ledger = path("ledger.jsonl");
  write_file(ledger, "0123456789\n");
  constexpr rlim_t kLimit = 100;  // the next line is far longer than 89 bytes
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlim_t original = limit.rlim_cur;
    limit.rlim_cur = kLimit;
    setrlimit(RLIMIT_FSIZE, &limit);
    Recorder recorder = fresh(ledger);
    auto result = recorder.commit_truth("a", 1.0, "p");
    std::string report = result ? "committed" : result.error().message() + "|" +
                                                    std::to_string(recorder.snapshot().entry_count) + "|" +
                                                    std::to_string(read_file(ledger).size());
    limit.rlim_cur = original;
    setrlimit(RLIMIT_FSIZE, &limit);
    auto next = recorder.commit_truth("b", 2.0, "q");
    report += next ? "|next committed" : "|" + next.error().message();
    (void)!write(pipe_fds[1], report.data(), report.size());
    _exit(0);
  }
  close(pipe_fds[1]);
  char buffer[256];
  const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)),
            "Disk Write Failed: File too large (os error 27)|0|100|next committed");
  const auto lines = split_lines(read_file(ledger));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "0123456789");
  EXPECT_TRUE(lines[1].starts_with("{\"index\":0,")) << lines[1];
  EXPECT_EQ(lines[1].size(), kLimit - 11);
  const LogEntry next = parse_log_entry(lines[2]).value();
  EXPECT_EQ(next.index, 0u);
  EXPECT_EQ(next.prev_hash, kGenesis);
  EXPECT_EQ(next.actor, "b");
  EXPECT_EQ(open_recorder(ledger).entry_count, 1u);
}

TEST_F(RecorderTest, NonFiniteDeltaIsRefusedBeforeAnythingHappens) {
  Recorder recorder = fresh(path("ledger.jsonl"));
  const double cases[] = {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
  for (const double value : cases) {
    auto result = recorder.commit_truth("a", value, "p");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), FailureKind::kInvalidArgument);
    EXPECT_EQ(result.error().message(), kDeltaNotFinite);
  }
  EXPECT_FALSE(std::filesystem::exists(path("ledger.jsonl")));
  EXPECT_FALSE(recorder.is_poisoned());
  EXPECT_EQ(recorder.snapshot().entry_count, 0u);
}

TEST_F(RecorderTest, ClockBeforeEpochPoisonsOnlyThisRecorder) {
  Recorder broken = fresh(path("ledger.jsonl"), &before_epoch_clock);
  auto result = broken.commit_truth("a", 1.0, "p");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), FailureKind::kInternal);
  EXPECT_TRUE(result.error().message().starts_with("system time before Unix epoch")) << result.error().message();
  EXPECT_TRUE(broken.is_poisoned());
  EXPECT_FALSE(std::filesystem::exists(path("ledger.jsonl")));

  auto again = broken.commit_truth("a", 1.0, "p");
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().kind(), FailureKind::kInternal);
  EXPECT_EQ(again.error().message(), kPoisonedMessage);
  auto verdict = broken.verify_integrity();
  ASSERT_FALSE(verdict);
  EXPECT_EQ(verdict.error().message(), kPoisonedMessage);

  Recorder healthy = fresh(path("ledger.jsonl"));
  EXPECT_TRUE(healthy.commit_truth("a", 1.0, "p").has_value());
  EXPECT_TRUE(healthy.verify_integrity().value());
}

TEST_F(RecorderTest, ExceptionUnderTheLockPoisonsIt) {
  Recorder recorder = fresh(path("ledger.jsonl"), &throwing_clock);
  EXPECT_THROW((void)recorder.commit_truth("a", 1.0, "p"), std::runtime_error);
  EXPECT_TRUE(recorder.is_poisoned());
  EXPECT_EQ(recorder.commit_truth("a", 1.0, "p").error().message(), kPoisonedMessage);
}

TEST_F(RecorderTest, TimestampFractionsVary) {
  Recorder recorder = fresh(path("ledger.jsonl"));
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(recorder.commit_truth("a", i, "p"));
  for (const auto& e : entries_in(path("ledger.jsonl"))) {
    ASSERT_TRUE(e.timestamp.ends_with("+00:00")) << e.timestamp;
    const std::size_t length = e.timestamp.size();
    EXPECT_TRUE(length == 25 || length == 29 || length == 32 || length == 35) << e.timestamp;
  }
}

// Each line and its line feed go out in one write: processes appending to one
// file at once never tear or interleave a line.
TEST_F(RecorderTest, ConcurrentProcessesNeverInterleaveLines) {
  constexpr int kProcesses = 4;
  constexpr int kCommits = 1000;
  const std::string ledger = path("ledger.jsonl");
  const std::string payload(3000, 'p');
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Recorder recorder = fresh(ledger);
      for (int i = 0; i < kCommits; ++i) {
        if (!recorder.commit_truth("writer" + std::to_string(p), i, payload)) _exit(1);
      }
      _exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const auto entries = entries_in(ledger);
  EXPECT_EQ(entries.size(), static_cast<std::size_t>(kProcesses * kCommits));
  for (const auto& e : entries) {
    ASSERT_EQ(compute_entry_digest(e.prev_hash, e.timestamp, e.actor, e.delta_i, e.payload).value(),
              e.signature);
  }
}

TEST_F(RecorderTest, ThreadsOnOneRecorderBuildOneChain) {
  Recorder recorder = fresh(path("ledger.jsonl"));
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&recorder, t] {
      for (int i = 0; i < 200; ++i) ASSERT_TRUE(recorder.commit_truth("t" + std::to_string(t), i, "p"));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(recorder.snapshot().entry_count, 1600u);
  EXPECT_TRUE(recorder.verify_integrity().value());
}

}  // namespace
}  // namespace ledger
