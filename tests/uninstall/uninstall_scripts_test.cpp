#include "uninstall/uninstall_scripts.h"

#include <gtest/gtest.h>

namespace tl {
namespace {

// Digests worked out independently (SHA-256 over identifier, 0x00, channel).
TEST(UpdateTaskName, FirstTwelveDigestBytesOfIdentifierNulChannel) {
  struct Case {
    std::string_view identifier;
    std::string_view channel;
    const char* name;
  } cases[] = {
      {"com.example.app", "stable", "TamberlockUpdate_3b0d4743415a798b541a0fd0"},
      // The separator keeps the two parts apart.
      {"ab", "c", "TamberlockUpdate_6c032e631d39a14d85aff7e3"},
      {"a", "bc", "TamberlockUpdate_40bb547d936bbd31318ee37a"},
      // Bytes as they are, not re-encoded.
      {"J\xC3\xB6rg", "dev", "TamberlockUpdate_b948aff8fac6d3db14a383b7"},
  };
  for (const Case& c : cases) EXPECT_EQ(updateTaskName(c.identifier, c.channel), c.name) << c.identifier;
}

}  // namespace
}  // namespace tl
