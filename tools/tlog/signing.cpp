#include "tlog/signing.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "ledger/utf8.h"
#include "tlog/encoding.h"
#include "tlog/merkle.h"

namespace ledger::tlog {
namespace {

constexpr std::string_view kPrivatePrefix = "PRIVATE+KEY+";
static_assert(kPrivatePrefix.size() + kMaxKeyName + 1 + 8 + 1 + 44 + 2 == kMaxKeyText);

constexpr std::string_view kSmallOrderReason =
    "the key is of small order, which would accept forged signatures";

// The encodings of the points of small order with the sign bit of x (the top
// bit) cleared: the identity, the point of order 2, the two y of the points
// of order 4 and 8, and y + p for the two y below 19 (0 and 1).
constexpr std::array<Ed25519Key, 7> kSmallOrderPoints = [] {
  std::array<Ed25519Key, 7> points{};
  points[1][0] = 0x01;  // points[0] is y = 0, order 4
  points[2] = {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4,
               0x89, 0xf2, 0xef, 0x98, 0xf0, 0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6,
               0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05};
  points[3] = {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
               0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
               0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a};
  for (std::size_t k = 4; k < 7; ++k) {  // p - 1, p and p + 1
    points[k].fill(0xff);
    points[k][0] = static_cast<std::uint8_t>(0xec + (k - 4));
    points[k][31] = 0x7f;
  }
  return points;
}();

struct FreeKey {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct FreeContext {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using PKey = std::unique_ptr<EVP_PKEY, FreeKey>;
using MdContext = std::unique_ptr<EVP_MD_CTX, FreeContext>;

std::unexpected<Failure> invalid(std::string reason) {
  return fail(Failure::invalid_argument(std::move(reason)));
}

std::unexpected<Failure> crypto_failure(std::string_view what) {
  return fail(Failure::internal("the cryptographic library could not " + std::string(what)));
}

std::string text_of(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

PKey private_key(const Ed25519Key& seed) {
  return PKey(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
}

std::optional<Ed25519Key> public_key_of(const Ed25519Key& seed) {
  const PKey key = private_key(seed);
  Ed25519Key out{};
  std::size_t length = out.size();
  if (!key || EVP_PKEY_get_raw_public_key(key.get(), out.data(), &length) != 1 ||
      length != out.size()) {
    return std::nullopt;
  }
  return out;
}

std::string hash_text(std::uint32_t hash) {
  char buffer[9];
  std::snprintf(buffer, sizeof buffer, "%08x", hash);
  return buffer;
}

// NAME+HASH+BASE64(0x01 || 32 bytes): the name, the hash and the 32 bytes.
struct KeyParts {
  std::string name;
  std::uint32_t hash = 0;
  Ed25519Key bytes{};
};

Result<KeyParts> parse_parts(std::string_view text) {
  if (text.ends_with("\r\n")) {
    text.remove_suffix(2);
  } else if (text.ends_with('\n')) {
    text.remove_suffix(1);
  }
  const std::size_t first = text.find('+');
  const std::size_t second = first == std::string_view::npos ? first : text.find('+', first + 1);
  // The key's base64 may hold '+' too: only the first two separate.
  if (second == std::string_view::npos) {
    return invalid("not of the form NAME+HASH+KEY");
  }
  KeyParts parts;
  parts.name = std::string(text.substr(0, first));
  if (!is_key_name(parts.name)) {
    return invalid(
        "the key name is empty or holds white space, '+', control characters or bidirectional "
        "overrides");
  }
  const std::string_view hash = text.substr(first + 1, second - first - 1);
  const bool lower_hex = hash.size() == 8 && hash.find_first_not_of("0123456789abcdef") ==
                                                 std::string_view::npos;
  if (!lower_hex) return invalid("the key hash is not eight lowercase hexadecimal digits");
  std::from_chars(hash.data(), hash.data() + hash.size(), parts.hash, 16);
  const auto bytes = base64_decode(text.substr(second + 1));
  if (!bytes) return invalid("the key is not standard base64");
  if (bytes->size() != 33 || static_cast<std::uint8_t>((*bytes)[0]) != kEd25519) {
    return invalid("the key is not an Ed25519 key (algorithm byte 0x01 and 32 bytes)");
  }
  std::copy(bytes->begin() + 1, bytes->end(), reinterpret_cast<char*>(parts.bytes.data()));
  return parts;
}

// Whether `code_point` is one of the characters of holds_hidden_control.
bool is_hidden_control(std::uint32_t code_point) {
  return code_point < 0x20 || (code_point >= 0x7f && code_point < 0xa0) ||
         (code_point >= 0x202a && code_point <= 0x202e) ||
         (code_point >= 0x2066 && code_point <= 0x2069);
}

std::string format_parts(std::string_view name, std::uint32_t hash, const Ed25519Key& bytes) {
  std::string raw(1, static_cast<char>(kEd25519));
  raw += text_of(bytes);
  return std::string(name) + "+" + hash_text(hash) + "+" + base64_encode(raw);
}

}  // namespace

bool holds_hidden_control(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    std::uint32_t code_point = 0;
    const std::size_t length = decode_utf8(text, at, code_point);
    if (length == 0 || is_hidden_control(code_point)) return true;
    at += length;
  }
  return false;
}

bool is_key_name(std::string_view name) {
  if (name.empty() || valid_utf8_prefix(name) != name.size() || holds_hidden_control(name)) {
    return false;
  }
  for (std::size_t at = 0; at < name.size();) {
    std::uint32_t c = 0;
    const std::size_t length = decode_utf8(name, at, c);
    if (c == '+' || is_blank_line(name.substr(at, length))) return false;
    at += length;
  }
  return true;
}

bool is_small_order(const Ed25519Key& key) {
  Ed25519Key y = key;
  y[31] &= 0x7f;
  return std::find(kSmallOrderPoints.begin(), kSmallOrderPoints.end(), y) != kSmallOrderPoints.end();
}

Result<std::uint32_t> key_hash(std::string_view name, const Ed25519Key& key) {
  std::string input(name);
  input += '\n';
  input += static_cast<char>(kEd25519);
  input += text_of(key);
  const Result<Hash> hashed = sha256_of(input);
  if (!hashed) return fail(hashed.error());
  const Hash& digest = *hashed;
  return (std::uint32_t{digest[0]} << 24) | (std::uint32_t{digest[1]} << 16) |
         (std::uint32_t{digest[2]} << 8) | digest[3];
}

Result<SignerKey> generate_signer(std::string_view name) {
  if (!is_key_name(name)) {
    return invalid(
        "a key name must be non-empty, without white space, '+', control characters or "
        "bidirectional overrides");
  }
  if (name.size() > kMaxKeyName) {
    return invalid("a key name must be at most " + std::to_string(kMaxKeyName) + " bytes");
  }
  SignerKey signer;
  signer.name = std::string(name);
  if (RAND_priv_bytes(signer.seed.data(), static_cast<int>(signer.seed.size())) != 1) {
    return crypto_failure("gather random bytes for a key");
  }
  const auto key = public_key_of(signer.seed);
  if (!key) return crypto_failure("make an Ed25519 key");
  if (is_small_order(*key)) return invalid(std::string(kSmallOrderReason));
  signer.key = *key;
  const auto hash = key_hash(signer.name, signer.key);
  if (!hash) return fail(hash.error());
  signer.hash = *hash;
  return signer;
}

VerifierKey verifier_of(const SignerKey& signer) {
  return VerifierKey{signer.name, signer.hash, signer.key};
}

std::string format_verifier(const VerifierKey& key) {
  return format_parts(key.name, key.hash, key.key);
}

std::string format_signer(const SignerKey& key) {
  return std::string(kPrivatePrefix) + format_parts(key.name, key.hash, key.seed);
}

Result<VerifierKey> parse_verifier(std::string_view text) {
  if (text.starts_with(kPrivatePrefix)) {
    return invalid("this is a signer (private) key; give its verifier key");
  }
  auto parts = parse_parts(text);
  if (!parts) return fail(std::move(parts).error());
  const auto hash = key_hash(parts->name, parts->bytes);
  if (!hash) return fail(hash.error());
  if (*hash != parts->hash) {
    return invalid("the key hash does not match the name and key");
  }
  if (is_small_order(parts->bytes)) return invalid(std::string(kSmallOrderReason));
  return VerifierKey{std::move(parts->name), parts->hash, parts->bytes};
}

Result<SignerKey> parse_signer(std::string_view text) {
  if (!text.starts_with(kPrivatePrefix)) {
    return invalid("not a signer key (it does not start with PRIVATE+KEY+)");
  }
  auto parts = parse_parts(text.substr(kPrivatePrefix.size()));
  if (!parts) return fail(std::move(parts).error());
  SignerKey signer;
  signer.name = std::move(parts->name);
  signer.seed = parts->bytes;
  const auto key = public_key_of(signer.seed);
  if (!key) return crypto_failure("read an Ed25519 key");
  if (is_small_order(*key)) return invalid(std::string(kSmallOrderReason));
  signer.key = *key;
  const auto hash = key_hash(signer.name, signer.key);
  if (!hash) return fail(hash.error());
  signer.hash = *hash;
  if (signer.hash != parts->hash) return invalid("the key hash does not match the name and key");
  return signer;
}

Result<Ed25519Signature> sign(const SignerKey& key, std::string_view message) {
  const PKey pkey = private_key(key.seed);
  const MdContext ctx(EVP_MD_CTX_new());
  Ed25519Signature signature{};
  std::size_t length = signature.size();
  if (!pkey || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1 ||
      EVP_DigestSign(ctx.get(), signature.data(), &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
      length != signature.size()) {
    return crypto_failure("sign with Ed25519");
  }
  return signature;
}

Result<bool> verify_signature(const VerifierKey& key, std::string_view message,
                              const Ed25519Signature& signature) {
  const PKey pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.key.data(), key.key.size()));
  const MdContext ctx(EVP_MD_CTX_new());
  if (!pkey || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
    return crypto_failure("check an Ed25519 signature");
  }
  // 1 verifies, 0 does not; anything else is the library's own fault.
  const int verified = EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                                        reinterpret_cast<const unsigned char*>(message.data()),
                                        message.size());
  if (verified != 0 && verified != 1) return crypto_failure("check an Ed25519 signature");
  return verified == 1;
}

}  // namespace ledger::tlog
