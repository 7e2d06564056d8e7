// Standard base64 (RFC 4648, with padding) and lowercase hexadecimal, for the
// hashes, keys and signatures of checkpoint notes and proofs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ledger::tlog {

std::string base64_encode(std::span<const std::uint8_t> bytes);
inline std::string base64_encode(std::string_view bytes) {
  return base64_encode(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

// Decodes standard base64 with padding, strictly: no white space, no missing or
// extra padding, and no bits set past the last whole byte, so that every byte
// string has exactly one accepted text.
std::optional<std::string> base64_decode(std::string_view text);

// Lowercase hexadecimal, through the ledger's hex writer (ledger/hex.h).
std::string hex_encode(std::span<const std::uint8_t> bytes);

}  // namespace ledger::tlog
