#include "tlog/proof.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "ledger/json_cursor.h"
#include "ledger/utf8.h"
#include "tlog/encoding.h"
#include "tlog/json.h"

namespace ledger::tlog {
namespace {

using ledger::detail::JsonCursor;
using ledger::detail::NumberText;

std::unexpected<Failure> malformed(std::string reason) {
  return fail(Failure::invalid_argument(std::move(reason)));
}

void add_hashes(JsonWriter& w, const std::vector<Hash>& hashes) {
  w.begin_array("hashes");
  for (const Hash& h : hashes) w.field("", base64_encode(h));
  w.end_array();
}

std::optional<Hash> hash_of(std::string_view text) {
  const auto bytes = base64_decode(text);
  if (!bytes || bytes->size() != Hash{}.size()) return std::nullopt;
  Hash hash{};
  std::copy(bytes->begin(), bytes->end(), reinterpret_cast<char*>(hash.data()));
  return hash;
}

// The members a proof may hold.
struct Members {
  std::optional<std::string> type;
  std::optional<std::uint64_t> index, tree_size, old_size, new_size;
  std::optional<Hash> leaf_hash;
  std::optional<std::vector<Hash>> hashes;
  std::optional<std::string> line;
};

class ProofReader {
 public:
  explicit ProofReader(std::string_view text) : c_(text) {}

  Result<Members> read() {
    Members m;
    if (!c_.expect('{', ParseError::kNotEntry)) return syntax();
    c_.skip_ws();
    if (c_.p != c_.end && *c_.p == '}') return malformed("not a proof: an empty object");
    for (;;) {
      c_.skip_ws();
      if (c_.p == c_.end || *c_.p != '"') return c_.fail(ParseError::kExpectedName), syntax();
      std::string_view name;
      if (!c_.read_string(name, scratch_)) return syntax();
      const std::string key(name);
      if (!c_.expect(':', ParseError::kExpectedColon)) return syntax();
      c_.skip_ws();
      auto ok = member(key, m);
      if (!ok) return fail(std::move(ok).error());
      c_.skip_ws();
      if (c_.p == c_.end) return c_.fail(ParseError::kUnexpectedEnd), syntax();
      if (*c_.p == '}') {
        ++c_.p;
        break;
      }
      if (!c_.expect(',', ParseError::kExpectedSeparator)) return syntax();
    }
    c_.skip_ws();
    if (c_.p != c_.end) return c_.fail(ParseError::kTrailingCharacters), syntax();
    return m;
  }

 private:
  std::unexpected<Failure> syntax() {
    return malformed("not a proof: " + std::string(describe(c_.error.code)) + " at byte " +
                     std::to_string(c_.error.offset + 1));
  }

  template <typename T>
  Result<void> set(std::optional<T>& slot, std::string_view key, std::optional<T> value,
                   std::string_view what) {
    if (slot) return malformed("the member " + display(key) + " occurs twice");
    if (!value) return malformed("the member " + display(key) + " is not " + std::string(what));
    slot = std::move(value);
    return {};
  }

  std::optional<std::string> string_value() {
    if (c_.p == c_.end || *c_.p != '"') return std::nullopt;
    std::string_view text;
    if (!c_.read_string(text, scratch_)) return std::nullopt;
    return std::string(text);
  }

  std::optional<std::uint64_t> number_value() {
    if (c_.p == c_.end || *c_.p < '0' || *c_.p > '9') return std::nullopt;
    NumberText number{};
    if (!c_.scan_number(number) || number.has_fraction || number.has_exponent) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(number.begin, number.end, value);
    if (error != std::errc() || end != number.end ||
        value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return value;
  }

  std::optional<Hash> hash_value() {
    const auto text = string_value();
    return text ? hash_of(*text) : std::nullopt;
  }

  std::optional<std::vector<Hash>> hashes_value() {
    if (c_.p == c_.end || *c_.p != '[') return std::nullopt;
    ++c_.p;
    std::vector<Hash> hashes;
    c_.skip_ws();
    if (c_.p != c_.end && *c_.p == ']') {
      ++c_.p;
      return hashes;
    }
    for (;;) {
      c_.skip_ws();
      const auto hash = hash_value();
      if (!hash || hashes.size() == kMaxProofHashes) return std::nullopt;
      hashes.push_back(*hash);
      c_.skip_ws();
      if (c_.p == c_.end) return std::nullopt;
      if (*c_.p == ']') {
        ++c_.p;
        return hashes;
      }
      if (*c_.p != ',') return std::nullopt;
      ++c_.p;
    }
  }

  Result<void> member(const std::string& key, Members& m) {
    if (key == "type") return set(m.type, key, string_value(), "a string");
    if (key == "index") return set(m.index, key, number_value(), "a whole number");
    if (key == "tree_size") return set(m.tree_size, key, number_value(), "a whole number");
    if (key == "old_size") return set(m.old_size, key, number_value(), "a whole number");
    if (key == "new_size") return set(m.new_size, key, number_value(), "a whole number");
    if (key == "leaf_hash") {
      return set(m.leaf_hash, key, hash_value(), "the base64 of 32 bytes");
    }
    if (key == "hashes") {
      return set(m.hashes, key, hashes_value(),
                 "a list of at most " + std::to_string(kMaxProofHashes) + " base64 hashes of 32 bytes");
    }
    if (key == "line") return set(m.line, key, string_value(), "a string");
    return malformed("not a proof: unknown member " + display(key));
  }

  JsonCursor c_;
  std::string scratch_;
};

}  // namespace

std::string format_proof(const InclusionProof& proof) {
  JsonWriter w;
  w.field("type", "inclusion")
      .field("index", proof.index)
      .field("tree_size", proof.tree_size)
      .field("leaf_hash", base64_encode(proof.leaf_hash));
  add_hashes(w, proof.hashes);
  if (proof.line) w.field("line", *proof.line);
  return w.finish();
}

std::string format_proof(const ConsistencyProof& proof) {
  JsonWriter w;
  w.field("type", "consistency").field("old_size", proof.old_size).field("new_size", proof.new_size);
  add_hashes(w, proof.hashes);
  return w.finish();
}

Result<Proof> parse_proof(std::string_view text) {
  if (text.size() > kMaxProofLength) {
    return malformed("longer than " + std::to_string(kMaxProofLength) + " bytes");
  }
  if (valid_utf8_prefix(text) != text.size()) return malformed("not valid UTF-8");
  auto m = ProofReader(text).read();
  if (!m) return fail(std::move(m).error());
  if (!m->type) return malformed("not a proof: no member \"type\"");
  const auto missing = [](std::string_view name) {
    return malformed("the proof has no member \"" + std::string(name) + "\"");
  };
  const auto extra = [](std::string_view name, std::string_view type) {
    return malformed("a " + std::string(type) + " proof has no member \"" + std::string(name) + "\"");
  };
  if (!m->hashes) return missing("hashes");
  if (*m->type == "inclusion") {
    if (m->old_size) return extra("old_size", "inclusion");
    if (m->new_size) return extra("new_size", "inclusion");
    if (!m->index) return missing("index");
    if (!m->tree_size) return missing("tree_size");
    if (!m->leaf_hash) return missing("leaf_hash");
    return InclusionProof{*m->index, *m->tree_size, *m->leaf_hash, std::move(*m->hashes),
                          std::move(m->line)};
  }
  if (*m->type == "consistency") {
    for (const auto& [name, present] :
         {std::pair{"index", m->index.has_value()}, std::pair{"tree_size", m->tree_size.has_value()},
          std::pair{"leaf_hash", m->leaf_hash.has_value()}, std::pair{"line", m->line.has_value()}}) {
      if (present) return extra(name, "consistency");
    }
    if (!m->old_size) return missing("old_size");
    if (!m->new_size) return missing("new_size");
    return ConsistencyProof{*m->old_size, *m->new_size, std::move(*m->hashes)};
  }
  return malformed("the proof's type is " + display(*m->type) +
                   ", neither \"inclusion\" nor \"consistency\"");
}

}  // namespace ledger::tlog
