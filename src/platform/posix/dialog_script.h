#pragma once
// The dialog host's script: the user's clicks, from TAMBERLOCK_POSIX_UI_SCRIPT,
// played in order across all the dialogs of the process.
#include <optional>
#include <string_view>

namespace tl::platform::posix {

inline constexpr std::string_view kDialogScriptVariable = "TAMBERLOCK_POSIX_UI_SCRIPT";

struct ScriptAction {
  enum Kind { Click, Close } kind = Click;
  int id = 0;
  bool whenEnabled = false;
};

// A new dialog: reads the script again when the variable's value changed
// (an action it does not understand ends the process) and gives the dialog
// its number, counted from 1.
int startScriptedDialog();
// The next action; none when the script has none left.
std::optional<ScriptAction> nextScriptAction();
// Forgets the script and the count of dialogs (tests).
void resetDialogScript();

}  // namespace tl::platform::posix
