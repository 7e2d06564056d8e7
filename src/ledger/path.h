// Settling a ledger path against the current directory.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ledger/failure.h"

namespace ledger {

inline constexpr std::string_view kPathTraversal = "Path traversal detected";
inline constexpr std::string_view kParentInvalid = "Parent directory does not exist or invalid";
inline constexpr std::string_view kInvalidFilename = "Invalid filename";
inline constexpr std::string_view kPathNotUtf8 = "resolved path is not valid UTF-8";

// One component of a path. Paths are always examined by component, never by
// character: runs of separators count as one, a trailing separator is ignored,
// "." is dropped except at the start of a relative path, and ".." is never
// cancelled against the name before it.
struct PathComponent {
  enum class Kind { kRoot, kCurrent, kParent, kNormal };
  Kind kind;
  std::string_view text;  // the name, for kNormal

  bool operator==(const PathComponent&) const = default;
};

// The components of `path`; views into it.
std::vector<PathComponent> path_components(std::string_view path);

// Resolves `path` to the canonical, absolute location of the ledger file,
// provided it lies within the current directory:
//  - an existing path is canonicalised as it is;
//  - otherwise its parent must canonicalise (the parent of a bare name is the
//    empty path, which never does) and the file name is joined to it.
// Fails with kPathTraversal, kParentInvalid, kInvalidFilename, kPathNotUtf8
// (the result would name another file if turned into text with replacement
// characters) or the system's error text. Only reads the file system.
Result<std::string> validate_log_path(std::string_view path);

}  // namespace ledger
