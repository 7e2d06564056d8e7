// Ed25519 keys and signatures in the text forms of signed notes, as
// transparency logs and their witnesses use them:
//
//   verifier key  NAME+HASH+BASE64(0x01 || public key)
//   signer key    PRIVATE+KEY+NAME+HASH+BASE64(0x01 || 32-byte seed)
//
// HASH is eight lowercase hex digits: the first four bytes, big-endian, of
// SHA-256(NAME || "\n" || 0x01 || public key). 0x01 names the algorithm,
// Ed25519. A NAME is non-empty printable text without spaces or '+'.
//
// A key of small order (a point of the torsion subgroup, in any encoding) is
// refused wherever a key is read or made: with one, a forged signature
// (R the identity, S zero) verifies over any message.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "ledger/failure.h"

namespace ledger::tlog {

inline constexpr std::uint8_t kEd25519 = 0x01;

// Longest key text a reader takes, its line end included.
inline constexpr std::size_t kMaxKeyText = 1024;
// Longest key name keygen makes: its signer key, the longer of the two texts
// (PRIVATE+KEY+NAME+HASH+BASE64 of 33 bytes), fits kMaxKeyText even with a
// CR LF line end.
inline constexpr std::size_t kMaxKeyName =
    kMaxKeyText - (std::string_view("PRIVATE+KEY+").size() + 1 + 8 + 1 + 44 + 2);

using Ed25519Key = std::array<std::uint8_t, 32>;
using Ed25519Signature = std::array<std::uint8_t, 64>;

struct VerifierKey {
  std::string name;
  std::uint32_t hash = 0;
  Ed25519Key key{};
};

struct SignerKey {
  std::string name;
  std::uint32_t hash = 0;
  Ed25519Key seed{};
  Ed25519Key key{};  // the public key of `seed`
};

// Whether valid UTF-8 `text` holds a character that would hide or reorder
// what is shown around it: a C0 or C1 control, DEL, or a bidirectional
// override or isolate (U+202A-U+202E, U+2066-U+2069).
bool holds_hidden_control(std::string_view text);

// Whether `name` may name a key: non-empty valid UTF-8 holding no white space,
// no '+' and none of the characters of holds_hidden_control.
bool is_key_name(std::string_view name);

// Whether `key` is one of the points of small order of Ed25519, in any of
// their encodings.
bool is_small_order(const Ed25519Key& key);

// The key hash of a verifier key: the first four bytes, big-endian, of
// SHA-256 over the name, a line feed, the algorithm byte and the key.
Result<std::uint32_t> key_hash(std::string_view name, const Ed25519Key& key);

// A new key from the system's random source, named `name` (a key name of at
// most kMaxKeyName bytes).
Result<SignerKey> generate_signer(std::string_view name);

VerifierKey verifier_of(const SignerKey& signer);

std::string format_verifier(const VerifierKey& key);
std::string format_signer(const SignerKey& key);

// Read the text forms; one trailing line end (LF or CR LF) is allowed. A text
// that is not a key, or a key of small order, fails with kind
// kInvalidArgument and a one-line reason.
Result<VerifierKey> parse_verifier(std::string_view text);
Result<SignerKey> parse_signer(std::string_view text);

Result<Ed25519Signature> sign(const SignerKey& key, std::string_view message);
// Whether `signature` by `key` verifies over `message`; fails when the
// cryptographic library cannot check it.
Result<bool> verify_signature(const VerifierKey& key, std::string_view message,
                              const Ed25519Signature& signature);

}  // namespace ledger::tlog
