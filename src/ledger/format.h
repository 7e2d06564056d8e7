// The line format of a ledger file: the one home of its rules.
//
// A ledger file is UTF-8 text holding one entry per line, each line one JSON
// object ended by a line feed. The writer lays every line out the same way:
// the seven members in field order, no white space, texts escaped only where
// JSON requires it:
//
//   {"index":0,"timestamp":"2026-01-02T03:04:05.123+00:00",
//    "prev_hash":"GENESIS_BLOCK_HASH","actor":"alice","delta_i":1.5,
//    "payload":"hello","signature":"f1ddf018...1d0c"}          (one line)
//
// That is: kEntryOpen, then for each field its member prefix (kMemberPrefix)
// and value, a text's value closed by kTextClose, and kEntryClose. Readers
// accept any JSON layout of the same members (see parser.h); the writer's
// layout lets them take a shorter path.
//
// The first entry's prev_hash is GENESIS_BLOCK_HASH; every later entry's is
// the signature of the entry before it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ledger {

// prev_hash of the first entry of every chain, and the head of an empty one.
inline constexpr std::string_view GENESIS_BLOCK_HASH = "GENESIS_BLOCK_HASH";

// The fields of an entry, in the order the writer puts them.
enum class Field : std::uint8_t { kIndex, kTimestamp, kPrevHash, kActor, kDelta, kPayload, kSignature };

inline constexpr std::size_t kFieldCount = 7;

// JSON member names, by field.
inline constexpr std::array<std::string_view, kFieldCount> kFieldNames = {
    "index", "timestamp", "prev_hash", "actor", "delta_i", "payload", "signature"};
static_assert(static_cast<std::size_t>(Field::kSignature) + 1 == kFieldCount);
static_assert([] {
  for (std::string_view name : kFieldNames) {
    if (name.empty()) return false;
  }
  return true;
}(), "every field has a name");

constexpr std::string_view field_name(Field field) {
  return kFieldNames[static_cast<std::size_t>(field)];
}

// index is an unsigned integer and delta_i a number; the other fields are texts.
constexpr bool is_text_field(Field field) { return field != Field::kIndex && field != Field::kDelta; }

inline constexpr std::size_t kSignatureLength = 64;  // hex digits of a SHA-256 digest

// A fixed text usable as a template argument (no terminating NUL).
template <std::size_t N>
struct FixedText {
  char text[N == 0 ? 1 : N] = {};
  static constexpr std::size_t size = N;

  constexpr FixedText() = default;
  constexpr FixedText(const char (&literal)[N + 1]) {  // NOLINT: implicit on purpose
    for (std::size_t i = 0; i < N; ++i) text[i] = literal[i];
  }
  constexpr std::string_view view() const { return {text, N}; }
};
template <std::size_t M>
FixedText(const char (&)[M]) -> FixedText<M - 1>;

namespace format_detail {

constexpr std::size_t member_prefix_size(Field field) {
  return (field != Field::kIndex ? 1 : 0) + field_name(field).size() + 3 + (is_text_field(field) ? 1 : 0);
}

template <Field F>
constexpr FixedText<member_prefix_size(F)> member_prefix() {
  FixedText<member_prefix_size(F)> out;
  std::size_t n = 0;
  if (F != Field::kIndex) out.text[n++] = ',';
  out.text[n++] = '"';
  for (char c : field_name(F)) out.text[n++] = c;
  out.text[n++] = '"';
  out.text[n++] = ':';
  if (is_text_field(F)) out.text[n++] = '"';
  return out;
}

template <std::size_t A, std::size_t B>
constexpr FixedText<A + B> join(const FixedText<A>& a, const FixedText<B>& b) {
  FixedText<A + B> out;
  for (std::size_t i = 0; i < A; ++i) out.text[i] = a.text[i];
  for (std::size_t i = 0; i < B; ++i) out.text[A + i] = b.text[i];
  return out;
}

}  // namespace format_detail

// What the writer puts before the value of field F: a ',' unless F is the
// first field, the quoted member name, ':', and the opening quote of a text.
template <Field F>
inline constexpr auto kMemberPrefix = format_detail::member_prefix<F>();

inline constexpr FixedText kEntryOpen = "{";
inline constexpr FixedText kTextClose = "\"";
inline constexpr FixedText kEntryClose = "}";

// How every line the writer writes begins: "{\"index\":". Inside a written
// line the quotes of texts are escaped, so these bytes occur only at its start.
inline constexpr auto kEntryStart = format_detail::join(kEntryOpen, kMemberPrefix<Field::kIndex>);

// Room for everything of a writer's line but its texts and numbers: the
// braces, the member prefixes and the closing quotes of the texts.
inline constexpr std::size_t kLineFraming = [] {
  std::size_t size = kEntryOpen.size + kEntryClose.size;
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    const auto field = static_cast<Field>(i);
    size += format_detail::member_prefix_size(field) + (is_text_field(field) ? kTextClose.size : 0);
  }
  return size;
}();

}  // namespace ledger
