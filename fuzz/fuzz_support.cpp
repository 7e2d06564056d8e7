#include "fuzz_support.h"

#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>

#include "ledger/parser.h"
#include "ledger/reader.h"

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

bool ends_inside_character(std::string_view bytes) {
  for (std::size_t cut = 1; cut <= 3 && cut <= bytes.size(); ++cut) {
    const std::string_view tail = bytes.substr(bytes.size() - cut);
    if (reference_is_utf8(tail) || !reference_is_utf8(bytes.substr(0, bytes.size() - cut))) {
      continue;
    }
    // Every lead byte admits a second byte of 0x80, 0x90 or 0xA0, and any
    // continuation byte after that.
    for (const char second : {'\x80', '\x90', '\xA0'}) {
      std::string completed(tail);
      if (completed.size() == 1) completed.push_back(second);
      while (completed.size() < 4 && !reference_is_utf8(completed)) completed.push_back('\x80');
      if (reference_is_utf8(completed)) return true;
    }
  }
  return false;
}

Result<ChainHead> forward_scan_chain_head(const std::string& path) {
  ChainHead found{std::string(GENESIS_BLOCK_HASH), 0};
  if (!platform::exists(path)) return found;
  auto reader = LedgerLineReader::open(path);
  if (!reader) return fail(std::move(reader).error());
  std::ifstream in(path, std::ios::binary);
  const std::string contents{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // Only the last line can hold the cut, so only it can fail to read then.
  const bool torn_last_line = ends_inside_character(contents);
  for (;;) {
    auto line = reader->next_line();
    if (!line && torn_last_line) return found;
    if (!line) return fail(std::move(line).error());
    if (!line->has_value()) return found;
    if (is_blank_line(**line)) continue;
    auto entry = parse_log_entry(**line);
    if (entry) found = {entry->signature, entry->index + 1};
  }
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
