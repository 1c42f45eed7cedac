#include "platform/posix/errno_map.h"

#include <cerrno>

namespace tl::platform {

Error errorFromErrno(int err) {
  switch (err) {
    case ENOENT: return Error::FileNotFound;
    case ENOTDIR: return Error::NotDir;
    case ELOOP: return Error::SymLinkLoop;
    case EEXIST: return Error::PathAlreadyExists;
    case EACCES:
    case EPERM: return Error::AccessDenied;
    case EBUSY:
    case ETXTBSY: return Error::FileBusy;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ENOSPC: return Error::NoSpaceLeft;
    case EDQUOT: return Error::DiskQuota;
    case EROFS: return Error::ReadOnlyFileSystem;
    case EXDEV: return Error::CrossDevice;
    case EMLINK: return Error::LinkQuotaExceeded;
    case ENOMEM:
    case EMFILE:
    case ENFILE: return Error::SystemResources;
    case ENOTEMPTY: return Error::DirNotEmpty;
    case EISDIR: return Error::IsDir;
    case EIO: return Error::InputOutput;
    case EINVAL: return Error::BadPathName;
    case ECANCELED: return Error::Canceled;
    case EOPNOTSUPP: return Error::OperationUnsupported;
    case EPIPE: return Error::BrokenPipe;
    default: return Error::Unexpected;
  }
}

Error lastError() { return errorFromErrno(errno); }

}  // namespace tl::platform
