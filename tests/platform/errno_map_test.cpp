#include "platform/posix/errno_map.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tl::platform {
namespace {

TEST(ErrnoMap, EveryHostErrorHasItsName) {
  const struct {
    int err;
    Error expected;
  } cases[] = {
      {ENOENT, Error::FileNotFound},     {ENOTDIR, Error::NotDir},
      {ELOOP, Error::SymLinkLoop},       {EEXIST, Error::PathAlreadyExists},
      {EACCES, Error::AccessDenied},     {EPERM, Error::AccessDenied},
      {EBUSY, Error::FileBusy},          {ETXTBSY, Error::FileBusy},
      {ENAMETOOLONG, Error::NameTooLong}, {ENOSPC, Error::NoSpaceLeft},
      {EDQUOT, Error::DiskQuota},        {EROFS, Error::ReadOnlyFileSystem},
      {EXDEV, Error::CrossDevice},       {EMLINK, Error::LinkQuotaExceeded},
      {ENOMEM, Error::SystemResources},  {EMFILE, Error::SystemResources},
      {ENOTEMPTY, Error::DirNotEmpty},   {EISDIR, Error::IsDir},
      {EIO, Error::InputOutput},         {EINVAL, Error::BadPathName},
      {ECANCELED, Error::Canceled},      {EOPNOTSUPP, Error::OperationUnsupported},
      {EPIPE, Error::BrokenPipe},        {EAGAIN, Error::Unexpected},
      {EBADF, Error::Unexpected},        {0, Error::Unexpected},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errorName(errorFromErrno(c.err)), errorName(c.expected)) << "errno " << c.err;
  }
}

}  // namespace
}  // namespace tl::platform
