#pragma once
// What a status of the Windows hard-link call (NtSetInformationFile with
// FileLinkInformation) means for the extraction: done, try again, or which
// error.
#include <cstdint>

#include "common/error.h"

namespace tl {

enum class HardLinkStep : std::uint8_t { Done, Retry, Fail };

struct HardLinkStatusOutcome {
  HardLinkStep step;
  Error error;  // meaningful only for Fail
};

HardLinkStatusOutcome hardLinkStatusOutcome(std::uint32_t ntStatus);

}  // namespace tl
