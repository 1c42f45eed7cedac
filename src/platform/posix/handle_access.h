#pragma once
// The descriptor behind a Dir or File: the POSIX layer's own way in, kept out
// of the interface so that callers never depend on what a handle is.
#include "platform/fs.h"

namespace tl::fs {

struct HandleAccess {
  static int fd(const Handle& h) { return h.fd_; }
  // Takes ownership of fd (-1 makes a handle that is not valid).
  static Dir dir(int fd) { return Dir(fd); }
  static File file(int fd) { return File(fd); }
};

}  // namespace tl::fs
