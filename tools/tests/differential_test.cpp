// The tool's walk against the core: the same verdict as verify_ledger_file on
// every file, the first failing line where the core's own reader puts it, and
// the same result for every number of jobs and every buffer size.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "audit/audit.h"
#include "ledger/digest.h"
#include "ledger/entry.h"
#include "ledger/parser.h"
#include "ledger/reader.h"
#include "ledger/verify.h"
#include "support.h"

namespace ledger::cli {

using audit::Audit;
using audit::AuditOptions;
using audit::BreakKind;
using audit::Chain;
using audit::Hint;
using audit::HintKind;
using audit::Outcome;
using audit::WalkControl;
using audit::WalkOptions;
using audit::WalkOutcome;
using audit::audit_ledger;
using audit::walk_file;

namespace {

using testing::chain_lines;
using testing::entry_line;
using testing::hint;
using testing::join;
using testing::Lines;
using testing::replace_first;
using testing::signature_of;

// Where the core stops: the core's line reader and parser, walked by the
// rules of verify_ledger_file, with line_offset() telling where.
struct CoreStop {
  Outcome outcome = Outcome::kIntact;
  BreakKind kind = BreakKind::kNotEntry;
  std::uint64_t line = 0;
  std::uint64_t offset = 0;
};

CoreStop core_stop(const std::string& path) {
  auto reader = LedgerLineReader::open(path);
  if (!reader) return {Outcome::kError};
  EntryHasher hasher;
  std::string link(GENESIS_BLOCK_HASH);
  for (std::uint64_t line = 1;; ++line) {
    auto next = reader->next_line();
    const auto stop = [&](BreakKind kind) {
      return CoreStop{Outcome::kBroken, kind, line, reader->line_offset()};
    };
    if (!next) {
      if (next.error().message() == kInvalidUtf8) return stop(BreakKind::kInvalidUtf8);
      return {Outcome::kError};
    }
    if (!next->has_value()) return {};
    if (is_blank_line(**next)) continue;
    auto entry = parse_log_entry(**next);
    if (!entry) return stop(BreakKind::kNotEntry);
    if (entry->prev_hash != link) return stop(BreakKind::kLinkBroken);
    if (!is_writer_timestamp(entry->timestamp)) return stop(BreakKind::kBadTimestamp);
    auto digest = compute_entry_digest(entry->prev_hash, entry->timestamp, entry->actor,
                                       entry->delta_i, entry->payload);
    if (*digest != entry->signature) return stop(BreakKind::kContentAltered);
    link = entry->signature;
  }
}

// Where the rules stop on `contents`, read the plainest way: split at line
// feeds, each line checked as UTF-8 on its own. Independent of how either
// reader checks whole buffers at once.
CoreStop plain_stop(std::string_view contents) {
  std::string link(GENESIS_BLOCK_HASH);
  std::uint64_t offset = 0;
  for (std::uint64_t line = 1; offset < contents.size(); ++line) {
    const std::size_t feed = contents.find('\n', offset);
    const std::size_t end = feed == std::string_view::npos ? contents.size() : feed + 1;
    std::string_view text = contents.substr(offset, end - offset);
    const std::uint64_t start = offset;
    const auto stop = [&](BreakKind kind) { return CoreStop{Outcome::kBroken, kind, line, start}; };
    if (!is_valid_utf8(text)) return stop(BreakKind::kInvalidUtf8);
    if (text.ends_with('\n')) {
      text.remove_suffix(1);
      if (text.ends_with('\r')) text.remove_suffix(1);
    }
    offset = end;
    if (is_blank_line(text)) continue;
    auto entry = parse_log_entry(text);
    if (!entry) return stop(BreakKind::kNotEntry);
    if (entry->prev_hash != link) return stop(BreakKind::kLinkBroken);
    if (!is_writer_timestamp(entry->timestamp)) return stop(BreakKind::kBadTimestamp);
    if (*compute_entry_digest(entry->prev_hash, entry->timestamp, entry->actor, entry->delta_i,
                              entry->payload) != entry->signature) {
      return stop(BreakKind::kContentAltered);
    }
    link = entry->signature;
  }
  return {};
}

// Audits with one job and the default buffer, then with several jobs, tiny
// ranges and small buffers, and requires the same audit from all of them.
Audit audit_all_ways(const std::string& path, std::size_t size) {
  const Audit one = audit_ledger(path, {});
  const WalkOptions variants[] = {{2, 7, 1}, {3, 64, 1}, {4, 4096, 1}, {5, 1, 1}};
  for (const WalkOptions& walk : variants) {
    if (walk.buffer_size == 1 && size > 8000) continue;  // byte-by-byte reads of a longer file
    AuditOptions options;
    options.walk = walk;
    const Audit many = audit_ledger(path, options);
    const std::string how =
        "jobs " + std::to_string(walk.jobs) + ", buffer " + std::to_string(walk.buffer_size);
    EXPECT_EQ(many.outcome, one.outcome) << how;
    EXPECT_EQ(many.break_found, one.break_found) << how;
    EXPECT_EQ(many.hints, one.hints) << how;
    EXPECT_EQ(many.chain, one.chain) << how;
  }
  return one;
}

// The audit agrees with the core's verdict and with where the core, and the
// plainest reading, stop.
void expect_agrees_with_core(const std::string& path, std::string_view contents,
                             const Audit& audit) {
  const Result<bool> verdict = verify_ledger_file(path);
  const CoreStop stop = core_stop(path);
  const CoreStop plain = plain_stop(contents);
  EXPECT_EQ(plain.outcome, stop.outcome);
  EXPECT_EQ(plain.kind, stop.kind);
  EXPECT_EQ(plain.line, stop.line);
  EXPECT_EQ(plain.offset, stop.offset);
  if (!verdict) {
    ASSERT_EQ(verdict.error().message(), kInvalidUtf8);
    EXPECT_EQ(stop.kind, BreakKind::kInvalidUtf8);
  } else {
    EXPECT_EQ(*verdict, stop.outcome == Outcome::kIntact);
  }
  ASSERT_EQ(audit.outcome, stop.outcome);
  if (stop.outcome != Outcome::kBroken) return;
  // Where the core stops at a last line without a line feed that is not a
  // whole entry, the tool names a torn tail; everywhere else the same class.
  const bool open_last_line = contents.find('\n', stop.offset) == std::string_view::npos;
  const bool torn = open_last_line && (stop.kind == BreakKind::kNotEntry ||
                                       stop.kind == BreakKind::kInvalidUtf8);
  EXPECT_EQ(audit.break_found->kind, torn ? BreakKind::kTornTail : stop.kind);
  EXPECT_EQ(audit.break_found->line, stop.line);
  EXPECT_EQ(audit.break_found->offset, stop.offset);
}

class DifferentialTest : public testing::ScratchTest {
 protected:
  Audit check(const std::string& contents) {
    const std::string file = write("ledger.jsonl", contents);
    const Audit audit = audit_all_ways(file, contents.size());
    expect_agrees_with_core(file, contents, audit);
    return audit;
  }
};

std::string cut_at(std::string text, std::size_t size) { return text.substr(0, size); }

TEST_F(DifferentialTest, CraftedLedgers) {
  const Lines base = chain_lines(5);
  const std::string sig0 = signature_of(base[0]);
  const std::string sig2 = signature_of(base[2]);
  const Lines alice = chain_lines(2, signature_of(base[2]), 3, "alice");
  const Lines bob = chain_lines(2, signature_of(base[2]), 3, "bob");
  const std::string cut_last = base[4].substr(0, base[4].find("\xC3\xA9") + 1);
  const Lines restarted = chain_lines(2, GENESIS_BLOCK_HASH, 0, "bob");
  std::string nested;  // every beginning parses on to the end of the line
  for (int i = 0; i < 20000; ++i) nested += R"({"index":1,"x":[)";
  const std::string restart = entry_line(3, sig2, "alice", 7.0, "after the crash");
  std::string long_line =
      entry_line(2, signature_of(base[1]), "alice", 1.0, std::string(100000, 'x'));
  const Lines with_long = chain_lines(3, signature_of(long_line), 3);

  struct Case {
    const char* name;
    std::string contents;
    Outcome outcome;
    BreakKind kind;
    std::uint64_t line;
    std::optional<std::uint64_t> index;
    std::vector<Hint> hints;
  };
  const std::string edited = replace_first(join(base), "payment \\\"2", "payment \\\"9");
  const std::string reindexed = replace_first(join(base), "{\"index\":2", "{\"index\":7");
  std::string upper = join(base);
  const std::string sig1 = signature_of(base[1]);
  std::string sig1_upper = sig1;
  for (char& c : sig1_upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  upper.replace(upper.find("\"signature\":\"" + sig1), 13 + sig1.size(),
                "\"signature\":\"" + sig1_upper);
  LogEntry nan_entry = *parse_log_entry(base[1]);
  nan_entry.delta_i = std::nan("");
  const std::string nan_line = entry_to_json(nan_entry);
  std::string not_utf8 = join(base);
  not_utf8.insert(not_utf8.find("payment \\\"2") + 4, "\xFF");

  constexpr auto kIntact = Outcome::kIntact;
  constexpr auto kBroken = Outcome::kBroken;
  constexpr auto kNone = std::nullopt;
  const std::string torn_append =
      join({base[0], base[1], base[2]}) + base[3].substr(0, 90) + restart + "\n";
  Hint appended = Hint::about(HintKind::kTornThenAppended, 4);
  appended.column = 91;
  const std::string open_altered = join({base[0], base[1], base[2], base[3]}) +
                                   replace_first(base[4], "payment \\\"4", "payment \\\"9");
  const Case cases[] = {
      {"clean", join(base), kIntact, {}, 0, kNone, {}},
      {"empty", "", kIntact, {}, 0, kNone, {}},
      {"blank lines, carriage returns, no final line feed",
       "\n  \r\n" + base[0] + "\r\n\xE3\x80\x80\n" + base[1] + "\n\t\n" + base[2],
       kIntact, {}, 0, kNone, {}},
      {"index changed alone", reindexed, kIntact, {}, 0, kNone, {}},
      {"a line longer than every range", join({base[0], base[1], long_line}) + join(with_long),
       kIntact, {}, 0, kNone, {}},
      {"payload edited", edited, kBroken, BreakKind::kContentAltered, 3, 2, {}},
      {"signature in upper case", upper, kBroken, BreakKind::kContentAltered, 2, 1, {}},
      {"first entry deleted", join({base[1], base[2], base[3]}),
       kBroken, BreakKind::kLinkBroken, 1, 1, {hint(HintKind::kIndexGap, 1, 0, 0, 1)}},
      {"middle entry deleted", join({base[0], base[1], base[3], base[4]}),
       kBroken, BreakKind::kLinkBroken, 3, 3, {hint(HintKind::kIndexGap, 3, 0, 2, 3)}},
      {"entries swapped", join({base[0], base[2], base[1], base[3]}),
       kBroken, BreakKind::kLinkBroken, 2, 2, {hint(HintKind::kIndexGap, 2, 0, 1, 2)}},
      {"entry repeated", join({base[0], base[1], base[2], base[2], base[3]}),
       kBroken, BreakKind::kLinkBroken, 4, 2,
       {hint(HintKind::kIndexRepeat, 4, 0, 3, 2), hint(HintKind::kDuplicate, 4, 3)}},
      {"two writers", join({base[0], base[1], base[2], alice[0], bob[0], alice[1], bob[1]}),
       kBroken, BreakKind::kLinkBroken, 5, 3,
       {hint(HintKind::kIndexRepeat, 5, 0, 4, 3), hint(HintKind::kFork, 5, 4)}},
      {"a second chain begins", join({base[0], base[1], base[2]}) + join(restarted),
       kBroken, BreakKind::kLinkBroken, 4, 0,
       {hint(HintKind::kIndexRepeat, 4, 0, 3, 0), hint(HintKind::kFork, 4, 1)}},
      {"torn tail", cut_at(join(base), join(base).size() - 40),
       kBroken, BreakKind::kTornTail, 5, kNone, {hint(HintKind::kWriteInProgress, 5)}},
      {"torn tail inside a character", join({base[0], base[1], base[2], base[3]}) + cut_last,
       kBroken, BreakKind::kTornTail, 5, kNone, {hint(HintKind::kWriteInProgress, 5)}},
      {"torn entry, then an append", torn_append,
       kBroken, BreakKind::kNotEntry, 4, kNone, {appended}},
      {"torn entry, then an append without a line feed", cut_at(torn_append, torn_append.size() - 1),
       kBroken, BreakKind::kTornTail, 4, kNone,
       {appended, hint(HintKind::kWriteInProgress, 4)}},
      {"junk on a last line without a line feed", join({base[0], base[1]}) + "}{ ",
       kBroken, BreakKind::kTornTail, 3, kNone, {hint(HintKind::kWriteInProgress, 3)}},
      {"a whole entry altered on a last line without a line feed", open_altered,
       kBroken, BreakKind::kContentAltered, 5, 4, {}},
      {"a whole entry out of place on a last line without a line feed",
       join({base[0], base[1], base[2]}) + base[4],
       kBroken, BreakKind::kLinkBroken, 4, 4, {hint(HintKind::kIndexGap, 4, 0, 3, 4)}},
      {"an edit, and a torn tail further on", cut_at(edited, edited.size() - 10),
       kBroken, BreakKind::kContentAltered, 3, 2, {hint(HintKind::kTornTail, 5)}},
      {"not UTF-8 in the middle", not_utf8, kBroken, BreakKind::kInvalidUtf8, 3, kNone, {}},
      {"a delta that is not a number", join({base[0], nan_line, base[2]}),
       kBroken, BreakKind::kNotEntry, 2, kNone, {}},
      {"byte order mark", "\xEF\xBB\xBF" + join(base),
       kBroken, BreakKind::kNotEntry, 1, kNone, {}},
      {"lines ended by carriage returns alone: one line, without a line feed", join(base, "\r"),
       kBroken, BreakKind::kTornTail, 1, kNone, {hint(HintKind::kWriteInProgress, 1)}},
      {"a long line of entry beginnings, nested", base[0] + "\n" + nested + "\n",
       kBroken, BreakKind::kNotEntry, 2, kNone, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Audit audit = check(c.contents);
    ASSERT_EQ(audit.outcome, c.outcome);
    if (c.outcome == Outcome::kIntact) continue;
    EXPECT_EQ(audit.break_found->kind, c.kind);
    EXPECT_EQ(audit.break_found->line, c.line);
    EXPECT_EQ(audit.break_found->index, c.index);
    EXPECT_EQ(audit.hints, c.hints);
  }
}

TEST_F(DifferentialTest, DetailsOfEachBreak) {
  const Lines base = chain_lines(3);
  struct Case {
    const char* name;
    std::string contents;
    std::size_t column;
    ParseError parse_error;
    std::string expected;
  };
  // A link break names the link due and the one found; an altered entry the
  // digest recomputed; a line that is not an entry the parser's reason and column.
  Audit audit = check(join({base[0], base[2]}));
  EXPECT_EQ(audit.break_found->expected, signature_of(base[0]));
  EXPECT_EQ(audit.break_found->prev_hash, signature_of(base[1]));
  EXPECT_EQ(audit.chain.entries, 1u);
  EXPECT_EQ(audit.chain.head, signature_of(base[0]));

  std::string altered = base[1];
  altered.replace(altered.find("alice"), 5, "alicf");
  audit = check(join({base[0], altered}));
  EXPECT_EQ(audit.break_found->signature, signature_of(base[1]));
  EXPECT_EQ(
      audit.break_found->expected,
      *compute_entry_digest(signature_of(base[0]), parse_log_entry(altered)->timestamp, "alicf",
                            parse_log_entry(altered)->delta_i, parse_log_entry(altered)->payload));

  audit = check(base[0] + "\n{\"index\":1,}\n");
  EXPECT_EQ(audit.break_found->parse_error, ParseError::kTrailingComma);
  EXPECT_EQ(audit.break_found->column, 12u);

  audit = check(base[0] +
                "\nab\xE2\x82"
                "cd\n");
  EXPECT_EQ(audit.break_found->column, 3u);

  // A torn tail keeps the parser's reason and column, or where UTF-8 stops,
  // and the bytes of the line read.
  audit = check(base[0] + "\n{\"index\":1,}");
  EXPECT_EQ(audit.break_found->kind, BreakKind::kTornTail);
  EXPECT_EQ(audit.break_found->parse_error, ParseError::kTrailingComma);
  EXPECT_EQ(audit.break_found->column, 12u);
  EXPECT_FALSE(audit.break_found->invalid_utf8);
  EXPECT_EQ(audit.break_found->length, 12u);
  audit = check(base[0] + "\n" + base[1].substr(0, base[1].find("\xC3\xA9") + 1));
  EXPECT_EQ(audit.break_found->kind, BreakKind::kTornTail);
  EXPECT_TRUE(audit.break_found->invalid_utf8);
  EXPECT_EQ(audit.break_found->column, base[1].find("\xC3\xA9") + 1);
  EXPECT_EQ(audit.break_found->length, base[1].find("\xC3\xA9") + 1);
}

TEST_F(DifferentialTest, EarlyBreakInALongFile) {
  // Later ranges stop once an earlier one has broken; the result is unchanged.
  Lines lines = chain_lines(3000);
  lines[1].replace(lines[1].find("alice"), 5, "alicf");
  const Audit audit = check(join(lines));
  EXPECT_EQ(audit.break_found->kind, BreakKind::kContentAltered);
  EXPECT_EQ(audit.break_found->line, 2u);
}

// One random change to a ledger's bytes.
void mutate(std::string& text, std::mt19937_64& random, const Lines& other_chain) {
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  static const char* const kInserts[] = {"\n",   "\r",   "\r\n", " ",       "\xE3\x80\x80",
                                         "\xC3", "\xFF", "{",    "}",       "\"",
                                         ",",    "0",    "\\",   "\xC3\xA9"};
  Lines lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  const std::size_t n = lines.size();
  switch (pick(10)) {
    case 0:
      if (!text.empty()) text[pick(text.size())] = static_cast<char>(random());
      break;
    case 1:
      if (!text.empty()) text.erase(pick(text.size()), 1 + pick(40));
      break;
    case 2:
      text.insert(pick(text.size() + 1), kInserts[pick(std::size(kInserts))]);
      break;
    case 3:
      text.resize(pick(text.size() + 1));
      break;
    case 4:
      if (n > 0) {
        const auto i = pick(n);
        lines.insert(lines.begin() + static_cast<long>(i), lines[i]);
        text = join(lines);
      }
      break;
    case 5:
      if (n > 0) {
        lines.erase(lines.begin() + static_cast<long>(pick(n)));
        text = join(lines);
      }
      break;
    case 6:
      if (n > 1) {
        std::swap(lines[pick(n)], lines[pick(n)]);
        text = join(lines);
      }
      break;
    case 7:
      if (n > 0) {
        lines.insert(lines.begin() + static_cast<long>(pick(n)), std::string(pick(3), ' '));
        text = join(lines);
      }
      break;
    case 8:
      if (n > 0) {
        lines[pick(n)] = other_chain[pick(other_chain.size())];
        text = join(lines);
      }
      break;
    default: {  // one hexadecimal digit of a hash
      const std::size_t at = text.find_first_of("0123456789abcdef", pick(text.size() + 1));
      if (at != std::string::npos) text[at] = text[at] == 'a' ? 'b' : 'a';
    }
  }
}

TEST_F(DifferentialTest, RandomlyMutatedLedgers) {
  std::mt19937_64 random(20261210);
  const Lines base = chain_lines(12);
  // Longer than the core reader's buffer (lines of under 300 bytes), so that
  // its refills, with characters split across them, are reached too.
  const Lines long_base = chain_lines(kReadBufferSize / 200);
  const Lines fork = chain_lines(4, signature_of(base[5]), 6, "bob");
  int broken = 0;
  for (int round = 0; round < 1500; ++round) {
    const Lines& lines = round % 4 == 0 ? long_base : base;
    std::string text = join(lines, random() % 4 == 0 ? "\r\n" : "\n");
    const int changes = 1 + static_cast<int>(random() % 3);
    for (int i = 0; i < changes; ++i) mutate(text, random, fork);
    SCOPED_TRACE("round " + std::to_string(round));
    const Audit audit = check(text);
    broken += audit.outcome == Outcome::kBroken;
    if (::testing::Test::HasFailure()) break;
  }
  // The mutations reach both verdicts often enough to mean something.
  EXPECT_GT(broken, 900);
  EXPECT_LT(broken, 1450);
}

}  // namespace
}  // namespace ledger::cli

namespace ledger::cli {
namespace {

TEST_F(DifferentialTest, AReadErrorEndsTheWalkWithTheSystemsText) {
  // A directory opened for reading fails every read, as a failing disk would.
  const int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const platform::File directory(fd);
  for (unsigned jobs : {1u, 3u}) {
    WalkControl control;
    const WalkOutcome out = walk_file(directory, Chain{}, WalkOptions{jobs, 64, 1}, control);
    ASSERT_TRUE(out.failure.has_value()) << jobs;
    EXPECT_EQ(out.failure->message(), "Is a directory (os error 21)");
    EXPECT_FALSE(out.break_found.has_value());
    EXPECT_EQ(out.chain, Chain{});
  }
}

}  // namespace
}  // namespace ledger::cli
