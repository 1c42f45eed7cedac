#pragma once
// Deleting a file when the system next starts, as MoveFileExW with no new
// name and MOVEFILE_DELAY_UNTIL_REBOOT asks for it: the last resort for a
// program that cannot remove its own file while it runs.
#include <string_view>

#include "common/result.h"

namespace tl::platform {

// Records the file for deletion at the next start. POSIX has no such
// register: the layer appends the path, one line each, to
// "reboot-deletions.txt" in the stand-ins' state folder (the "state" folder
// beside the system directory), where tests look for it. A path holding a
// control byte names no Windows file (InvalidPath). Passes the IoContext
// fault seam as a rename of the path.
[[nodiscard]] Status deleteFileAtReboot(std::string_view path);

}  // namespace tl::platform
