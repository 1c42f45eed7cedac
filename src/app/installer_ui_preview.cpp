#include "app/installer_ui_preview.h"

#include "native_ui/progress_reporter.h"
#include "native_ui/uninstall_choice.h"
#include "platform/io_context.h"

namespace tl {

namespace {

constexpr std::string_view kPreviewName = "Example App";
constexpr std::uint64_t kPauseMs = 80;

void pauseThen(ProgressReporter& r, InstallStage stage, std::optional<std::uint64_t> done = std::nullopt,
               std::optional<std::uint64_t> total = std::nullopt) {
  io().sleepMs(kPauseMs);
  setInstallStage(r, stage, done, total);
}

}  // namespace

Status runInstallerUiPreview(bool errorVariant) {
  ProgressReporter r = createProgressReporter(kPreviewName);
  for (InstallStage stage : {InstallStage::Decompressing, InstallStage::Extracting}) {
    for (std::uint64_t done = 0; done <= 100; done += 10) pauseThen(r, stage, done, 100);
  }
  pauseThen(r, InstallStage::Installing);
  pauseThen(r, InstallStage::Integrating);
  io().sleepMs(kPauseMs);
  if (errorVariant) {
    finishProgressReporter(r, false, "Preview of an installation failure. No files were changed.");
  } else {
    finishProgressReporter(r, true, "Preview completed. No application was installed.");
    (void)previewUninstallChoice(kPreviewName);
  }
  closeProgressReporter(r);
  return success();
}

}  // namespace tl
