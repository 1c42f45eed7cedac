#include "uninstall/uninstaller_copy.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tl {
namespace {

TEST(UninstallerCopy, NameCarriesTheNumberInLowercaseHexWithoutLeadingZeros) {
  struct Case {
    std::uint64_t n;
    const char* name;
  } cases[] = {
      {0, "tamberlock-uninstall-0.exe"},
      {0xf, "tamberlock-uninstall-f.exe"},
      {0x10, "tamberlock-uninstall-10.exe"},
      {0x00ab00cd, "tamberlock-uninstall-ab00cd.exe"},
      {UINT64_MAX, "tamberlock-uninstall-ffffffffffffffff.exe"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(uninstallerCopyName(c.n), c.name);
    EXPECT_TRUE(isUninstallerCopyName(c.name)) << c.name;
  }
}

TEST(UninstallerCopy, NameRule) {
  struct Case {
    const char* name;
    bool ok;
  } cases[] = {
      {"tamberlock-uninstall-1.exe", true},
      {"tamberlock-uninstall-0123456789abcdef.exe", true},
      {"tamberlock-uninstall-.exe", false},                   // no digits
      {"tamberlock-uninstall-0123456789abcdef0.exe", false},  // 17 digits
      {"tamberlock-uninstall-1A.exe", false},                 // upper-case digit
      {"tamberlock-uninstall-1g.exe", false},
      {"tamberlock-uninstall-1.EXE", false},  // suffix case matters
      {"Tamberlock-uninstall-1.exe", false},  // prefix case matters
      {"tamberlock-uninstall-1.exe ", false},
      {"tamberlock-uninstall-1-.exe", false},
      {"tamberlock-uninstall-refresh-1.exe", false},
      {"xtamberlock-uninstall-1.exe", false},
      {"tamberlock-uninstall-1.ex", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(isUninstallerCopyName(c.name), c.ok) << c.name;
}

}  // namespace
}  // namespace tl
