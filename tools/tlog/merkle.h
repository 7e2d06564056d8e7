// The Merkle tree of a ledger, in the form of RFC 6962 (and of transparency
// logs): its leaves are the exact bytes of the entry lines in file order,
// without their line feeds. A leaf hashes as SHA-256(0x00 || line), a node as
// SHA-256(0x01 || left || right); a tree of n leaves splits at the largest
// power of two below n; the tree of no leaves hashes as SHA-256 of nothing.
//
// Unlike the entries' digest, the tree binds every byte of every line, so
// bytes moved between an entry's fields change its root.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "ledger/evp_sha256.h"
#include "ledger/failure.h"

namespace ledger::tlog {

using Hash = std::array<std::uint8_t, 32>;

// What a Hasher throws when OpenSSL fails to set up or compute a hash: an
// internal fault of the tool, told apart from running out of memory.
//
// An exception, not a failure value, because the Hasher is the Merkle tree's
// inner step: the walk feeds it every leaf and node through TreeBuilder and
// SubtreeRoots, where a Result per hash would cost a branch per node and
// reach every caller of add_leaf(). Like std::bad_alloc, it means the library
// cannot work at all. Every thread the tool starts runs its work through
// audit::contained (audit/parallel.h), and cli::run catches on the main
// thread: both turn it into the internal fault with its message. Callers that
// hash once and return a Result use sha256_of() instead.
class HashingFault : public std::exception {
 public:
  const char* what() const noexcept override { return "the cryptographic library could not hash"; }
};

// SHA-256 with one reused context. Not thread-safe: one owner.
//
// It shares the core's SHA-256 pieces (ledger/sha256.h, ledger/evp_sha256.h)
// but not ledger::EntryHasher: a leaf and a node start from a context that has
// taken their one-byte prefix, and the leaf's line is of any length, where
// the entry digest gathers five fields into a buffer of bounded size and
// initialises its context afresh for each entry.
class Hasher {
 public:
  Hasher();
  // With `native` false, always through EVP (the reference in tests).
  explicit Hasher(bool native);

  Hash leaf(std::string_view line);
  Hash node(const Hash& left, const Hash& right);
  Hash of(std::string_view bytes);

 private:
  using Context = sha256::EvpContext;

  Hash finish(const Context& start, std::string_view a, std::string_view b = {});

  Context ctx_;    // the hash being computed
  Context leaf_;   // SHA-256 that has taken the leaf prefix 0x00
  Context node_;   // SHA-256 that has taken the node prefix 0x01
  Context plain_;  // SHA-256 that has taken nothing
  // Leaves and nodes hash on the processor's SHA instructions where it has
  // them, through EVP elsewhere.
  bool native_;
  std::vector<unsigned char> buffer_;  // a leaf's prefix, line and padding room
};

Hash leaf_hash(std::string_view line);
Hash node_hash(const Hash& left, const Hash& right);

// The root of the tree of no leaves: SHA-256 of nothing, a constant.
inline constexpr Hash kEmptyTreeHash = {
    0xe3, 0xb0, 0xc4, 0x42, 0x98, 0xfc, 0x1c, 0x14, 0x9a, 0xfb, 0xf4, 0xc8, 0x99, 0x6f, 0xb9, 0x24,
    0x27, 0xae, 0x41, 0xe4, 0x64, 0x9b, 0x93, 0x4c, 0xa4, 0x95, 0x99, 0x1b, 0x78, 0x52, 0xb8, 0x55};
inline Hash empty_tree_hash() { return kEmptyTreeHash; }

// SHA-256 of `bytes` through OpenSSL; fails, as an internal fault, when the
// library cannot hash.
Result<Hash> sha256_of(std::string_view bytes);

// The tree over leaves appended in order, kept as the hashes of its complete
// subtrees (at most one of each size): a few hundred bytes for any size.
class TreeBuilder {
 public:
  // Appends the next leaf.
  void add_leaf(const Hash& leaf) { add_subtree(1, leaf); }
  // Appends a complete subtree of `size` leaves (a power of two) whose first
  // leaf is the next leaf: size() must be a multiple of `size`.
  void add_subtree(std::uint64_t size, const Hash& hash);

  std::uint64_t size() const { return size_; }
  Hash root() const;

  // Makes the builder keep the root of the tree of exactly `size` leaves once
  // it has that many (watched_root()).
  void watch(std::uint64_t size);
  const std::optional<Hash>& watched_root() const { return watched_; }

 private:
  std::vector<std::pair<std::uint64_t, Hash>> stack_;  // complete subtrees, largest first
  std::uint64_t size_ = 0;
  std::optional<std::uint64_t> watch_;
  std::optional<Hash> watched_;
  // Made when the first hash is needed: a tree that hashes nothing costs no
  // hashing context.
  Hasher& hasher() const;
  mutable std::optional<Hasher> hasher_;
};

// The leaves of one run of a tree, which starts at leaf `first` (not
// necessarily 0), kept as the hashes of its complete subtrees: each stands at
// a multiple of its size, as the subtrees of the whole tree do, and none
// straddles leaf `cut`. A TreeBuilder of `first` leaves takes them in order
// (add_subtree) and passes through the size `cut` on the way. A few hundred
// bytes for any run: a run of threads hashing ranges of a file each make one,
// once the number of leaves before their range is known.
class SubtreeRun {
 public:
  struct Subtree {
    std::uint64_t first;  // its first leaf
    std::uint64_t size;   // a power of two
    Hash hash;
  };

  static constexpr std::uint64_t kNoCut = std::numeric_limits<std::uint64_t>::max();

  explicit SubtreeRun(std::uint64_t first = 0, std::uint64_t cut = kNoCut)
      : next_(first), cut_(cut) {}

  // Appends the run's next leaf, number next().
  void add_leaf(const Hash& leaf);
  std::uint64_t next() const { return next_; }
  const std::vector<Subtree>& subtrees() const { return subtrees_; }

 private:
  std::vector<Subtree> subtrees_;  // in leaf order
  std::uint64_t next_;
  std::uint64_t cut_;
  Hasher hasher_;
};

// A run of consecutive leaves, [begin, end), by leaf index.
struct LeafSpan {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;

  bool operator==(const LeafSpan&) const = default;
};

// The subtrees whose roots make the RFC 6962 audit path of leaf `index` in
// the tree of `size` leaves, bottom up (empty when index >= size). They are
// disjoint, and none holds the leaf.
std::vector<LeafSpan> inclusion_spans(std::uint64_t index, std::uint64_t size);
// The subtrees whose roots make the RFC 6962 consistency proof from the tree
// of `old_size` leaves to the tree of `size`, in the proof's order. Empty
// when old_size is 0 or `size`. They are disjoint.
std::vector<LeafSpan> consistency_spans(std::uint64_t old_size, std::uint64_t size);

// The roots of disjoint subtrees over leaves that arrive one at a time, in
// order: one subtree in progress at a time, so a few hundred bytes for any
// tree, whatever the number of leaves.
class SubtreeRoots {
 public:
  explicit SubtreeRoots(std::vector<LeafSpan> spans);

  // Leaf number `index`; each index once, in increasing order.
  void add(std::uint64_t index, const Hash& leaf);
  // Once every leaf up to the last span's end has been added: the roots, in
  // the order of the spans given.
  std::vector<Hash> roots() const;
  // Whether every span's root is known.
  bool complete() const;

 private:
  std::vector<LeafSpan> spans_;
  std::vector<std::size_t> by_begin_;  // span positions, ordered by their first leaf
  std::size_t next_ = 0;               // the span in progress or next, in by_begin_
  TreeBuilder current_;                // the tree of the span in progress
  std::vector<std::optional<Hash>> roots_;
};

// The root of the tree over `leaves` (for tests and small trees).
Hash tree_root(std::span<const Hash> leaves);

// RFC 6962 audit path of leaf `index` in the tree over `leaves`, bottom up.
std::vector<Hash> inclusion_proof(std::span<const Hash> leaves, std::uint64_t index);
// RFC 6962 consistency proof from the tree of the first `old_size` of `leaves`
// to the tree of all of them. Empty when old_size is 0 or all of them.
std::vector<Hash> consistency_proof(std::span<const Hash> leaves, std::uint64_t old_size);

// Checks an audit path (RFC 9162, 2.1.3.2).
bool check_inclusion(std::uint64_t index, std::uint64_t size, const Hash& leaf,
                     std::span<const Hash> path, const Hash& root);
// Checks a consistency proof (RFC 9162, 2.1.4.2). The tree of no leaves is
// consistent with every tree, by an empty proof, when `old_root` is the one
// root a tree of no leaves has: the hash of nothing.
bool check_consistency(std::uint64_t old_size, std::uint64_t new_size, const Hash& old_root,
                       const Hash& new_root, std::span<const Hash> proof);

}  // namespace ledger::tlog
