// Ed25519 keys and signatures in the text forms of signed notes, as
// transparency logs and their witnesses use them:
//
//   verifier key  NAME+HASH+BASE64(0x01 || public key)
//   signer key    PRIVATE+KEY+NAME+HASH+BASE64(0x01 || 32-byte seed)
//
// HASH is eight lowercase hex digits: the first four bytes, big-endian, of
// SHA-256(NAME || "\n" || 0x01 || public key). 0x01 names the algorithm,
// Ed25519. A NAME is non-empty printable text without spaces or '+'.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "ledger/failure.h"

namespace ledger::tlog {

inline constexpr std::uint8_t kEd25519 = 0x01;

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

// Whether `name` may name a key: non-empty valid UTF-8 holding no white space,
// no control character and no '+'.
bool is_key_name(std::string_view name);

std::uint32_t key_hash(std::string_view name, const Ed25519Key& key);

// A new key from the system's random source.
Result<SignerKey> generate_signer(std::string_view name);

VerifierKey verifier_of(const SignerKey& signer);

std::string format_verifier(const VerifierKey& key);
std::string format_signer(const SignerKey& key);

// Read the text forms; one trailing line feed is allowed. A text that is not a
// key fails with kind kInvalidArgument and a one-line reason.
Result<VerifierKey> parse_verifier(std::string_view text);
Result<SignerKey> parse_signer(std::string_view text);

Result<Ed25519Signature> sign(const SignerKey& key, std::string_view message);
bool verify_signature(const VerifierKey& key, std::string_view message,
                      const Ed25519Signature& signature);

}  // namespace ledger::tlog
