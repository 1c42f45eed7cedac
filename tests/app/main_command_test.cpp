#include "app/main_command.h"

#include <gtest/gtest.h>

namespace tl {
namespace {

using Args = std::vector<std::string>;

struct NameCase {
  Args args;
  const char* exe;
  bool ok;
  Role role;
  bool quiet;
  bool deleteData;
};

TEST(MainCommand, OptionTable) {
  const NameCase cases[] = {
      {{}, "uninstall.exe", true, Role::Uninstall, false, false},
      {{}, "UNINSTALL.EXE", true, Role::Uninstall, false, false},
      {{}, "uninstall.exe.bak", true, Role::Installer, false, false},
      {{}, "Setup.exe", true, Role::Installer, false, false},
      {{"--uninstall"}, "x.exe", true, Role::Uninstall, false, false},
      {{"--uninstall", "--quiet"}, "x.exe", true, Role::Uninstall, true, false},
      {{"--uninstall", "--quiet", "--delete-data"}, "x.exe", true, Role::Uninstall, true, true},
      {{"--uninstall", "--delete-data"}, "x.exe", false, Role::Uninstall, false, false},
      {{"--uninstall", "--delete-data", "--quiet"}, "x.exe", false, Role::Uninstall, false, false},
      {{"--quiet"}, "uninstall.exe", true, Role::Uninstall, true, false},
      {{"--quiet", "--delete-data"}, "x.exe", true, Role::Uninstall, true, true},
      {{"--delete-data"}, "x.exe", false, Role::Uninstall, false, false},
      {{"--quiet", "--quiet"}, "x.exe", false, Role::Uninstall, false, false},
      {{"--refresh-registration"}, "x.exe", true, Role::RefreshRegistration, false, false},
      {{"--refresh-registration", "--quiet"}, "x.exe", true, Role::RefreshRegistration, false, false},
      {{"--refresh-registration", "--delete-data"}, "x.exe", false, Role::Uninstall, false, false},
      {{"--bootstrap-install", "Z:\\r", "--quiet"}, "x", true, Role::BootstrapInstall, false, false},
      {{"--bootstrap-install", "", "--quiet"}, "x", false, Role::Uninstall, false, false},
      {{"--bootstrap-install", "Z:\\r"}, "x", false, Role::Uninstall, false, false},
      {{"--refresh-registration-from-update", "Z:\\r", "--quiet"}, "x", true,
       Role::RefreshRegistrationFromUpdate, false, false},
      {{"--refresh-registration-from-update", "Z:\\r", "--Quiet"}, "x", false, Role::Uninstall, false, false},
      {{"--cleanup-uninstaller", "a", "b", "c"}, "x", true, Role::CleanupUninstaller, false, false},
      {{"--cleanup-uninstaller", "", "", ""}, "x", true, Role::CleanupUninstaller, false, false},
      {{"--cleanup-uninstaller", "a", "b", "c", "--delete-data"}, "x", true, Role::CleanupUninstaller, false, true},
      {{"--cleanup-uninstaller", "a", "b", "c", "--quiet"}, "x", false, Role::Uninstall, false, false},
      {{"--cleanup-uninstaller", "a", "b"}, "x", false, Role::Uninstall, false, false},
      {{"--UNINSTALL"}, "x", false, Role::Uninstall, false, false},
      {{"install"}, "x", false, Role::Uninstall, false, false},
  };
  for (const NameCase& c : cases) {
    std::string label = c.exe;
    for (const auto& a : c.args) label += " [" + a + "]";
    Result<MainCommand> r = selectCommandByName(c.args, c.exe);
    ASSERT_EQ(r.ok(), c.ok) << label;
    if (!c.ok) {
      EXPECT_EQ(r.error(), Error::InvalidArguments) << label;
      continue;
    }
    EXPECT_EQ(r->role, c.role) << label;
    if (c.role == Role::Uninstall) {
      EXPECT_EQ(r->uninstall.quiet, c.quiet) << label;
      EXPECT_EQ(r->uninstall.delete_data, c.deleteData) << label;
    }
    if (c.role == Role::CleanupUninstaller) {
      EXPECT_EQ(r->deleteData, c.deleteData) << label;
    }
  }
}

TEST(MainCommand, CleanupArgumentsPassThrough) {
  auto r = selectCommandByName({"--cleanup-uninstaller", "A", "B", "Z"}, "x");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->managerPath, "A");
  EXPECT_EQ(r->manifestPath, "B");
  EXPECT_EQ(r->nonce, "Z");
}

TEST(MainCommand, UpdateRolesCheckTheirCountBeforeThePreview) {
  const std::optional<std::string> preview = "all";
  struct Case {
    Args args;
    bool ok;
  } cases[] = {
      {{"--prepare-update", "req", "--quiet"}, true},
      {{"--prepare-update", "req"}, false},
      {{"--prepare-update", "req", "--quiet", "extra"}, false},
      {{"--prepare-update", "req", "--delete-data"}, false},
      {{"--apply-update", "plan", "--quiet"}, true},
      {{"--apply-update"}, false},
  };
  for (const Case& c : cases) {
    auto r = selectEarlyCommand(c.args, preview);
    ASSERT_EQ(r.ok(), c.ok) << c.args.size();
    if (!c.ok) {
      EXPECT_EQ(r.error(), Error::InvalidArguments);
    } else {
      ASSERT_TRUE(r->has_value());
      EXPECT_EQ((*r)->path, c.args[1]);
    }
  }
}

TEST(MainCommand, PreviewValueMustBeExact) {
  const struct {
    std::optional<std::string> value;
    bool ok;
    bool runs;
    bool errorVariant;
  } cases[] = {
      {std::nullopt, true, false, false}, {"all", true, true, false}, {"error", true, true, true},
      {"", false, false, false},          {"ALL", false, false, false}, {"all ", false, false, false},
  };
  for (const auto& c : cases) {
    auto r = selectEarlyCommand({"--uninstall"}, c.value);
    ASSERT_EQ(r.ok(), c.ok) << c.value.value_or("<unset>");
    if (!c.ok) {
      EXPECT_EQ(r.error(), Error::InvalidInstallerUiPreview);
      continue;
    }
    EXPECT_EQ(r->has_value(), c.runs);
    if (c.runs) {
      EXPECT_EQ((*r)->role, Role::Preview);
      EXPECT_EQ((*r)->previewErrorVariant, c.errorVariant);
    }
  }
}

TEST(MainCommand, BaseName) {
  EXPECT_EQ(executableBaseName("Z:\\a\\b\\Setup.exe"), "Setup.exe");
  EXPECT_EQ(executableBaseName("Z:/a/uninstall.exe"), "uninstall.exe");
  EXPECT_EQ(executableBaseName("Z:\\a\\dir\\\\"), "dir");
  EXPECT_EQ(executableBaseName("plain"), "plain");
}

}  // namespace
}  // namespace tl
