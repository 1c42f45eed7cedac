#include "platform/reboot_deletion.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "common/paths.h"
#include "platform/fs.h"
#include "platform/io_context.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/fd_io.h"
#include "platform/process.h"

namespace tl::platform {

Status deleteFileAtReboot(std::string_view path) {
  TRY(io().checkFault(FsOp::Rename, path));
  if (path.empty()) return Error::InvalidPath;
  for (char c : path) {
    if (static_cast<unsigned char>(c) < 0x20) return Error::InvalidPath;
  }
  const std::string system = TRY(process::systemDirectory());
  const std::optional<std::string> windows = parentPath(system);
  if (!windows) return Error::FileNotFound;
  const std::string record = TRY(fs::hostPath(joinPath({*windows, "state", "reboot-deletions.txt"})));
  const int fd = ::open(record.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return lastError();
  // One write of the whole line, so that concurrent records never interleave.
  const std::string line = std::string(path) + "\n";
  const Status written = fdWriteAll(fd, line.data(), line.size());
  ::close(fd);
  return written;
}

}  // namespace tl::platform
