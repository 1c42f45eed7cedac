// version.json is written by build tooling outside the system and read from
// bundles the updater downloads: parsing must never crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "archive/app_version.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)tl::parseAppVersion(text);
  return 0;
}
