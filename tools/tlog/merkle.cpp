#include "tlog/merkle.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include <openssl/evp.h>

#include "ledger/evp_sha256.h"
#include "ledger/sha256.h"

namespace ledger::tlog {
namespace {

constexpr unsigned char kLeafPrefix = 0x00;
constexpr unsigned char kNodePrefix = 0x01;

// The largest power of two below n (n >= 2): where RFC 6962 splits a tree.
std::uint64_t split_point(std::uint64_t n) { return std::bit_floor(n - 1); }

Hash root_of(Hasher& hasher, std::span<const Hash> leaves) {
  if (leaves.empty()) return kEmptyTreeHash;
  if (leaves.size() == 1) return leaves[0];
  const std::size_t k = split_point(leaves.size());
  return hasher.node(root_of(hasher, leaves.first(k)), root_of(hasher, leaves.subspan(k)));
}

// The audit path of leaf `m` of the subtree [lo, hi), bottom up.
void audit_spans(std::uint64_t m, std::uint64_t lo, std::uint64_t hi, std::vector<LeafSpan>& out) {
  if (hi - lo <= 1) return;
  const std::uint64_t k = split_point(hi - lo);
  if (m < k) {
    audit_spans(m, lo, lo + k, out);
    out.push_back({lo + k, hi});
  } else {
    audit_spans(m - k, lo + k, hi, out);
    out.push_back({lo, lo + k});
  }
}

// SUBPROOF(m, D[lo:hi], complete) of RFC 6962, 2.1.2.
void subproof_spans(std::uint64_t m, std::uint64_t lo, std::uint64_t hi, bool complete,
                    std::vector<LeafSpan>& out) {
  const std::uint64_t n = hi - lo;
  if (m == n) {
    if (!complete) out.push_back({lo, hi});
    return;
  }
  const std::uint64_t k = split_point(n);
  if (m <= k) {
    subproof_spans(m, lo, lo + k, complete, out);
    out.push_back({lo + k, hi});
  } else {
    subproof_spans(m - k, lo + k, hi, false, out);
    out.push_back({lo, lo + k});
  }
}

std::vector<Hash> roots_of(std::span<const Hash> leaves, const std::vector<LeafSpan>& spans) {
  Hasher hasher;
  std::vector<Hash> out;
  out.reserve(spans.size());
  for (const LeafSpan& s : spans) out.push_back(root_of(hasher, leaves.subspan(s.begin, s.end - s.begin)));
  return out;
}

}  // namespace

Hasher::Hasher() : Hasher(sha256::native_available()) {}

Hasher::Hasher(bool native)
    : ctx_(sha256::new_evp_context()),
      leaf_(sha256::new_evp_context()),
      node_(sha256::new_evp_context()),
      plain_(sha256::new_evp_context()),
      native_(native && sha256::native_available()) {
  const EVP_MD* md = sha256::evp_sha256();
  if (!ctx_ || !leaf_ || !node_ || !plain_ || md == nullptr ||
      EVP_DigestInit_ex2(leaf_.get(), md, nullptr) != 1 ||
      EVP_DigestUpdate(leaf_.get(), &kLeafPrefix, 1) != 1 ||
      EVP_DigestInit_ex2(node_.get(), md, nullptr) != 1 ||
      EVP_DigestUpdate(node_.get(), &kNodePrefix, 1) != 1 ||
      EVP_DigestInit_ex2(plain_.get(), md, nullptr) != 1) {
    throw HashingFault();
  }
}

Hash Hasher::finish(const Context& start, std::string_view a, std::string_view b) {
  // Each hash starts from a copy of a context that has taken its prefix
  // already: cheaper than initialising one (which frees and makes the
  // provider's state anew), and the prefix costs no update of its own.
  Hash out{};
  unsigned int length = 0;
  EVP_MD_CTX* ctx = ctx_.get();
  if (EVP_MD_CTX_copy_ex(ctx, start.get()) != 1 || EVP_DigestUpdate(ctx, a.data(), a.size()) != 1 ||
      (!b.empty() && EVP_DigestUpdate(ctx, b.data(), b.size()) != 1) ||
      EVP_DigestFinal_ex(ctx, out.data(), &length) != 1) {
    throw HashingFault();
  }
  return out;
}

Hash Hasher::leaf(std::string_view line) {
  if (!native_) return finish(leaf_, line);
  // The prefix and the line in one buffer, with room for the padding: the
  // processor's SHA instructions then hash it in place, without EVP's set-up.
  const std::size_t size = 1 + line.size();
  if (buffer_.size() < size + sha256::kPaddingRoom) buffer_.resize(size + sha256::kPaddingRoom);
  buffer_[0] = kLeafPrefix;
  std::memcpy(buffer_.data() + 1, line.data(), line.size());
  Hash out{};
  sha256::native_digest_padded(buffer_.data(), size, out.data());
  return out;
}

Hash Hasher::node(const Hash& left, const Hash& right) {
  // One update of both halves: each update through EVP pays its own dispatch.
  std::array<std::uint8_t, 1 + 64 + sha256::kPaddingRoom> both;
  both[0] = kNodePrefix;
  std::memcpy(both.data() + 1, left.data(), left.size());
  std::memcpy(both.data() + 1 + left.size(), right.data(), right.size());
  if (!native_) return finish(node_, {reinterpret_cast<const char*>(both.data() + 1), 64});
  Hash out{};
  sha256::native_digest_padded(both.data(), 1 + 64, out.data());
  return out;
}
Hash Hasher::of(std::string_view bytes) { return finish(plain_, bytes); }

Hash leaf_hash(std::string_view line) { return Hasher().leaf(line); }
Hash node_hash(const Hash& left, const Hash& right) { return Hasher().node(left, right); }

Result<Hash> sha256_of(std::string_view bytes) {
  Hash out{};
  unsigned int length = 0;
  const EVP_MD* md = sha256::evp_sha256();
  if (md == nullptr || EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, md, nullptr) != 1 ||
      length != out.size()) {
    return fail(Failure::internal(HashingFault().what()));
  }
  return out;
}

Hasher& TreeBuilder::hasher() const {
  if (!hasher_) hasher_.emplace();
  return *hasher_;
}

void TreeBuilder::add_subtree(std::uint64_t size, const Hash& hash) {
  stack_.emplace_back(size, hash);
  size_ += size;
  while (stack_.size() >= 2 && stack_[stack_.size() - 2].first == stack_.back().first) {
    auto right = stack_.back();
    stack_.pop_back();
    auto& left = stack_.back();
    left.second = hasher().node(left.second, right.second);
    left.first *= 2;
  }
  if (watch_ && size_ == *watch_) watched_ = root();
}

Hash TreeBuilder::root() const {
  if (stack_.empty()) return kEmptyTreeHash;
  Hash hash = stack_.back().second;
  for (std::size_t i = stack_.size() - 1; i-- > 0;) hash = hasher().node(stack_[i].second, hash);
  return hash;
}

void TreeBuilder::watch(std::uint64_t size) {
  watch_ = size;
  watched_.reset();
  if (size_ == size) watched_ = root();
}

void SubtreeRun::add_leaf(const Hash& leaf) {
  subtrees_.push_back({next_++, 1, leaf});
  // Two neighbours of one size make one subtree of twice the size when it
  // stands at a multiple of that size and does not straddle the cut.
  while (subtrees_.size() >= 2) {
    Subtree& left = subtrees_[subtrees_.size() - 2];
    const Subtree& right = subtrees_.back();
    const std::uint64_t size = 2 * left.size;
    if (right.size != left.size || left.first % size != 0 ||
        (left.first < cut_ && cut_ < left.first + size)) {
      break;
    }
    left.hash = hasher_.node(left.hash, right.hash);
    left.size = size;
    subtrees_.pop_back();
  }
}

std::vector<LeafSpan> inclusion_spans(std::uint64_t index, std::uint64_t size) {
  std::vector<LeafSpan> out;
  if (index < size) audit_spans(index, 0, size, out);
  return out;
}

std::vector<LeafSpan> consistency_spans(std::uint64_t old_size, std::uint64_t size) {
  std::vector<LeafSpan> out;
  if (old_size > 0 && old_size < size) subproof_spans(old_size, 0, size, true, out);
  return out;
}

SubtreeRoots::SubtreeRoots(std::vector<LeafSpan> spans)
    : spans_(std::move(spans)), by_begin_(spans_.size()), roots_(spans_.size()) {
  for (std::size_t k = 0; k < by_begin_.size(); ++k) by_begin_[k] = k;
  std::sort(by_begin_.begin(), by_begin_.end(),
            [this](std::size_t a, std::size_t b) { return spans_[a].begin < spans_[b].begin; });
}

void SubtreeRoots::add(std::uint64_t index, const Hash& leaf) {
  if (next_ == by_begin_.size()) return;
  const std::size_t k = by_begin_[next_];
  const LeafSpan& span = spans_[k];
  if (index < span.begin) return;
  current_.add_leaf(leaf);
  if (index + 1 == span.end) {
    roots_[k] = current_.root();
    current_ = TreeBuilder();
    ++next_;
  }
}

std::vector<Hash> SubtreeRoots::roots() const {
  std::vector<Hash> out;
  out.reserve(roots_.size());
  for (const auto& root : roots_) out.push_back(root.value_or(Hash{}));
  return out;
}

bool SubtreeRoots::complete() const { return next_ == by_begin_.size(); }

Hash tree_root(std::span<const Hash> leaves) {
  Hasher hasher;
  return root_of(hasher, leaves);
}

std::vector<Hash> inclusion_proof(std::span<const Hash> leaves, std::uint64_t index) {
  return roots_of(leaves, inclusion_spans(index, leaves.size()));
}

std::vector<Hash> consistency_proof(std::span<const Hash> leaves, std::uint64_t old_size) {
  return roots_of(leaves, consistency_spans(old_size, leaves.size()));
}

namespace {

// After a hash with a left sibling, the proof checks of RFC 9162 (sections
// 2.1.3.2 and 2.1.4.2) shift both node numbers right until fn's lowest bit is
// set or fn is 0.
void climb_right_children(std::uint64_t& fn, std::uint64_t& sn) {
  while ((fn & 1) == 0 && fn != 0) {
    fn >>= 1;
    sn >>= 1;
  }
}

}  // namespace

bool check_inclusion(std::uint64_t index, std::uint64_t size, const Hash& leaf,
                     std::span<const Hash> path, const Hash& root) {
  if (index >= size) return false;
  Hasher hasher;
  std::uint64_t fn = index;
  std::uint64_t sn = size - 1;
  Hash r = leaf;
  for (const Hash& p : path) {
    if (sn == 0) return false;
    if ((fn & 1) != 0 || fn == sn) {
      r = hasher.node(p, r);
      climb_right_children(fn, sn);
    } else {
      r = hasher.node(r, p);
    }
    fn >>= 1;
    sn >>= 1;
  }
  return sn == 0 && r == root;
}

bool check_consistency(std::uint64_t old_size, std::uint64_t new_size, const Hash& old_root,
                       const Hash& new_root, std::span<const Hash> proof) {
  // A tree of no leaves has exactly one root.
  if (old_size > new_size || (old_size == 0 && old_root != empty_tree_hash())) return false;
  if (old_size == new_size) return proof.empty() && old_root == new_root;
  if (old_size == 0) return proof.empty();
  if (proof.empty()) return false;
  std::vector<Hash> path;
  if (std::has_single_bit(old_size)) path.push_back(old_root);
  path.insert(path.end(), proof.begin(), proof.end());
  Hasher hasher;
  std::uint64_t fn = old_size - 1;
  std::uint64_t sn = new_size - 1;
  while ((fn & 1) != 0) {
    fn >>= 1;
    sn >>= 1;
  }
  Hash fr = path[0];
  Hash sr = path[0];
  for (std::size_t i = 1; i < path.size(); ++i) {
    const Hash& c = path[i];
    if (sn == 0) return false;
    if ((fn & 1) != 0 || fn == sn) {
      fr = hasher.node(c, fr);
      sr = hasher.node(c, sr);
      climb_right_children(fn, sn);
    } else {
      sr = hasher.node(sr, c);
    }
    fn >>= 1;
    sn >>= 1;
  }
  return fr == old_root && sr == new_root && sn == 0;
}

}  // namespace ledger::tlog
