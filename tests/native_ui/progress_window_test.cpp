#include "native_ui/progress_window.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/task_dialog.h"
#include "platform/thread.h"
#include "support/dialog_host_env.h"

namespace tl {
namespace {

using test::DialogHostEnv;
using Events = std::vector<std::string>;

// A window whose final page closes itself.
ProgressWindowPtr openClosingItself(DialogHostEnv& host) {
  host.autoclose("1");
  return createProgressWindow(u"App");
}

TEST(ProgressWindow, NoWindowWithoutDisplayOrName) {
  DialogHostEnv::noDisplay();
  EXPECT_EQ(createProgressWindow(u"App"), nullptr);

  DialogHostEnv host;
  EXPECT_EQ(createProgressWindow(u""), nullptr);
  EXPECT_TRUE(host.events(1).empty());
}

TEST(ProgressWindow, NoWindowWhenItsThreadCannotStart) {
  DialogHostEnv host;
  platform::failThreadCreationForTesting(true);
  ProgressWindowPtr w = createProgressWindow(u"App");
  platform::failThreadCreationForTesting(false);
  EXPECT_EQ(w, nullptr);
  EXPECT_TRUE(host.events(1).empty());
}

TEST(ProgressWindow, OpensRunningWithCloseDisabledAndMarquee) {
  DialogHostEnv host;
  host.autoclose("1");
  ProgressWindowPtr w = createProgressWindow(u"Example App");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(host.events(1),
            (Events{"created",
                    "flags TDF_SHOW_MARQUEE_PROGRESS_BAR TDF_CAN_BE_MINIMIZED TDF_NO_SET_FOREGROUND "
                    "TDF_SIZE_TO_CONTENT",
                    "title Example App Setup", "instruction Installing Example App",
                    "content Preparing installation...", "icon information", "button 200 enabled Close",
                    "default 200", "bar style marquee", "button 200 disabled", "bar marquee on 30"}));
  closeProgressWindow(std::move(w));
}

TEST(ProgressWindow, CloseIsRefusedWhileRunning) {
  DialogHostEnv host;
  host.script("click 200 when enabled");
  ProgressWindowPtr w = createProgressWindow(u"App");
  ASSERT_NE(w, nullptr);
  // A click that reaches the dialog in spite of the disabled button (another
  // program's message) is refused as long as work is running.
  platform::sendMessage(w->hwnd.load(), platform::TDM_CLICK_BUTTON, kProgressCloseButton, 0);
  EXPECT_TRUE(host.has(1, "click 200 program S_FALSE"));
  EXPECT_NE(w->hwnd.load(), nullptr);
  setProgressText(w.get(), u"Still working", false);
  EXPECT_TRUE(host.has(1, "content Still working"));

  finishProgressWindow(w.get(), true, u"");
  EXPECT_TRUE(host.has(1, "click 200 user S_OK"));
  EXPECT_TRUE(host.has(1, "destroyed 200"));
  closeProgressWindow(std::move(w));
}

TEST(ProgressWindow, FinalPageWaitsForTheUserUnlessAutocloseIsExactlyOne) {
  struct Case {
    const char* autoclose;  // nullptr: not set
    bool closesItself;
  };
  for (const Case& c : {Case{"1", true}, Case{nullptr, false}, Case{"true", false}, Case{"11", false},
                        Case{"", false}, Case{" 1", false}}) {
    SCOPED_TRACE(c.autoclose ? c.autoclose : "(unset)");
    DialogHostEnv host;
    if (c.autoclose) host.autoclose(c.autoclose);
    if (!c.closesItself) host.script("click 200 when enabled");
    ProgressWindowPtr w = createProgressWindow(u"App");
    ASSERT_NE(w, nullptr);
    std::size_t opened = host.events(1).size();
    finishProgressWindow(w.get(), true, u"All done.");
    // finish returned: the dialog has ended.
    EXPECT_EQ(w->hwnd.load(), nullptr);

    Events all = host.events(1);
    Events page(all.begin() + static_cast<long>(opened), all.end());
    Events expected{"bar marquee off", "bar style normal", "bar pos 100", "instruction Installation complete",
                    "content All done.", "button 200 enabled"};
    if (c.closesItself) {
      expected.push_back("click 200 program S_OK");
    } else {
      expected.insert(expected.end(), {"foreground", "flash", "click 200 user S_OK"});
    }
    expected.push_back("destroyed 200");
    EXPECT_EQ(page, expected);
    EXPECT_EQ(host.has(1, "foreground"), !c.closesItself);
    closeProgressWindow(std::move(w));
  }
}

TEST(ProgressWindow, FailurePageWithStandardText) {
  DialogHostEnv host;
  ProgressWindowPtr w = openClosingItself(host);
  ASSERT_NE(w, nullptr);
  setProgressPercent(w.get(), 40);
  finishProgressWindow(w.get(), false, u"");
  EXPECT_EQ(host.events(1, "bar "), (Events{"bar style marquee", "bar marquee on 30", "bar marquee off",
                                            "bar style normal", "bar pos 40", "bar state error", "bar pos 100"}));
  EXPECT_TRUE(host.has(1, "instruction Installation failed"));
  EXPECT_TRUE(host.has(1, "content The installer could not complete. Try again or contact the application "
                          "publisher."));
  EXPECT_TRUE(host.has(1, "icon error"));
  closeProgressWindow(std::move(w));
}

TEST(ProgressWindow, NothingChangesAfterTheFinalPage) {
  DialogHostEnv host;
  ProgressWindowPtr w = openClosingItself(host);
  ASSERT_NE(w, nullptr);
  finishProgressWindow(w.get(), true, u"Done.");
  std::string log = host.text();
  std::uint64_t messages = platform::taskDialogMessagesHandledForTesting();

  finishProgressWindow(w.get(), false, u"Again.");
  setProgressText(w.get(), u"Late", true);
  setProgressPercent(w.get(), 50);
  closeProgressWindow(std::move(w));

  EXPECT_EQ(platform::taskDialogMessagesHandledForTesting(), messages);
  EXPECT_EQ(host.text(), log);
}

TEST(ProgressWindow, PercentIsCappedAndTextNeedsContent) {
  DialogHostEnv host;
  ProgressWindowPtr w = openClosingItself(host);
  ASSERT_NE(w, nullptr);
  setProgressPercent(w.get(), 250);
  std::uint64_t messages = platform::taskDialogMessagesHandledForTesting();
  setProgressText(w.get(), u"", false);
  setProgressText(nullptr, u"x", false);
  setProgressPercent(nullptr, 1);
  finishProgressWindow(nullptr, true, u"x");
  EXPECT_EQ(platform::taskDialogMessagesHandledForTesting(), messages);
  EXPECT_TRUE(host.has(1, "bar pos 100"));
  closeProgressWindow(std::move(w));
}

TEST(ProgressWindow, CloseWhileRunningEndsTheDialog) {
  DialogHostEnv host;
  ProgressWindowPtr w = createProgressWindow(u"App");
  ASSERT_NE(w, nullptr);
  closeProgressWindow(std::move(w));
  Events events = host.events(1);
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(Events(events.end() - 3, events.end()),
            (Events{"button 200 enabled", "click 200 program S_OK", "destroyed 200"}));
}

TEST(ProgressWindowDeathTest, ForgottenClickEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // An empty script: the host exists, and no click is scripted.
  DialogHostEnv::noDisplay();
  ::setenv("TAMBERLOCK_POSIX_UI_SCRIPT", "", 1);
  EXPECT_EXIT(
      {
        ProgressWindowPtr w = createProgressWindow(u"App");
        finishProgressWindow(w.get(), true, u"Done.");
      },
      testing::ExitedWithCode(3), "dialog 1 waits for the user and the script has no action left");
  DialogHostEnv::noDisplay();
}

}  // namespace
}  // namespace tl
