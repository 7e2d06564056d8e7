// One audit of a ledger file: open it, check a checkpoint if given, walk the
// chain, and diagnose a break. Everything the commands report comes from here.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audit/checkpoint.h"
#include "audit/diagnose.h"
#include "audit/walk.h"
#include "ledger/failure.h"
#include "ledger/platform.h"

namespace ledger::audit {

enum class Outcome : std::uint8_t {
  kIntact,  // the walk reached the end of the file
  kBroken,  // a line failed, or the file no longer matches the checkpoint
  kError,   // nothing was proven: see Audit::error
};

// The classes of error the tool reports by name. The failure itself is a
// Failure beside it; this says which of the tool's errors it is.
enum class ErrorKind : std::uint8_t {
  kCannotOpen,     // the ledger cannot be opened: missing, a directory, refused
  kCannotRead,     // the system reported an error while reading it
  kOtherLedger,    // the checkpoint's first entry is not this ledger's (Audit::other_first)
  kInternal,       // an unexpected fault, such as running out of memory
  kBadCheckpoint,  // the checkpoint cannot be read or is malformed (found before any audit)
  kCount_,         // number of kinds; not a kind
};

// The bytes after the last line feed of a file audited while it may grow:
// a line a writer may not have finished, left unread.
struct Unfinished {
  std::uint64_t line = 0;    // its line number
  std::uint64_t offset = 0;  // where it starts
  std::uint64_t bytes = 0;   // how many bytes of it there were when the audit began

  bool operator==(const Unfinished&) const = default;
};

struct Audit {
  Outcome outcome = Outcome::kError;
  Chain chain;                   // what passed (before the break, if any)
  std::optional<Break> break_found;      // kBroken
  std::vector<Hint> hints;       // kBroken, about the break
  std::optional<Failure> error;  // kError: the system's text, or what differs
  ErrorKind error_kind{};        // kError: which of the tool's errors `error` is
  std::string other_first;       // kOtherLedger: this file's first signature
  std::string diagnosis_error;   // kBroken: why the hints could not be gathered, if so
  std::uint64_t bytes = 0;       // the file's size when the audit began
  std::optional<Unfinished> unfinished;  // kIntact with `live`: the line left unread, if any
  // With AuditOptions::tree, or a checkpoint note to verify since: the Merkle
  // tree of the entry lines walked that end with a line feed.
  std::uint64_t tree_size = 0;
  std::optional<tlog::Hash> tree_root;
};

struct AuditOptions {
  // walk.cancel stops the whole audit: the walk, the checkpoint's checks and
  // the diagnosis of a break; the audit then ends in an error of kind
  // kInternal with the failure cancelled_failure() (range_reader.h).
  WalkOptions walk;
  // With a checkpoint line, verify only what follows it; with a checkpoint
  // note, verify everything and compare the tree of its size with its root.
  std::optional<Checkpoint> since;
  bool tree = false;  // make the Merkle tree of the whole file (Audit::tree_root)
  // The file may be growing: check exactly the lines ended by a line feed
  // when the audit took the file's size, and leave the bytes after the last
  // of them unread, noted in Audit::unfinished.
  bool live = false;
  // Called every `progress_interval` while the walk runs, with bytes walked and
  // the file's size, and once more with `done` set when it ends; never for a
  // walk that ends within the first interval.
  std::function<void(std::uint64_t walked, std::uint64_t total, bool done)> progress;
  std::chrono::milliseconds progress_interval{250};
  // Called once the audit has taken the file's size, before it reads any line
  // (tests append to the file here, as a writer would).
  std::function<void()> size_taken;
};

// The audit that an internal fault ended: nothing proven.
Audit fault_audit(Failure fault);

// One audit in steps, for callers that run the walk's ranges on workers of
// their own (several files sharing them): the constructor opens the file,
// takes its size and proves the checkpoint, planning the walk; the caller
// walks every range of walk(), if there is one; finish() gives the audit.
// Exceptions of the library pass through, as from audit_ledger.
class FileAudit {
 public:
  FileAudit(std::string_view path, const AuditOptions& options);
  FileAudit(FileAudit&&) = delete;
  ~FileAudit();

  // The walk still to run; null when the audit ended before it.
  RangedWalk* walk() { return walk_ ? &*walk_ : nullptr; }
  const WalkControl& control() const { return control_; }
  std::uint64_t size() const { return audit_.bytes; }
  std::uint64_t walk_end() const { return options_.walk.end; }

  // Once every range of walk() has run.
  Audit finish();

 private:
  AuditOptions options_;
  Audit audit_;
  std::optional<platform::File> file_;
  WalkControl control_;
  bool compare_note_ = false;  // the walk's tree is to be compared with a note's root
  std::optional<RangedWalk> walk_;
};

// What verify_integrity() says of the file at `path`: the chain rule alone,
// walked on `jobs` threads, no checkpoint or option adding its checks. False
// when the file cannot be opened or a line breaks the chain (a line that is
// not valid UTF-8 included); a failure when it cannot be read, or when
// `cancel` (if not null) was set.
Result<bool> chain_intact(std::string_view path, unsigned jobs,
                          const std::atomic<bool>* cancel = nullptr);

// Failures are the audit's outcome. Exceptions of the library (out of memory,
// a thread that could not be started) pass through, from the walk's thread too.
Audit audit_ledger(std::string_view path, const AuditOptions& options);

}  // namespace ledger::audit
