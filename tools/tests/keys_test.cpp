// Keys that readers refuse: names past the readers' limit, keys of small
// order, the characters no name or origin may hold; and key files with CR LF.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/inputs.h"
#include "support.h"
#include "tlog/encoding.h"
#include "tlog/note.h"
#include "tlog/signing.h"

namespace ledger::cli {
namespace {

using namespace tlog;  // the names under test

using testing::Ran;
using testing::run_cli;

// The verifier key text of `name` and the raw `key`, with its right hash.
std::string verifier_text(const std::string& name, const Ed25519Key& key) {
  return format_verifier(VerifierKey{name, *key_hash(name, key), key});
}

Ed25519Key from_hex(std::string_view hex) {
  Ed25519Key key{};
  for (std::size_t k = 0; k < key.size(); ++k) {
    key[k] = static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(2 * k, 2)), nullptr, 16));
  }
  return key;
}

constexpr std::string_view kSmallOrder =
    "the key is of small order, which would accept forged signatures";

TEST(KeyTest, KeysOfSmallOrderAreRefusedInEveryEncoding) {
  // The eight points of small order, canonical, and the encodings of y + p
  // and of x = 0 with the sign bit set.
  const std::string_view points[] = {
      "0100000000000000000000000000000000000000000000000000000000000000",  // identity
      "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // order 2
      "0000000000000000000000000000000000000000000000000000000000000000",  // order 4
      "0000000000000000000000000000000000000000000000000000000000000080",
      "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",  // order 8
      "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
      "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
      "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa",
      "0100000000000000000000000000000000000000000000000000000000000080",  // non-canonical
      "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
      "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
      "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
      "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
      "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
  };
  for (std::string_view hex : points) {
    const auto parsed = parse_verifier(verifier_text("example.com/books", from_hex(hex)));
    ASSERT_FALSE(parsed.has_value()) << hex;
    EXPECT_EQ(parsed.error().message(), kSmallOrder) << hex;
  }
  // Next to them, the base point (of prime order) is taken.
  const Ed25519Key base = from_hex("5866666666666666666666666666666666666666666666666666666666666666");
  EXPECT_TRUE(parse_verifier(verifier_text("example.com/books", base)).has_value());
  EXPECT_FALSE(is_small_order(base));
}

class KeyFileTest : public testing::ScratchTest {};

TEST_F(KeyFileTest, AForgedSignatureByTheIdentityKeyIsNotValid) {
  const std::string ledger = write("l.jsonl", testing::join(testing::chain_lines(3)));
  const Ran made = run_cli({"checkpoint", ledger});
  ASSERT_EQ(made.status, 0) << made.err;
  // R = the identity, S = 0: it verifies by the identity key over any text.
  const std::string name = "example.com/books";
  Ed25519Key identity{};
  identity[0] = 0x01;
  std::string forged(4, '\0');
  const std::uint32_t hash = *key_hash(name, identity);
  for (int k = 0; k < 4; ++k) forged[static_cast<std::size_t>(k)] = static_cast<char>(hash >> (24 - 8 * k));
  forged += std::string(1, '\x01') + std::string(31, '\0') + std::string(32, '\0');
  const std::string note = write("forged.cp", made.out + "\n\u2014 " + name + " " + base64_encode(forged) + "\n");
  const std::string pub = write("identity.pub", verifier_text(name, identity) + "\n");
  const Ran ran = run_cli({"verify", "--since", note, "--pub", pub, ledger});
  EXPECT_EQ(ran.status, 2);
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(ran.err, "quorvel-ledger: " + pub + ": malformed verifier key: " + std::string(kSmallOrder) + "\n");
}

TEST_F(KeyFileTest, KeyFilesEndedByCrLfAreRead) {
  const auto signer = generate_signer("example.com/books");
  ASSERT_TRUE(signer.has_value());
  const VerifierKey verifier = verifier_of(*signer);
  const auto read_signer = load_signer(write("k.key", format_signer(*signer) + "\r\n"));
  ASSERT_TRUE(read_signer.has_value()) << read_signer.error().message();
  EXPECT_EQ(read_signer->seed, signer->seed);
  EXPECT_EQ(read_signer->name, signer->name);
  const auto read_verifier = load_verifier(write("k.pub", format_verifier(verifier) + "\r\n"));
  ASSERT_TRUE(read_verifier.has_value()) << read_verifier.error().message();
  EXPECT_EQ(read_verifier->key, verifier.key);
  // One line end only: a second is not part of the key.
  const auto doubled = parse_verifier(format_verifier(verifier) + "\r\n\r\n");
  ASSERT_FALSE(doubled.has_value());
  EXPECT_EQ(doubled.error().message(), "the key is not standard base64");
}

TEST_F(KeyFileTest, TheLongestNameKeygenTakesGivesKeysEveryReaderTakes) {
  const std::string longest(kMaxKeyName, 'n');
  const Ran made = run_cli({"keygen", "--name", longest, "--key", path("k.key"), "--pub", path("k.pub")});
  ASSERT_EQ(made.status, 0) << made.err;
  // With CR LF line ends, the longest texts there are.
  const std::string signer_text = testing::read_file(path("k.key"));
  const std::string verifier_text = testing::read_file(path("k.pub"));
  const std::string signer_file = write("crlf.key", signer_text.substr(0, signer_text.size() - 1) + "\r\n");
  const std::string verifier_file = write("crlf.pub", verifier_text.substr(0, verifier_text.size() - 1) + "\r\n");
  EXPECT_EQ(testing::read_file(signer_file).size(), kMaxKeyText);
  EXPECT_TRUE(load_signer(signer_file).has_value());
  EXPECT_TRUE(load_verifier(verifier_file).has_value());
  const Ran refused = run_cli({"keygen", "--name", longest + "n", "--key", path("l.key"), "--pub", path("l.pub")});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, "quorvel-ledger: cannot make a key: a key name must be at most 956 bytes\n");
}

TEST(KeyTest, NamesAndOriginsWithoutHiddenControls) {
  const struct {
    std::string text;
    bool name;
    bool origin;
  } cases[] = {
      {"example.com/books", true, true},
      {"\u00e9crit/livres", true, true},
      {"", false, false},
      {"a b", false, true},        // white space ends a name only
      {"a\u00a0b", false, true},   // no-break space
      {"a+b", false, true},
      {"a\tb", false, false},
      {"a\x1b[2Jb", false, false},
      {"a\x7f", false, false},
      {"a\u0080b", false, false},  // C1 controls
      {"a\u0085b", false, false},
      {"a\u009fb", false, false},
      {"a\u202ab", false, false},  // bidirectional embeddings and overrides
      {"a\u202eb", false, false},
      {"a\u2066b", false, false},  // and isolates
      {"a\u2069b", false, false},
      {"a\u2065b", true, true},    // unassigned, next to the isolates
      {"a\u202fb", false, true},   // narrow no-break space
      {"a\xffz", false, false},    // not UTF-8
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_key_name(c.text), c.name) << c.text;
    EXPECT_EQ(is_origin(c.text), c.origin) << c.text;
  }
}

TEST(KeyTest, ANoteWhoseOriginHoldsABidiOverrideIsRefused) {
  const std::string root = base64_encode(std::string(32, '\0'));
  for (const std::string origin : {"books\u202e", "books\u0085"}) {
    const auto note = parse_note(origin + "\n1\n" + root + "\n");
    ASSERT_FALSE(note.has_value()) << origin;
    EXPECT_EQ(note.error().message(), "the origin line holds control characters or bidirectional overrides");
  }
  EXPECT_TRUE(parse_note("books\u2065\n1\n" + root + "\n").has_value());
  const Ran ran = run_cli({"checkpoint", "--origin", "books\u2066", "l.jsonl"});
  EXPECT_EQ(ran.status, 2);
  EXPECT_EQ(ran.err,
            "quorvel-ledger: --origin takes a non-empty line of UTF-8 text without control "
            "characters (see 'quorvel-ledger --help')\n");
}

}  // namespace
}  // namespace ledger::cli
