// UTF-8 as the ledger reads it: validation of texts and of streams, the
// length of a sequence, and blank lines.
//
// Well-formed means RFC 3629: no overlong forms, no surrogates, nothing above
// U+10FFFF. A line feed is never part of a longer sequence, so splitting valid
// bytes at line feeds leaves every line valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ledger {

// Message of the read failure for a line whose bytes are not valid UTF-8.
inline constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

// True when every byte sequence of `bytes` is well-formed UTF-8 (no overlong
// forms, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Checks that a byte stream fed in chunks of any size is UTF-8; a sequence
// may be split between chunks.
class Utf8StreamValidator {
 public:
  // Takes the next chunk; false once the stream is known to be invalid.
  bool feed(std::string_view chunk);
  // True when everything fed was valid and no sequence was left incomplete.
  bool finish() const { return valid_ && pending_size_ == 0; }
  // True when everything fed was valid and the stream ends with the start of
  // a sequence that more bytes could complete: it was cut inside a character.
  bool cut_inside_character() const;

 private:
  char pending_[4] = {};         // start of a sequence cut by the end of a chunk
  std::size_t pending_size_ = 0;  // bytes in pending_
  bool valid_ = true;
};

// Length of the sequence that `lead` starts: 1 for ASCII, 2 to 4 for a lead
// byte, and 1 for a byte that starts no sequence (validation refuses it).
constexpr std::size_t utf8_sequence_length(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 1;
}

// Decodes the sequence at `text[at]` (at < text.size()) into `code_point` and
// returns its length; 0 when the bytes there are not a well-formed sequence.
std::size_t decode_utf8(std::string_view text, std::size_t at, std::uint32_t& code_point);

// Length of the longest prefix of `bytes` made of whole well-formed sequences:
// the offset of the first byte that is not valid UTF-8, or the size.
std::size_t valid_utf8_prefix(std::string_view bytes);

// True when `line` is empty or holds only Unicode White_Space characters.
// `line` must be valid UTF-8.
bool is_blank_line(std::string_view line);

// Length of the longest prefix of `bytes` made of whole White_Space
// characters: is_blank_line(line) is white_space_prefix(line) == line.size().
std::size_t white_space_prefix(std::string_view bytes);

}  // namespace ledger
