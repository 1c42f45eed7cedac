#pragma once
// Pure helpers for Windows paths held as WTF-8 bytes: normalising, joining,
// comparing ignoring ASCII case, and the shared file-name rule.
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "common/ascii_case.h"
#include "common/result.h"

namespace tl {

// '\' and '/' both separate the components of a Windows path.
inline bool isPathSeparator(char c) { return c == '\\' || c == '/'; }

// Calls f with each component between separators in order, empty ones
// included: n separators make n + 1 components. No root is recognised.
template <class F>
void forEachPathComponent(std::string_view path, F&& f) {
  std::size_t start = 0;
  for (;;) {
    std::size_t end = start;
    while (end < path.size() && !isPathSeparator(path[end])) ++end;
    f(path.substr(start, end - start));
    if (end == path.size()) return;
    start = end + 1;
  }
}

// Drive-absolute ("C:\x"), UNC ("\\server\share"), rooted ("\x") or
// local-device ("\\.\x", "\\?\x"). Drive-relative ("C:x") and relative are not.
bool isAbsolutePath(std::string_view path);
// A drive letter and a colon not followed by a separator.
bool isDriveRelativePath(std::string_view path);
// Joins the parts, removes "." and "..", makes every separator '\'.
[[nodiscard]] Result<std::string> resolvePath(std::initializer_list<std::string_view> parts);
[[nodiscard]] Result<std::string> resolvePath(std::string_view path);
// Joins with '\' (no normalisation); empty parts are skipped.
std::string joinPath(std::initializer_list<std::string_view> parts);
// Parent folder (none for a root or a single relative component).
std::optional<std::string> parentPath(std::string_view path);
// Last component; '\' and '/' separate, trailing separators are ignored, the
// root part (drive or UNC share) is never a component.
std::string_view lastComponent(std::string_view path);
// Normalises both and compares with ASCII letters folded.
[[nodiscard]] Result<bool> pathsEqualIgnoreCase(std::string_view a, std::string_view b);
// An absolute path without NUL that already is its own normalised form, ASCII
// letters folded: ".", "..", '/', doubled or trailing separators are refused
// rather than normalised away.
[[nodiscard]] Result<bool> isNormalisedAbsolutePath(std::string_view path);
bool isValidFileName(std::string_view component);

}  // namespace tl
