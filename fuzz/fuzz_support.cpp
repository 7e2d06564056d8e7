#include "fuzz_support.h"

#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <optional>


namespace ledger::fuzz {

void property_failed(const char* check, const char* file, int line, std::string_view detail) {
  std::fprintf(stderr, "\n%s:%d: property violated: %s\n  %.*s\n", file, line, check,
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

std::string printable(std::string_view bytes) {
  constexpr std::size_t kShown = 400;
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < kShown; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      out.push_back(static_cast<char>(byte));
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      out += escape;
    }
  }
  if (bytes.size() > kShown) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

ScratchFile::ScratchFile() : fd_(::memfd_create("ledger-fuzz", MFD_CLOEXEC)) {
  if (fd_ < 0) {
    std::perror("memfd_create");
    std::abort();
  }
  path_ = "/proc/self/fd/" + std::to_string(fd_);
}

ScratchFile::~ScratchFile() { ::close(fd_); }

void ScratchFile::write(std::string_view bytes) {
  if (::ftruncate(fd_, 0) != 0) {
    std::perror("ftruncate");
    std::abort();
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(done));
    if (n <= 0) {
      std::perror("pwrite");
      std::abort();
    }
    done += static_cast<std::size_t>(n);
  }
}

namespace {

// Decodes the character at the start of `bytes`: its code point and length,
// or nothing when the bytes there are not well-formed UTF-8.
struct Decoded {
  std::uint32_t code_point;
  std::size_t length;
};

std::optional<Decoded> decode(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  std::size_t length;
  std::uint32_t smallest;  // below this the form is overlong
  std::uint32_t code_point;
  if (lead < 0x80) return Decoded{lead, 1};
  if ((lead & 0xE0) == 0xC0) {
    length = 2, smallest = 0x80, code_point = lead & 0x1Fu;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, smallest = 0x800, code_point = lead & 0x0Fu;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, smallest = 0x10000, code_point = lead & 0x07u;
  } else {
    return std::nullopt;
  }
  if (bytes.size() < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(bytes[i]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    code_point = code_point << 6 | (next & 0x3Fu);
  }
  if (code_point < smallest || code_point > 0x10FFFF) return std::nullopt;
  if (code_point >= 0xD800 && code_point <= 0xDFFF) return std::nullopt;
  return Decoded{code_point, length};
}

bool is_white_space(std::uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

}  // namespace

bool reference_is_utf8(std::string_view bytes) {
  while (!bytes.empty()) {
    const auto character = decode(bytes);
    if (!character) return false;
    bytes.remove_prefix(character->length);
  }
  return true;
}

bool reference_is_blank(std::string_view line) {
  while (!line.empty()) {
    const auto character = decode(line);
    if (!character || !is_white_space(character->code_point)) return false;
    line.remove_prefix(character->length);
  }
  return true;
}

std::string reference_entry_digest(std::string_view prev_hash, std::string_view timestamp,
                                   std::string_view actor, double delta, std::string_view payload) {
  std::string joined;
  joined.append(prev_hash).append(timestamp).append(actor);
  const auto bits = std::bit_cast<std::uint64_t>(delta);
  for (int shift = 56; shift >= 0; shift -= 8) joined.push_back(static_cast<char>(bits >> shift));
  joined.append(payload);
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  FUZZ_CHECK(EVP_Digest(joined.data(), joined.size(), raw, &length, EVP_sha256(), nullptr) == 1 &&
                 length == 32,
             "EVP_Digest failed");
  constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[raw[i] >> 4]);
    hex.push_back(kHex[raw[i] & 0xF]);
  }
  return hex;
}

}  // namespace ledger::fuzz
