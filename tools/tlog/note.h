// Checkpoint notes: a ledger's Merkle tree head in the checkpoint form of
// transparency logs, optionally signed in the signed-note form their witnesses
// use. The signed text (the body) is
//
//   ORIGIN            the ledger's name: stable while it grows
//   SIZE              number of leaves (entry lines), decimal
//   ROOT              the tree's root hash, standard base64
//   EXTENSION...      optional further lines, none empty
//
// each line ended by a line feed. A signed note adds an empty line and one
// line per signature: "\u2014 NAME BASE64(KEYHASH[4] || SIGNATURE)", the
// signature being Ed25519 over the body. The body is valid UTF-8 without
// control characters other than the line feeds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/failure.h"
#include "tlog/merkle.h"
#include "tlog/signing.h"

namespace ledger::tlog {

// The default origin is this prefix followed by the signature of the ledger's
// first entry, which never changes as the ledger grows.
inline constexpr std::string_view kOriginPrefix = "quorvel-ledger/";
// The extension line that gives the chain head at the checkpoint: the
// signature of its last entry (GENESIS_BLOCK_HASH for size 0).
inline constexpr std::string_view kHeadExtension = "chain-head ";
// Longest note a reader accepts.
inline constexpr std::size_t kMaxNoteLength = 64 * 1024;
// Most signature lines a reader accepts on one note.
inline constexpr std::size_t kMaxNoteSignatures = 100;

struct NoteSignature {
  std::string name;
  std::uint32_t hash = 0;
  std::string signature;  // the bytes after the key hash

  bool operator==(const NoteSignature&) const = default;
};

struct TreeNote {
  std::string origin;
  std::uint64_t size = 0;
  Hash root{};
  std::vector<std::string> extensions;
  std::vector<NoteSignature> signatures;
  std::string body;  // the signed text
  std::string text;  // the whole note, signatures included

  // The chain head that the extension line gives, if any.
  std::optional<std::string_view> chain_head() const;

  bool operator==(const TreeNote&) const = default;
};

std::string default_origin(std::string_view first_signature);

// Whether `origin` may stand on a note's first line: non-empty valid UTF-8
// without the characters of holds_hidden_control (signing.h).
bool is_origin(std::string_view origin);

// The body of a note (no signature).
std::string format_note_body(std::string_view origin, std::uint64_t size, const Hash& root,
                             const std::vector<std::string>& extensions);

// The body followed by the signature of `key`.
Result<std::string> sign_note(std::string_view body, const SignerKey& key);

// Reads a note, signed or not. Fails with kind kInvalidArgument and a one-line
// reason on anything else.
Result<TreeNote> parse_note(std::string_view text);

enum class SignatureCheck : std::uint8_t {
  kValid,    // a signature by the key verifies
  kMissing,  // no signature line names the key
  kInvalid,  // a signature line names the key and does not verify
};
// Fails when the cryptographic library cannot check a signature.
Result<SignatureCheck> check_note_signature(const TreeNote& note, const VerifierKey& key);

}  // namespace ledger::tlog
