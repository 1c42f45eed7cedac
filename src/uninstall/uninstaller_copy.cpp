#include "uninstall/uninstaller_copy.h"

#include "common/hex.h"

namespace tl {

namespace {
constexpr std::string_view kPrefix = "tamberlock-uninstall-";
constexpr std::string_view kSuffix = ".exe";
}  // namespace

std::string uninstallerCopyName(std::uint64_t n) {
  return std::string(kPrefix) + hexNoLeadingZeros(n) + std::string(kSuffix);
}

bool isUninstallerCopyName(std::string_view name) {
  if (name.size() < kPrefix.size() + 1 + kSuffix.size() || name.size() > kPrefix.size() + 16 + kSuffix.size()) {
    return false;
  }
  if (name.substr(0, kPrefix.size()) != kPrefix || name.substr(name.size() - kSuffix.size()) != kSuffix) {
    return false;
  }
  const std::string_view digits = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  return isLowerHexOfLength(digits, digits.size());
}

}  // namespace tl
