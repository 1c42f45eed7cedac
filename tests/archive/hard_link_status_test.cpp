#include "archive/hard_link_status.h"

#include <gtest/gtest.h>

namespace tl {
namespace {

// The numeric statuses as the Windows headers define them, so a mistyped
// constant in the table shows up here.
TEST(HardLinkStatus, StatusesMapToStepsAndErrors) {
  const struct {
    std::uint32_t status;
    HardLinkStep step;
    Error error;
  } cases[] = {
      {0x00000000, HardLinkStep::Done, Error::Unexpected},
      {0xC0000120, HardLinkStep::Retry, Error::Unexpected},  // cancelled: try again
      {0xC0000035, HardLinkStep::Fail, Error::PathAlreadyExists},
      {0xC0000034, HardLinkStep::Fail, Error::FileNotFound},
      {0xC000003A, HardLinkStep::Fail, Error::FileNotFound},
      {0xC0000056, HardLinkStep::Fail, Error::FileNotFound},
      {0xC0000022, HardLinkStep::Fail, Error::AccessDenied},
      {0xC00000D4, HardLinkStep::Fail, Error::CrossDevice},
      {0xC0000265, HardLinkStep::Fail, Error::LinkQuotaExceeded},
      {0xC00000A2, HardLinkStep::Fail, Error::ReadOnlyFileSystem},
      {0xC00000BB, HardLinkStep::Fail, Error::OperationUnsupported},
      {0xC0000010, HardLinkStep::Fail, Error::OperationUnsupported},
      {0xC0000017, HardLinkStep::Fail, Error::SystemResources},
      {0xC000009A, HardLinkStep::Fail, Error::SystemResources},
      {0xC0000044, HardLinkStep::Fail, Error::DiskQuota},
      {0xC000007F, HardLinkStep::Fail, Error::NoSpaceLeft},
      {0xC0000001, HardLinkStep::Fail, Error::Unexpected},  // anything else
  };
  for (const auto& c : cases) {
    HardLinkStatusOutcome o = hardLinkStatusOutcome(c.status);
    EXPECT_EQ(o.step, c.step) << std::hex << c.status;
    if (c.step == HardLinkStep::Fail) {
      EXPECT_EQ(o.error, c.error) << std::hex << c.status;
    }
  }
}

}  // namespace
}  // namespace tl
