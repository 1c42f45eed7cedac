#include "archive/hard_link_status.h"

namespace tl {

namespace {

constexpr std::uint32_t kStatusSuccess = 0x00000000;
constexpr std::uint32_t kStatusCancelled = 0xC0000120;
constexpr std::uint32_t kStatusObjectNameCollision = 0xC0000035;
constexpr std::uint32_t kStatusObjectNameNotFound = 0xC0000034;
constexpr std::uint32_t kStatusObjectPathNotFound = 0xC000003A;
constexpr std::uint32_t kStatusDeletePending = 0xC0000056;
constexpr std::uint32_t kStatusAccessDenied = 0xC0000022;
constexpr std::uint32_t kStatusNotSameDevice = 0xC00000D4;
constexpr std::uint32_t kStatusTooManyLinks = 0xC0000265;
constexpr std::uint32_t kStatusMediaWriteProtected = 0xC00000A2;
constexpr std::uint32_t kStatusNotSupported = 0xC00000BB;
constexpr std::uint32_t kStatusInvalidDeviceRequest = 0xC0000010;
constexpr std::uint32_t kStatusNoMemory = 0xC0000017;
constexpr std::uint32_t kStatusInsufficientResources = 0xC000009A;
constexpr std::uint32_t kStatusQuotaExceeded = 0xC0000044;
constexpr std::uint32_t kStatusDiskFull = 0xC000007F;

constexpr HardLinkStatusOutcome fail(Error e) { return {HardLinkStep::Fail, e}; }

}  // namespace

HardLinkStatusOutcome hardLinkStatusOutcome(std::uint32_t ntStatus) {
  switch (ntStatus) {
    case kStatusSuccess:
      return {HardLinkStep::Done, Error::Unexpected};
    case kStatusCancelled:
      return {HardLinkStep::Retry, Error::Unexpected};
    case kStatusObjectNameCollision:
      return fail(Error::PathAlreadyExists);
    case kStatusObjectNameNotFound:
    case kStatusObjectPathNotFound:
    case kStatusDeletePending:
      return fail(Error::FileNotFound);
    case kStatusAccessDenied:
      return fail(Error::AccessDenied);
    case kStatusNotSameDevice:
      return fail(Error::CrossDevice);
    case kStatusTooManyLinks:
      return fail(Error::LinkQuotaExceeded);
    case kStatusMediaWriteProtected:
      return fail(Error::ReadOnlyFileSystem);
    case kStatusNotSupported:
    case kStatusInvalidDeviceRequest:
      return fail(Error::OperationUnsupported);
    case kStatusNoMemory:
    case kStatusInsufficientResources:
      return fail(Error::SystemResources);
    case kStatusQuotaExceeded:
      return fail(Error::DiskQuota);
    case kStatusDiskFull:
      return fail(Error::NoSpaceLeft);
    default:
      return fail(Error::Unexpected);
  }
}

}  // namespace tl
