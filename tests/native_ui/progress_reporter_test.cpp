#include "native_ui/progress_reporter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "platform/task_dialog.h"
#include "support/dialog_host_env.h"

namespace tl {
namespace {

using test::DialogHostEnv;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Events = std::vector<std::string>;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(ProgressReporter, PercentOfAStage) {
  struct Case {
    InstallStage stage;
    std::optional<std::uint64_t> done, total;
    std::optional<std::uint32_t> percent;
  };
  const Case cases[] = {
      {InstallStage::Decompressing, 50, 100, 25},
      {InstallStage::Decompressing, 200, 100, 45},  // done beyond total is capped
      {InstallStage::Decompressing, 0, 100, 5},
      {InstallStage::Preparing, 1, 2, 2},
      {InstallStage::Integrating, 99, 100, 98},
      // Products beyond 64 bits: 25 * (2^64 - 2) must not wrap.
      {InstallStage::Extracting, kMax - 1, kMax, 69},
      {InstallStage::Extracting, kMax, kMax, 70},
      {InstallStage::Installing, std::nullopt, 100, std::nullopt},
      {InstallStage::Installing, 5, std::nullopt, std::nullopt},
      {InstallStage::Installing, 5, 0, std::nullopt},
      {InstallStage::Succeeded, std::nullopt, std::nullopt, 100},
      {InstallStage::Failed, 1, 1, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.stage));
    EXPECT_EQ(installStagePercent(c.stage, c.done, c.total), c.percent);
  }
}

TEST(ProgressReporter, WindowIsTouchedOnlyByVisibleChanges) {
  DialogHostEnv host;
  host.autoclose("1");
  CaptureStderr();
  ProgressReporter r = createProgressReporter("Example App");
  ASSERT_NE(r.window, nullptr);
  std::size_t opened = host.events(1).size();

  setInstallStage(r, InstallStage::Decompressing, 50, 100);
  std::uint64_t messages = platform::taskDialogMessagesHandledForTesting();
  setInstallStage(r, InstallStage::Decompressing, 50, 100);
  EXPECT_EQ(platform::taskDialogMessagesHandledForTesting(), messages);
  setInstallStage(r, InstallStage::Decompressing, 200, 100);
  setInstallStage(r, InstallStage::Installing);
  finishProgressReporter(r, true, "Done.");
  closeProgressReporter(r);
  EXPECT_EQ(GetCapturedStderr(),
            "Preparing installation...\nDecompressing application...\nInstalling application files...\n"
            "Installation completed successfully.\n");

  Events all = host.events(1);
  EXPECT_EQ(Events(all.begin() + static_cast<long>(opened), all.end()),
            (Events{"content Decompressing application...", "bar marquee off", "bar style normal", "bar pos 25",
                    "bar pos 45", "content Installing application files...", "bar style marquee",
                    "bar marquee on 30", "content Installation completed successfully.", "bar marquee off",
                    "bar style normal", "bar pos 100", "instruction Installation complete", "content Done.",
                    "button 200 enabled", "click 200 program S_OK", "destroyed 200"}));
  EXPECT_FALSE(installFailureShown());
}

TEST(ProgressReporter, StandardErrorAloneWithoutWindow) {
  DialogHostEnv::noDisplay();
  CaptureStderr();
  ProgressReporter r = createProgressReporter("App");
  EXPECT_EQ(r.window, nullptr);
  setInstallStage(r, InstallStage::Decompressing, 1, 2);
  setInstallStage(r, InstallStage::Decompressing, 2, 2);
  finishProgressReporter(r, true, "ok");
  finishProgressReporter(r, false, "a second finish does nothing");
  closeProgressReporter(r);
  EXPECT_EQ(GetCapturedStderr(),
            "\nInstalling App...\nPreparing installation...\nDecompressing application...\n"
            "Installation completed successfully.\n");
  EXPECT_FALSE(installFailureShown());
}

TEST(ProgressReporter, FailureWindowIsShownOncePerProcess) {
  resetInstallFailureForTesting();
  DialogHostEnv host;
  host.autoclose("1");
  CaptureStderr();
  showFailureWindow("The installer package is invalid.");
  showFailureWindow("A second failure page is not shown.");
  EXPECT_EQ(GetCapturedStderr(), "Preparing installation...\nInstallation failed.\n");
  EXPECT_TRUE(installFailureShown());
  EXPECT_TRUE(host.has(1, "title Application Setup"));
  EXPECT_TRUE(host.has(1, "content The installer package is invalid."));
  EXPECT_TRUE(host.has(1, "icon error"));
  EXPECT_TRUE(host.has(1, "bar state error"));
  EXPECT_TRUE(host.events(2).empty());
  resetInstallFailureForTesting();
}

}  // namespace
}  // namespace tl
