#include "native_ui/progress_reporter.h"

#include <algorithm>
#include <atomic>

#include "common/diagnostics.h"
#include "common/wtf8.h"

namespace tl {

namespace {

struct StageInfo {
  std::string_view text;
  std::uint32_t start;
  std::uint32_t end;
};

constexpr StageInfo kStages[] = {
    {"Preparing installation...", 0, 5},
    {"Decompressing application...", 5, 45},
    {"Extracting application files...", 45, 70},
    {"Installing application files...", 70, 90},
    {"Creating shortcuts and integration...", 90, 99},
    {"Installation completed successfully.", 100, 100},
    {"Installation failed.", 0, 0},
};

const StageInfo& info(InstallStage stage) { return kStages[static_cast<std::size_t>(stage)]; }

std::atomic<bool> g_failed{false};

}  // namespace

std::string_view installStageText(InstallStage stage) { return info(stage).text; }

std::optional<std::uint32_t> installStagePercent(InstallStage stage, std::optional<std::uint64_t> done,
                                                 std::optional<std::uint64_t> total) {
  if (stage == InstallStage::Succeeded) return 100;
  if (stage == InstallStage::Failed) return std::nullopt;
  if (!done || !total || *total == 0) return std::nullopt;
  const StageInfo& s = info(stage);
  unsigned __int128 span = s.end - s.start;
  unsigned __int128 part = span * std::min(*done, *total) / *total;
  return std::min<std::uint32_t>(s.start + static_cast<std::uint32_t>(part), s.end);
}

ProgressReporter createProgressReporter(std::string_view name) {
  ProgressReporter r;
  if (Result<std::u16string> wide = wtf8ToUtf16(name)) r.window = createProgressWindow(*wide);
  if (!r.window) writeDiag({"\nInstalling ", name, "...\n"});
  setInstallStage(r, InstallStage::Preparing);
  return r;
}

void setInstallStage(ProgressReporter& r, InstallStage stage, std::optional<std::uint64_t> done,
                     std::optional<std::uint64_t> total) {
  std::optional<std::uint32_t> percent = installStagePercent(stage, done, total);
  bool marquee = !percent && stage != InstallStage::Succeeded;
  bool stageChanged = !r.stageShown || r.stage != stage;
  bool percentChanged = percent != r.percent;
  bool marqueeChanged = !r.marqueeRecorded || r.marquee != marquee;
  if (!stageChanged && !percentChanged && !marqueeChanged) return;

  if (r.window) {
    if (stageChanged || marqueeChanged) {
      if (Result<std::u16string> text = wtf8ToUtf16(installStageText(stage))) {
        setProgressText(r.window.get(), *text, marquee);
      }
    }
    if (!marquee && percent) setProgressPercent(r.window.get(), *percent);
  }
  if (stageChanged) diagLine({installStageText(stage)});

  r.stageShown = true;
  r.stage = stage;
  r.percent = percent;
  r.marqueeRecorded = true;
  r.marquee = marquee;
}

void finishProgressReporter(ProgressReporter& r, bool succeeded, std::string_view message) {
  if (r.finished) return;
  r.finished = true;
  if (succeeded) {
    setInstallStage(r, InstallStage::Succeeded);
  } else {
    g_failed.store(true);
    setInstallStage(r, InstallStage::Failed);
  }
  if (r.window) {
    // A message that is not WTF-8 gets the window's standard text.
    Result<std::u16string> text = wtf8ToUtf16(message);
    finishProgressWindow(r.window.get(), succeeded, text ? std::u16string_view(*text) : std::u16string_view());
  }
}

void closeProgressReporter(ProgressReporter& r) { closeProgressWindow(std::move(r.window)); }

void showFailureWindow(std::string_view message) {
  if (g_failed.load()) return;
  ProgressReporter r = createProgressReporter("Application");
  finishProgressReporter(r, false, message);
  closeProgressReporter(r);
}

bool installFailureShown() { return g_failed.load(); }
void resetInstallFailureForTesting() { g_failed.store(false); }

}  // namespace tl
