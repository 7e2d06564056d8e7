#include "tlog/note.h"

#include <charconv>
#include <limits>

#include "ledger/utf8.h"
#include "tlog/encoding.h"

namespace ledger::tlog {
namespace {

constexpr std::string_view kDash = "\u2014 ";  // opens a signature line

std::unexpected<Failure> malformed(std::string reason) {
  return fail(Failure::invalid_argument(std::move(reason)));
}

bool has_control(std::string_view text, bool allow_line_feed) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && !(allow_line_feed && c == '\n')) || u == 0x7f) return true;
  }
  return false;
}

std::vector<std::string_view> lines_of(std::string_view text) {
  // `text` ends with a line feed; the lines are without theirs.
  std::vector<std::string_view> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

std::optional<std::uint64_t> parse_size(std::string_view text) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() ||
      value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return std::nullopt;
  }
  return value;
}

Result<NoteSignature> parse_signature_line(std::string_view line) {
  if (!line.starts_with(kDash)) return malformed("a signature line does not start with '\u2014 '");
  line.remove_prefix(kDash.size());
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos || line.find(' ', space + 1) != std::string_view::npos) {
    return malformed("a signature line is not '\u2014 NAME SIGNATURE'");
  }
  NoteSignature sig;
  sig.name = std::string(line.substr(0, space));
  if (!is_key_name(sig.name)) return malformed("a signature line has an invalid key name");
  const auto bytes = base64_decode(line.substr(space + 1));
  if (!bytes || bytes->size() < 5) {
    return malformed("a signature line's signature is not base64 of a key hash and a signature");
  }
  const auto* b = reinterpret_cast<const std::uint8_t*>(bytes->data());
  sig.hash = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
  sig.signature = bytes->substr(4);
  return sig;
}

}  // namespace

std::optional<std::string_view> TreeNote::chain_head() const {
  for (const std::string& line : extensions) {
    if (line.starts_with(kHeadExtension)) return std::string_view(line).substr(kHeadExtension.size());
  }
  return std::nullopt;
}

std::string default_origin(std::string_view first_signature) {
  return std::string(kOriginPrefix) + std::string(first_signature);
}

bool is_origin(std::string_view origin) {
  return !origin.empty() && valid_utf8_prefix(origin) == origin.size() &&
         !holds_hidden_control(origin);
}

std::string format_note_body(std::string_view origin, std::uint64_t size, const Hash& root,
                             const std::vector<std::string>& extensions) {
  std::string out(origin);
  out += '\n';
  out += std::to_string(size);
  out += '\n';
  out += base64_encode(root);
  out += '\n';
  for (const std::string& line : extensions) {
    out += line;
    out += '\n';
  }
  return out;
}

Result<std::string> sign_note(std::string_view body, const SignerKey& key) {
  auto signature = sign(key, body);
  if (!signature) return fail(std::move(signature).error());
  std::string raw(4, '\0');
  for (int i = 0; i < 4; ++i) raw[static_cast<std::size_t>(i)] = static_cast<char>(key.hash >> (24 - 8 * i));
  raw.append(reinterpret_cast<const char*>(signature->data()), signature->size());
  std::string out(body);
  out += '\n';
  out += kDash;
  out += key.name;
  out += ' ';
  out += base64_encode(raw);
  out += '\n';
  return out;
}

Result<TreeNote> parse_note(std::string_view text) {
  if (text.size() > kMaxNoteLength) {
    return malformed("longer than " + std::to_string(kMaxNoteLength) + " bytes");
  }
  if (valid_utf8_prefix(text) != text.size()) return malformed("not valid UTF-8");
  if (has_control(text, true)) return malformed("holds control characters");
  if (!text.ends_with('\n')) return malformed("does not end with a line feed");
  TreeNote note;
  const std::size_t split = text.rfind("\n\n");
  std::string_view body = split == std::string_view::npos ? text : text.substr(0, split + 1);
  if (body.find("\n\n") != std::string_view::npos || body.starts_with('\n')) {
    return malformed("holds an empty line in its text");
  }
  if (split != std::string_view::npos) {
    const std::vector<std::string_view> lines = lines_of(text.substr(split + 2));
    if (lines.empty()) return malformed("an empty line is followed by no signature");
    if (lines.size() > kMaxNoteSignatures) {
      return malformed("more than " + std::to_string(kMaxNoteSignatures) + " signatures");
    }
    for (std::string_view line : lines) {
      auto sig = parse_signature_line(line);
      if (!sig) return fail(std::move(sig).error());
      note.signatures.push_back(std::move(*sig));
    }
  }
  const std::vector<std::string_view> lines = lines_of(body);
  if (lines.size() < 3) {
    return malformed("expected an origin line, a tree size line and a root hash line");
  }
  note.origin = std::string(lines[0]);
  if (!is_origin(note.origin)) {
    return malformed("the origin line holds control characters or bidirectional overrides");
  }
  const auto size = parse_size(lines[1]);
  if (!size) return malformed("the tree size line is not a whole number without leading zeros");
  note.size = *size;
  const auto root = base64_decode(lines[2]);
  if (!root || root->size() != note.root.size()) {
    return malformed("the root hash line is not the standard base64 of 32 bytes");
  }
  std::copy(root->begin(), root->end(), reinterpret_cast<char*>(note.root.data()));
  if (note.size == 0 && note.root != empty_tree_hash()) {
    return malformed("a tree of size 0 has one root hash, " + base64_encode(empty_tree_hash()) +
                     ", and this note gives another");
  }
  for (std::size_t i = 3; i < lines.size(); ++i) note.extensions.emplace_back(lines[i]);
  note.body = std::string(body);
  note.text = std::string(text);
  return note;
}

Result<SignatureCheck> check_note_signature(const TreeNote& note, const VerifierKey& key) {
  SignatureCheck result = SignatureCheck::kMissing;
  for (const NoteSignature& sig : note.signatures) {
    if (sig.name != key.name || sig.hash != key.hash) continue;
    Ed25519Signature raw{};
    if (sig.signature.size() == raw.size()) {
      std::copy(sig.signature.begin(), sig.signature.end(), reinterpret_cast<char*>(raw.data()));
      const Result<bool> valid = verify_signature(key, note.body, raw);
      if (!valid) return fail(valid.error());
      if (*valid) return SignatureCheck::kValid;
    }
    result = SignatureCheck::kInvalid;
  }
  return result;
}

}  // namespace ledger::tlog
