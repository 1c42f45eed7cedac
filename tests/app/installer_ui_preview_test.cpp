#include "app/installer_ui_preview.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "native_ui/progress_reporter.h"
#include "support/dialog_host_env.h"
#include "support/fake_clock.h"

namespace tl {
namespace {

using test::DialogHostEnv;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Events = std::vector<std::string>;

constexpr const char* kStageLines =
    "Preparing installation...\nDecompressing application...\nExtracting application files...\n"
    "Installing application files...\nCreating shortcuts and integration...\n";

TEST(InstallerUiPreview, AllShowsEveryStageThenTheUninstallChoice) {
  auto* clock = dynamic_cast<test::FakeClock*>(&io().clock());
  ASSERT_NE(clock, nullptr);
  DialogHostEnv host;
  host.autoclose("1");
  host.script("choose 101");
  std::uint64_t sleeps = clock->sleepCount();
  std::uint64_t slept = clock->totalSleptMs();
  CaptureStderr();
  ASSERT_TRUE(runInstallerUiPreview(false).ok());
  EXPECT_EQ(GetCapturedStderr(), std::string(kStageLines) + "Installation completed successfully.\n");
  EXPECT_EQ(clock->sleepCount() - sleeps, 25u);
  EXPECT_EQ(clock->totalSleptMs() - slept, 2000u);

  EXPECT_TRUE(host.has(1, "title Example App Setup"));
  EXPECT_EQ(host.events(1, "content "),
            (Events{"content Preparing installation...", "content Decompressing application...",
                    "content Extracting application files...", "content Installing application files...",
                    "content Creating shortcuts and integration...",
                    "content Installation completed successfully.",
                    "content Preview completed. No application was installed."}));
  EXPECT_EQ(host.events(1, "bar pos "),
            (Events{"bar pos 5", "bar pos 9", "bar pos 13", "bar pos 17", "bar pos 21", "bar pos 25", "bar pos 29",
                    "bar pos 33", "bar pos 37", "bar pos 41", "bar pos 45", "bar pos 47", "bar pos 50",
                    "bar pos 52", "bar pos 55", "bar pos 57", "bar pos 60", "bar pos 62", "bar pos 65",
                    "bar pos 67", "bar pos 70", "bar pos 100"}));
  EXPECT_TRUE(host.has(1, "click 200 program S_OK"));

  EXPECT_TRUE(host.has(2, "title Example App"));
  EXPECT_TRUE(host.has(2, "content UI preview only; no files will be removed."));
  EXPECT_TRUE(host.has(2, "click 101 user S_OK"));
  EXPECT_TRUE(host.events(3).empty());
  EXPECT_FALSE(installFailureShown());
}

TEST(InstallerUiPreview, ErrorShowsTheFailurePageAndWaitsForClose) {
  DialogHostEnv host;
  host.script("click 200 when enabled");
  CaptureStderr();
  ASSERT_TRUE(runInstallerUiPreview(true).ok());
  EXPECT_EQ(GetCapturedStderr(), std::string(kStageLines) + "Installation failed.\n");

  Events all = host.events(1);
  ASSERT_GE(all.size(), 13u);
  EXPECT_EQ(Events(all.end() - 13, all.end()),
            (Events{"content Installation failed.", "bar marquee off", "bar style normal", "bar state error",
                    "bar pos 100", "instruction Installation failed",
                    "content Preview of an installation failure. No files were changed.", "icon error",
                    "button 200 enabled", "foreground", "flash", "click 200 user S_OK", "destroyed 200"}));
  EXPECT_TRUE(installFailureShown());
  EXPECT_TRUE(host.events(2).empty());
  resetInstallFailureForTesting();
}

}  // namespace
}  // namespace tl
