#pragma once
// The one translation of host error numbers into the program's errors, used
// by every part of the platform layer so that one failure has one name.
#include "common/error.h"

namespace tl::platform {

Error errorFromErrno(int err);
// The error of the host call that just failed (errno).
Error lastError();

}  // namespace tl::platform
