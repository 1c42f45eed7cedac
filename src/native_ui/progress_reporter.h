#pragma once
// The installer's progress: seven stages with a percent range each, drawn in
// the progress window when one can be shown and echoed to standard error.
// The window is touched only when something visible changed, and a reporter
// ends with exactly one success or failure page.
#include <cstdint>
#include <optional>
#include <string_view>

#include "native_ui/progress_window.h"

namespace tl {

enum class InstallStage : std::uint8_t {
  Preparing = 0,     // 0 to 5 percent
  Decompressing = 1, // 5 to 45
  Extracting = 2,    // 45 to 70
  Installing = 3,    // 70 to 90
  Integrating = 4,   // 90 to 99
  Succeeded = 5,     // 100
  Failed = 6,        // no percent: the error look
};

std::string_view installStageText(InstallStage stage);
// The percent that a stage with these counts shows; none for a marquee.
std::optional<std::uint32_t> installStagePercent(InstallStage stage, std::optional<std::uint64_t> done,
                                                 std::optional<std::uint64_t> total);

struct ProgressReporter {
  ProgressWindowPtr window;  // null: standard error only
  bool stageShown = false;
  InstallStage stage = InstallStage::Preparing;
  std::optional<std::uint32_t> percent;
  bool marqueeRecorded = false;
  bool marquee = false;
  bool finished = false;
};

// name is UTF-8 (WTF-8). Shows stage 0.
ProgressReporter createProgressReporter(std::string_view name);
void setInstallStage(ProgressReporter& reporter, InstallStage stage,
                     std::optional<std::uint64_t> done = std::nullopt,
                     std::optional<std::uint64_t> total = std::nullopt);
// Once per reporter: the final stage, and with a window the final page with
// the message (UTF-8), which returns when the user has closed the window. A
// failure sets the process-wide failed flag.
void finishProgressReporter(ProgressReporter& reporter, bool succeeded, std::string_view message);
void closeProgressReporter(ProgressReporter& reporter);
// A failure page for failures before or outside an installation; nothing
// when a failure page was already shown in this process.
void showFailureWindow(std::string_view message);

bool installFailureShown();
void resetInstallFailureForTesting();

}  // namespace tl
