#include "native_ui/uninstall_choice.h"

#include "common/wtf8.h"
#include "native_ui/wide_concat.h"
#include "platform/task_dialog.h"

namespace tl {

namespace {

using namespace platform;

constexpr int kAppButton = 100;
constexpr int kAppAndDataButton = 101;

}  // namespace

UninstallChoice showUninstallChoice(std::string_view name, std::string_view content) {
  if (name.empty()) return UninstallChoice::Cancel;
  Result<std::u16string> wideName = wtf8ToUtf16(name);
  Result<std::u16string> wideContent = wtf8ToUtf16(content);
  if (!wideName || !wideContent) return UninstallChoice::Cancel;
  std::optional<std::u16string> instruction = buildWideConcat({u"Uninstall ", *wideName, u"?"});
  if (!instruction) return UninstallChoice::Cancel;

  TaskDialogConfig config;
  config.flags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_SIZE_TO_CONTENT;
  config.windowTitle = std::move(*wideName);
  config.mainInstruction = std::move(*instruction);
  config.content = std::move(*wideContent);
  config.buttons = {{kAppButton, u"App"}, {kAppAndDataButton, u"App and Data"}, {IDCANCEL, u"Cancel"}};
  config.defaultButton = kAppButton;
  Result<int> button = taskDialogIndirect(config);
  if (!button) return UninstallChoice::Cancel;
  switch (*button) {
    case kAppButton: return UninstallChoice::AppOnly;
    case kAppAndDataButton: return UninstallChoice::AppAndData;
    default: return UninstallChoice::Cancel;
  }
}

UninstallChoice confirmUninstall(std::string_view name) {
  return showUninstallChoice(name, "The application will be removed.");
}

UninstallChoice previewUninstallChoice(std::string_view name) {
  return showUninstallChoice(name, "UI preview only; no files will be removed.");
}

}  // namespace tl
