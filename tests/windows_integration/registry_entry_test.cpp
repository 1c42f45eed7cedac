#include "windows_integration/registry_entry.h"

#include <gtest/gtest.h>

#include "windows_integration/integration_sandbox.h"

namespace tl {
namespace {

constexpr const char* kKey = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\org.x.stable";

class RegistryEntry : public testing::Test {
 protected:
  Status registerWith(std::string_view versionJson) {
    app_ = box_.makeApp("org.x", "stable", versionJson);
    if (versionJson.empty()) {
      ::unlink(box_.host(box_.userRel("AppData/Local/org.x/stable/app/Resources/version.json")).c_str());
    }
    UninstallManifest m;
    m.identifier = "org.x";
    m.name = "X";
    m.channel = "stable";
    return registerUninstallEntry(m, app_, "C:\\R\\uninstall.exe");
  }

  std::string displayVersion() const {
    std::string q = box_.regQuery(kKey);
    std::size_t at = q.find("    DisplayVersion    REG_SZ    ");
    if (at == std::string::npos) return "<none>";
    at += 32;
    return q.substr(at, q.find('\r', at) - at);
  }

  test::IntegrationSandbox box_;
  std::string app_;
};

TEST_F(RegistryEntry, VersionTextOrItsFallback) {
  struct Case {
    std::string json;
    std::string version;
    std::string warning;
  } cases[] = {
      {"{\"other\":{\"version\":1},\"version\":\"2.0.0-beta \\u00e9\"}", "2.0.0-beta \xC3\xA9", ""},
      {"", "0.0.0", "Warning: Could not read installed version metadata at "},
      {"{\"version\":\"\"}", "0.0.0", "error.InvalidAppVersion"},
      {"{\"version\":1}", "0.0.0", "error.UnexpectedToken"},
      {"{\"name\":\"x\"}", "0.0.0", "error.MissingField"},
      {"{\"version\":\"1\",\"version\":\"2\"}", "0.0.0", "error.DuplicateField"},
      {"{\"version\":\"1\"", "0.0.0", "Warning: Could not parse installed version metadata at "},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    Status s = registerWith(c.json);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(s.ok()) << c.json;
    EXPECT_EQ(displayVersion(), c.version) << c.json;
    if (c.warning.empty()) {
      EXPECT_EQ(err.find("Warning"), std::string::npos) << err;
    } else {
      EXPECT_NE(err.find(c.warning), std::string::npos) << c.json << "\n" << err;
    }
    EXPECT_NE(err.find("Registered Windows uninstaller: " + std::string(kKey) + "\n"), std::string::npos);
  }
}

TEST_F(RegistryEntry, OversizedVersionFileIsAReadWarning) {
  testing::internal::CaptureStderr();
  Status s = registerWith("{\"version\":\"" + std::string(1048576, '1') + "\"}");
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(s.ok());
  EXPECT_NE(err.find(": error.StreamTooLong\n"), std::string::npos) << err.substr(0, 300);
  EXPECT_EQ(displayVersion(), "0.0.0");
}

TEST_F(RegistryEntry, EveryRunUsesTheSixtyFourBitViewAndABadIdentityRunsNothing) {
  testing::internal::CaptureStderr();
  ASSERT_TRUE(registerWith("{\"version\":\"1\"}").ok());
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(deleteRegistryKey("org.x", "stable").ok());
  std::vector<std::string> calls = box_.calls();
  EXPECT_EQ(box_.regQuery(kKey), "");
  ASSERT_EQ(calls.size(), 10u);  // query, eight adds, delete
  for (const std::string& c : calls) {
    EXPECT_EQ(c.rfind("[\"reg.exe\", ", 0), 0u) << c;
    EXPECT_EQ(c.substr(c.size() - 12), ", \"/reg:64\"]") << c;
  }
  // Deleting a key that is not there is a failed run.
  EXPECT_EQ(deleteRegistryKey("org.x", "stable").error(), Error::WindowsCommandFailed);

  box_.clearCalls();
  UninstallManifest bad;
  bad.identifier = "org:x";
  bad.name = "X";
  bad.channel = "stable";
  EXPECT_EQ(registerUninstallEntry(bad, app_, "C:\\R\\uninstall.exe").error(), Error::InvalidInstallIdentity);
  EXPECT_EQ(deleteRegistryKey("org.x", "st|able").error(), Error::InvalidInstallIdentity);
  EXPECT_TRUE(box_.calls().empty());
}

TEST(RegistryKey, Names) {
  EXPECT_EQ(*uninstallRegistryKey("com.x", "dev"),
            "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\com.x.dev");
  EXPECT_EQ(uninstallRegistryKey("a:b", "dev").error(), Error::InvalidInstallIdentity);
  EXPECT_EQ(uninstallRegistryKey("ab", "").error(), Error::InvalidInstallIdentity);
}

}  // namespace
}  // namespace tl
