// The Merkle tree, its proofs, base64 and Ed25519 keys of checkpoint notes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "audit/leaf_count.h"
#include "audit/walk.h"
#include "ledger/platform.h"
#include "support.h"
#include "tlog/encoding.h"
#include "tlog/merkle.h"
#include "tlog/note.h"
#include "tlog/proof.h"
#include "tlog/signing.h"

namespace ledger::cli {

using audit::Chain;
using audit::count_leaf_lines;
using audit::RangeReader;
using audit::WalkControl;
using audit::WalkOptions;
using audit::WalkOutcome;
using audit::walk_file;
using tlog::Hash;
using tlog::Hasher;
using tlog::LeafSpan;
using tlog::SubtreeRoots;
using tlog::SubtreeRun;
using tlog::SignatureCheck;
using tlog::TreeBuilder;
using tlog::TreeNote;
using tlog::VerifierKey;
using tlog::base64_decode;
using tlog::base64_encode;
using tlog::check_consistency;
using tlog::check_inclusion;
using tlog::check_note_signature;
using tlog::consistency_proof;
using tlog::consistency_spans;
using tlog::empty_tree_hash;
using tlog::format_note_body;
using tlog::format_signer;
using tlog::format_verifier;
using tlog::generate_signer;
using tlog::hex_encode;
using tlog::inclusion_spans;
using tlog::inclusion_proof;
using tlog::is_key_name;
using tlog::leaf_hash;
using tlog::parse_note;
using tlog::parse_signer;
using tlog::parse_verifier;
using tlog::sign_note;
using tlog::tree_root;
using tlog::verifier_of;

namespace {

std::vector<Hash> leaves_of(std::size_t n) {
  std::vector<Hash> leaves;
  for (std::size_t i = 0; i < n; ++i) leaves.push_back(leaf_hash("entry " + std::to_string(i)));
  return leaves;
}

TEST(MerkleTest, RootsOfRfc6962TestVectors) {
  // The leaves and roots that RFC 6962 implementations test against.
  const std::vector<std::string> inputs = {
      "", std::string(1, '\0'), "\x10", "\x20\x21", "\x30\x31", "\x40\x41\x42\x43",
      "\x50\x51\x52\x53\x54\x55\x56\x57",
      "\x60\x61\x62\x63\x64\x65\x66\x67\x68\x69\x6a\x6b\x6c\x6d\x6e\x6f"};
  const std::vector<std::string> roots = {
      "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d",
      "fac54203e7cc696cf0dfcb42c92a1d9dbaf70ad9e621f4bd8d98662f00e3c125",
      "aeb6bcfe274b70a14fb067a5e5578264db0fa9b51af5e0ba159158f329e06e77",
      "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7",
      "4e3bbb1f7b478dcfe71fb631631519a3bca12c9aefca1612bfce4c13a86264d4",
      "76e67dadbcdf1e10e1b74ddc608abd2f98dfb16fbce75277b5232a127f2087ef",
      "ddb89be403809e325750d3d263cd78929c2942b7942a34b77e122c9594a74c8c",
      "5dc9da79a70659a9ad559cb701ded9a2ab9d823aad2f4960cfe370eff4604328"};
  EXPECT_EQ(hex_encode(empty_tree_hash()),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  TreeBuilder tree;
  std::vector<Hash> leaves;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    leaves.push_back(leaf_hash(inputs[i]));
    tree.add_leaf(leaves.back());
    EXPECT_EQ(hex_encode(tree.root()), roots[i]) << i + 1;
    EXPECT_EQ(hex_encode(tree_root(leaves)), roots[i]) << i + 1;
  }
}

TEST(MerkleTest, LeavesAndNodesHashAsThroughOpenSsl) {
  // Lengths around the block boundaries, with the prefix byte counted.
  Hasher native;
  Hasher reference(false);
  std::mt19937 random(7);
  for (std::size_t size = 0; size < 300; ++size) {
    std::string line(size, '\0');
    for (char& c : line) c = static_cast<char>(random());
    EXPECT_EQ(native.leaf(line), reference.leaf(line)) << size;
  }
  const Hash a = reference.leaf("a");
  const Hash b = reference.leaf("b");
  EXPECT_EQ(native.node(a, b), reference.node(a, b));
  EXPECT_EQ(native.of(""), reference.of(""));
}

// Runs of leaves hashed apart, each knowing only where it starts, give the
// tree of all of them, and pass through the watched size on the way.
TEST(MerkleTest, RunsHashedApartGiveTheSameTree) {
  std::mt19937 random(7);
  const std::vector<Hash> leaves = leaves_of(70);
  for (int round = 0; round < 200; ++round) {
    const std::size_t n = random() % leaves.size();
    const std::span<const Hash> all(leaves.data(), n);
    const std::uint64_t watch = random() % (n + 1);
    TreeBuilder tree;
    tree.watch(watch);
    for (std::size_t at = 0; at < n;) {
      const std::size_t length = std::min<std::size_t>(n - at, 1 + random() % 12);
      SubtreeRun run(at, watch);
      for (std::size_t i = at; i < at + length; ++i) run.add_leaf(all[i]);
      for (const auto& subtree : run.subtrees()) {
        ASSERT_EQ(subtree.first, tree.size());
        tree.add_subtree(subtree.size, subtree.hash);
      }
      at += length;
    }
    SCOPED_TRACE("size " + std::to_string(n) + ", watched " + std::to_string(watch));
    EXPECT_EQ(tree.size(), n);
    EXPECT_EQ(tree.root(), tree_root(all));
    ASSERT_TRUE(tree.watched_root());
    EXPECT_EQ(*tree.watched_root(), tree_root(all.first(watch)));
  }
}

// Proof hashes made as the leaves stream past, one subtree at a time, are
// the proofs made from all the leaves at once.
TEST(MerkleTest, ProofsStreamedLeafByLeaf) {
  const std::vector<Hash> leaves = leaves_of(40);
  for (std::uint64_t n = 0; n <= leaves.size(); ++n) {
    const std::span<const Hash> all(leaves.data(), n);
    const auto streamed = [&](std::vector<LeafSpan> spans) {
      SubtreeRoots roots(std::move(spans));
      for (std::uint64_t i = 0; i < n; ++i) roots.add(i, all[i]);
      EXPECT_TRUE(roots.complete());
      return roots.roots();
    };
    for (std::uint64_t i = 0; i < n; ++i) {
      SCOPED_TRACE("entry " + std::to_string(i) + " of " + std::to_string(n));
      EXPECT_EQ(streamed(inclusion_spans(i, n)), inclusion_proof(all, i));
    }
    for (std::uint64_t m = 0; m <= n; ++m) {
      SCOPED_TRACE("from " + std::to_string(m) + " to " + std::to_string(n));
      EXPECT_EQ(streamed(consistency_spans(m, n)), consistency_proof(all, m));
    }
  }
  // Spans are disjoint and, for an audit path, never hold the leaf proven.
  for (const LeafSpan& span : inclusion_spans(5, 13)) EXPECT_TRUE(span.end <= 5 || span.begin > 5);
}

TEST(MerkleTest, ProofsHoldAndAlteredProofsDoNot) {
  const std::vector<Hash> leaves = leaves_of(33);
  const Hash other = leaf_hash("other");
  for (std::size_t n = 1; n <= leaves.size(); ++n) {
    const std::span<const Hash> tree(leaves.data(), n);
    const Hash root = tree_root(tree);
    for (std::size_t i = 0; i < n; ++i) {
      SCOPED_TRACE("entry " + std::to_string(i) + " of " + std::to_string(n));
      std::vector<Hash> path = inclusion_proof(tree, i);
      EXPECT_TRUE(check_inclusion(i, n, tree[i], path, root));
      EXPECT_FALSE(check_inclusion(i, n, other, path, root));
      if (n > 1) {
        EXPECT_FALSE(check_inclusion((i + 1) % n, n, tree[i], path, root));
      }
      if (!path.empty()) {
        path.back()[0] ^= 1;
        EXPECT_FALSE(check_inclusion(i, n, tree[i], path, root));
        path.pop_back();
        EXPECT_FALSE(check_inclusion(i, n, tree[i], path, root));
      }
    }
    for (std::size_t m = 0; m <= n; ++m) {
      SCOPED_TRACE("from " + std::to_string(m) + " to " + std::to_string(n));
      const Hash old_root = tree_root(tree.first(m));
      std::vector<Hash> proof = consistency_proof(tree, m);
      EXPECT_TRUE(check_consistency(m, n, old_root, root, proof));
      if (m > 0 && m < n) {
        EXPECT_FALSE(check_consistency(m, n, other, root, proof));
        EXPECT_FALSE(check_consistency(m, n, old_root, other, proof));
        proof.front()[3] ^= 1;
        EXPECT_FALSE(check_consistency(m, n, old_root, root, proof));
      }
    }
  }
  EXPECT_FALSE(check_inclusion(0, 0, leaves[0], {}, empty_tree_hash()));
  EXPECT_FALSE(check_consistency(2, 1, leaves[0], leaves[0], {}));
  // A tree of no leaves has one root: no other "old root" of size 0 extends to anything.
  EXPECT_TRUE(check_consistency(0, 0, empty_tree_hash(), empty_tree_hash(), {}));
  EXPECT_TRUE(check_consistency(0, 3, empty_tree_hash(), tree_root(std::span(leaves).first(3)), {}));
  EXPECT_FALSE(check_consistency(0, 3, leaves[0], tree_root(std::span(leaves).first(3)), {}));
  EXPECT_FALSE(check_consistency(0, 0, leaves[0], leaves[0], {}));
}

class TreeWalkTest : public testing::ScratchTest {};

// The tree a walk makes is the same for every number of ranges, up to a break.
TEST_F(TreeWalkTest, EveryNumberOfRangesGivesTheSameTree) {
  // Entry 10 is longer than a range, so that some ranges lie inside it.
  testing::Lines lines = testing::chain_lines(10);
  lines.push_back(testing::entry_line(10, testing::signature_of(lines.back()), "alice", 1.0,
                                      std::string(3000, 'p')));
  for (auto& line : testing::chain_lines(49, testing::signature_of(lines.back()), 11)) {
    lines.push_back(std::move(line));
  }
  lines.insert(lines.begin() + 20, "");
  std::vector<Hash> leaves;
  for (const auto& line : lines) {
    if (!line.empty()) leaves.push_back(leaf_hash(line));
  }
  const std::string intact = testing::join(lines);
  lines[40] = "{}";  // the 40th entry
  const std::string broken = testing::join(lines);
  for (const auto& [contents, entries] : {std::pair{intact, std::size_t{60}}, std::pair{broken, std::size_t{39}}}) {
    const std::string file = write("ledger.jsonl", contents);
    for (unsigned jobs = 1; jobs <= 4; ++jobs) {
      for (std::uint64_t watch : {std::uint64_t{0}, std::uint64_t{17}, std::uint64_t{39}, std::uint64_t{60}}) {
        SCOPED_TRACE(std::to_string(entries) + " entries, jobs " + std::to_string(jobs) +
                     ", watch " + std::to_string(watch));
        auto handle = platform::open_regular_for_read(file);
        ASSERT_TRUE(handle);
        WalkControl control;
        WalkOptions options{.jobs = jobs, .buffer_size = 64, .min_range_bytes = 1};
        options.tree = true;
        options.tree_watch = watch;
        const WalkOutcome out = walk_file(*handle, Chain{}, options, control);
        EXPECT_EQ(out.tree.size(), entries);
        EXPECT_EQ(out.tree.root(), tree_root(std::span(leaves).first(entries)));
        EXPECT_EQ(out.tree.watched_root().has_value(), watch <= entries);
        if (watch <= entries) {
          EXPECT_EQ(*out.tree.watched_root(), tree_root(std::span(leaves).first(watch)));
        }
      }
    }
  }
}

// A range counts its leaves before it walks them: the count is the number of
// lines ended by a line feed that are not blank, whatever white space, line
// lengths and read sizes, and stops at the range's limit and end.
TEST_F(TreeWalkTest, ARangeCountsItsEntryLines) {
  const std::string wide(70000, ' ');  // longer than one read
  const std::string ideographic = "\xE3\x80\x80";  // U+3000, white space
  const struct {
    const char* name;
    std::string contents;
    std::uint64_t leaves;
  } cases[] = {
      {"entries and blank lines", "{a}\n\n \t\r\n{b}\n\xC2\xA0\n", 2},
      {"a last line without a line feed", "{a}\n{b}", 1},
      {"carriage returns belong to the line", "{a}\r\n\r\n", 1},
      {"not white space", "\xC2\xA1\n\xE3\x80\x81\n", 2},
      {"a blank line longer than a read", wide + ideographic + wide + "\n{a}\n", 1},
      {"white space cut by a read", std::string(65535, ' ') + ideographic + "\n", 0},
      {"not white space cut by a read", std::string(65535, ' ') + "\xE3\x80\x81\n", 1},
      {"a long entry line", "{" + wide + "}\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = write("lines.jsonl", c.contents);
    auto handle = platform::open_regular_for_read(file);
    ASSERT_TRUE(handle);
    EXPECT_EQ(count_leaf_lines(*handle, 0, RangeReader::kNoLimit, RangeReader::kNoLimit), c.leaves);
  }
  // Lines that start before the limit count, the last of them read to its end;
  // no byte at or past the end is read.
  const std::string file = write("lines.jsonl", "{a}\n{bb}\n{c}\n");
  auto handle = platform::open_regular_for_read(file);
  ASSERT_TRUE(handle);
  EXPECT_EQ(count_leaf_lines(*handle, 0, 5, RangeReader::kNoLimit), 2u);
  EXPECT_EQ(count_leaf_lines(*handle, 4, 6, RangeReader::kNoLimit), 1u);
  EXPECT_EQ(count_leaf_lines(*handle, 0, RangeReader::kNoLimit, 8), 1u);
  EXPECT_EQ(count_leaf_lines(*handle, 9, 6, RangeReader::kNoLimit), 0u);  // no line starts in it
}

TEST(EncodingTest, Base64IsStandardAndStrict) {
  const struct {
    std::string bytes;
    std::string text;
  } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
               {"\xfb\xff", "+/8="}, {std::string("\0\0\0\0", 4), "AAAAAA=="}};
  for (const auto& c : cases) {
    EXPECT_EQ(base64_encode(c.bytes), c.text);
    EXPECT_EQ(base64_decode(c.text), c.bytes) << c.text;
  }
  for (const char* bad : {"Zg", "Zg=", "Zh==", "Zm9=", "Z===", "Zg==Zg==", "Zm9v\n", "-_8=",
                          "Zm 9v", "=Zm9"}) {
    EXPECT_EQ(base64_decode(bad), std::nullopt) << bad;
  }
}

TEST(SigningTest, KeysReadBackAndSignaturesVerify) {
  const auto signer = generate_signer("example.com/books");
  ASSERT_TRUE(signer);
  const VerifierKey verifier = verifier_of(*signer);
  EXPECT_EQ(parse_signer(format_signer(*signer) + "\n")->seed, signer->seed);
  EXPECT_EQ(parse_verifier(format_verifier(verifier))->key, verifier.key);
  EXPECT_EQ(format_verifier(verifier).substr(0, 27), "example.com/books+" +
                                                         format_verifier(verifier).substr(18, 8) + "+");

  const std::string body = format_note_body("example.com/books", 3, leaf_hash("x"), {"chain-head y"});
  const auto note = parse_note(*sign_note(body, *signer));
  ASSERT_TRUE(note);
  EXPECT_EQ(note->body, body);
  EXPECT_EQ(note->size, 3u);
  EXPECT_EQ(note->chain_head(), "y");
  EXPECT_EQ(check_note_signature(*note, verifier), SignatureCheck::kValid);
  const auto other = generate_signer("example.com/books");
  EXPECT_EQ(check_note_signature(*note, verifier_of(*other)), SignatureCheck::kMissing);
  // The same name and key hash, a signature that does not verify.
  TreeNote altered = *note;
  altered.body = format_note_body("example.com/books", 4, leaf_hash("x"), {"chain-head y"});
  EXPECT_EQ(check_note_signature(altered, verifier), SignatureCheck::kInvalid);

  for (const char* name : {"", "a b", "a+b", "a\tb", "a\xc2\x85" "b", "\xff"}) {
    EXPECT_FALSE(is_key_name(name)) << name;
    EXPECT_FALSE(generate_signer(name));
  }
  EXPECT_TRUE(is_key_name("witness.example/\xc3\xa9"));
}

}  // namespace
}  // namespace ledger::cli
