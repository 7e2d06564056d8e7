#include "ledger/path.h"

#include <algorithm>
#include <optional>

#include "ledger/platform.h"
#include "ledger/reader.h"

namespace ledger {
namespace {

using Kind = PathComponent::Kind;

// Rebuilds a path text from components (the separators of the original are
// normalised, which never changes what the path names).
std::string join_components(const std::vector<PathComponent>& components, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    const PathComponent& c = components[i];
    if (c.kind == Kind::kRoot) {
      text.push_back('/');
      continue;
    }
    if (!text.empty() && text.back() != '/') text.push_back('/');
    switch (c.kind) {
      case Kind::kCurrent: text.push_back('.'); break;
      case Kind::kParent: text.append(".."); break;
      default: text.append(c.text); break;
    }
  }
  return text;
}

// The parent path, or nothing for a path that is empty or only a root.
std::optional<std::string> parent_of(const std::vector<PathComponent>& components) {
  if (components.empty() || components.back().kind == Kind::kRoot) return std::nullopt;
  return join_components(components, components.size() - 1);
}

bool is_within(std::string_view path, std::string_view directory) {
  const auto path_parts = path_components(path);
  const auto directory_parts = path_components(directory);
  return directory_parts.size() <= path_parts.size() &&
         std::equal(directory_parts.begin(), directory_parts.end(), path_parts.begin());
}

Result<std::string> as_text(std::string path) {
  if (!is_valid_utf8(path)) return fail(Failure::io(std::string(kPathNotUtf8)));
  return path;
}

Result<std::string> contained(std::string canonical) {
  auto cwd = platform::current_directory();
  if (!cwd) return fail(std::move(cwd).error());
  if (!is_within(canonical, *cwd)) return fail(Failure::io(std::string(kPathTraversal)));
  return canonical;
}

}  // namespace

std::vector<PathComponent> path_components(std::string_view path) {
  std::vector<PathComponent> components;
  const bool rooted = path.starts_with('/');
  if (rooted) components.push_back({Kind::kRoot, {}});
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view name = path.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;
    if (name == ".") {
      if (!rooted && components.empty()) components.push_back({Kind::kCurrent, {}});
    } else if (name == "..") {
      components.push_back({Kind::kParent, {}});
    } else {
      components.push_back({Kind::kNormal, name});
    }
  }
  return components;
}

Result<std::string> validate_log_path(std::string_view path) {
  if (platform::exists(path)) {
    auto canonical = platform::canonicalise(path);
    if (!canonical) return fail(std::move(canonical).error());
    auto inside = contained(std::move(*canonical));
    if (!inside) return inside;
    return as_text(std::move(*inside));
  }
  const auto components = path_components(path);
  auto parent = platform::canonicalise(parent_of(components).value_or("."));
  if (!parent) return fail(Failure::io(std::string(kParentInvalid)));
  auto directory = contained(std::move(*parent));
  if (!directory) return directory;
  if (components.empty() || components.back().kind != Kind::kNormal) {
    return fail(Failure::io(std::string(kInvalidFilename)));
  }
  if (!directory->ends_with('/')) directory->push_back('/');
  directory->append(components.back().text);
  return as_text(std::move(*directory));
}

}  // namespace ledger
