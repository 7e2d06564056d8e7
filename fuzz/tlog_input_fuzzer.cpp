// Fuzzes the readers of the tool's checkpoint notes, keys and proofs, which
// take files from anyone: a checkpoint passed around, a key file, a proof.
//
// The first byte picks the reader; the rest is its input. Every reader must
// refuse or accept without a memory error, and what it accepts must read back:
// a note's fields format to its signed text, a key formats to its text, a
// proof formats to a text that reads to the same proof, base64 encodes back.
// Text a reader accepts and the tool prints (an origin, a key name) must come
// out of display() as printable ASCII. Proofs are also run through the checks,
// which must stay bounded for any sizes and hashes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "audit/checkpoint.h"
#include "fuzz_support.h"
#include "tlog/encoding.h"
#include "tlog/json.h"
#include "tlog/merkle.h"
#include "tlog/note.h"
#include "tlog/proof.h"
#include "tlog/signing.h"

namespace ledger::fuzz {
namespace {

bool printable_ascii(std::string_view text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

void check_note(std::string_view text) {
  const auto checkpoint = audit::parse_any_checkpoint(text);
  if (!checkpoint || !checkpoint->note) return;
  const tlog::TreeNote& note = *checkpoint->note;
  FUZZ_CHECK(note.text == text, printable(text));
  FUZZ_CHECK(tlog::format_note_body(note.origin, note.size, note.root, note.extensions) ==
                 note.body,
             printable(text));
  FUZZ_CHECK(printable_ascii(tlog::display(note.origin)), printable(note.origin));
  for (const auto& sig : note.signatures) {
    FUZZ_CHECK(printable_ascii(tlog::display(sig.name)), printable(sig.name));
  }
}

void check_key(std::string_view text) {
  std::string_view canonical = text;
  if (canonical.ends_with('\n')) canonical.remove_suffix(1);
  if (const auto key = tlog::parse_verifier(text)) {
    FUZZ_CHECK(tlog::format_verifier(*key) == canonical, printable(text));
    FUZZ_CHECK(printable_ascii(tlog::display(tlog::format_verifier(*key))), printable(text));
  }
  if (const auto key = tlog::parse_signer(text)) {
    FUZZ_CHECK(tlog::format_signer(*key) == canonical, printable(text));
  }
}

void check_proof(std::string_view text) {
  const auto proof = tlog::parse_proof(text);
  if (!proof) return;
  const tlog::Hash root = tlog::leaf_hash(text);
  if (const auto* p = std::get_if<tlog::InclusionProof>(&*proof)) {
    const auto again = tlog::parse_proof(tlog::format_proof(*p));
    FUZZ_CHECK(again && std::get<tlog::InclusionProof>(*again).hashes == p->hashes &&
                   std::get<tlog::InclusionProof>(*again).line == p->line &&
                   std::get<tlog::InclusionProof>(*again).leaf_hash == p->leaf_hash,
               printable(text));
    (void)tlog::check_inclusion(p->index, p->tree_size, p->leaf_hash, p->hashes, root);
  } else {
    const auto& c = std::get<tlog::ConsistencyProof>(*proof);
    const auto again = tlog::parse_proof(tlog::format_proof(c));
    FUZZ_CHECK(again && std::get<tlog::ConsistencyProof>(*again).hashes == c.hashes &&
                   std::get<tlog::ConsistencyProof>(*again).old_size == c.old_size,
               printable(text));
    (void)tlog::check_consistency(c.old_size, c.new_size, root, root, c.hashes);
  }
}

void check_base64(std::string_view text) {
  if (const auto bytes = tlog::base64_decode(text)) {
    FUZZ_CHECK(tlog::base64_encode(*bytes) == text, printable(text));
  }
}

}  // namespace
}  // namespace ledger::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ledger::fuzz;
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0:
      check_note(text);
      break;
    case 1:
      check_key(text);
      break;
    case 2:
      check_proof(text);
      break;
    default:
      check_base64(text);
      break;
  }
  return 0;
}
