#pragma once
// Rules for paths inside an application archive: relative, inside the root,
// no Windows-reserved names or characters, valid UTF-8.
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

[[nodiscard]] Status validateArchivePath(std::string_view path);
[[nodiscard]] Status validateLinkTarget(std::string_view linkPath, std::string_view target);
std::string joinArchivePath(std::string_view a, std::string_view b);
// The part after the last '/' (the whole path when it has none).
std::string_view lastArchiveComponent(std::string_view path);
// The part before the last '/' (empty when it has none).
std::string_view archiveParentPath(std::string_view path);

// Calls f with each '/'-separated component in order, empty ones included,
// while f returns true. Returns false when f stopped the walk.
template <class F>
bool forEachArchiveComponent(std::string_view path, F&& f) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
    if (!f(path.substr(start, end - start))) return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

}  // namespace tl
