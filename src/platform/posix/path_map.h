#pragma once
// Windows path form <-> host path form, lexically (nothing on disk is asked
// except the current folder for a relative path).
//
// Like Wine, drive Z: is the host root. Rooted "\x" means "Z:\x"; the "\\?\"
// and "\\.\" prefixes are stripped; '/' separates as '\' does. Other drive
// letters, UNC shares and device names do not exist here.
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace tl::fs::detail {

// The components of the absolute host path that a Windows path names, with
// "." and ".." resolved lexically as Windows resolves them. An empty vector
// is the root. FileNotFound for paths on a drive other than Z:, UNC shares
// and devices; BadPathName for a NUL byte.
[[nodiscard]] Result<std::vector<std::string>> hostComponents(std::string_view windowsPath);

// "/" + components joined with '/'.
std::string joinHost(const std::vector<std::string>& components, std::size_t count);

// "Z:" + the host path with '\' separators; "/" is "Z:\".
std::string windowsFromHost(std::string_view hostAbsolute);

}  // namespace tl::fs::detail
