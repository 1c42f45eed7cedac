#pragma once
// Path checks for what an outside caller hands to an update (request and
// plan paths), and the home folders these paths must lie in. Every path is
// taken exactly as written: a path that would only be right after
// normalising is refused, never repaired.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Absolute, no NUL, and already its own normalised form (ASCII letters
// folded); else InvalidUpdatePath.
[[nodiscard]] Status validateUpdatePath(std::string_view path);
// A prepare request's paths follow the same rule.
[[nodiscard]] inline Status validatePreparePath(std::string_view path) { return validateUpdatePath(path); }

enum class PathKind : std::uint8_t { directory, regularFile };

// The child lies directly in root, is of the kind asked for (a link is of no
// kind), and no link anywhere places it elsewhere: the real path of root
// joined with the child's last component is the child's real path.
// InvalidUpdatePath, or the error of a real-path lookup.
[[nodiscard]] Status requirePathWithin(std::string_view root, std::string_view child, PathKind kind);
// The path is a directory itself, not a link to one; else InvalidUpdatePath.
[[nodiscard]] Status requireDirectory(std::string_view path);

// A name in folder that a file of ours may replace or be written under: a
// regular file or nothing. Anything else there (a folder, a link) is
// InvalidUpdatePath; a failed lookup passes its error up.
[[nodiscard]] Status requireFileOrNothingAt(const fs::Dir& folder, std::string_view name);

// The identifier's folder under the local application data (LOCALAPPDATA,
// else USERPROFILE\AppData\Local), normalised; MissingUpdateHome when
// neither variable is set.
[[nodiscard]] Result<std::string> updateHomeDir(std::string_view identifier);
// The same folder for a plan: the channel must be stable, canary or dev and
// both names valid file names (else InvalidUpdateIdentity); a missing
// environment passes its error up.
[[nodiscard]] Result<std::string> installHomeDir(std::string_view identifier, std::string_view channel);

}  // namespace tl
