#include "platform/task_dialog.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/thread.h"
#include "support/dialog_host_env.h"

namespace tl::platform {
namespace {

using test::DialogHostEnv;
using Events = std::vector<std::string>;

// Button 10 refuses to close the dialog; button 11 closes it.
HRESULT refuseTen(HWND, std::uint32_t notification, WPARAM w, LPARAM, LPARAM) {
  return notification == TDN_BUTTON_CLICKED && w == 10 ? S_FALSE : S_OK;
}

HRESULT disableTen(HWND hwnd, std::uint32_t notification, WPARAM, LPARAM, LPARAM) {
  if (notification == TDN_CREATED) sendMessage(hwnd, TDM_ENABLE_BUTTON, 10, 0);
  return S_OK;
}

TaskDialogConfig twoButtons(TaskDialogCallback callback) {
  TaskDialogConfig c;
  c.buttons = {{10, u"Ten"}, {11, u"Eleven"}};
  c.defaultButton = 11;
  c.callback = callback;
  return c;
}

TEST(TaskDialog, FailsWithoutDisplay) {
  DialogHostEnv::noDisplay();
  Result<int> r = taskDialogIndirect(twoButtons(nullptr));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Error::OperationUnsupported);
}

TEST(TaskDialog, ScriptInlineOrFromFile) {
  DialogHostEnv host;
  std::string file = host.logPath() + ".script";
  std::ofstream(file) << "# the user tries everything\nclose\nclick 10   # refused\n\n  choose 11\n";
  for (const std::string& script : {std::string("close; click 10;choose 11"), file}) {
    SCOPED_TRACE(script);
    DialogHostEnv run;
    run.script(script);
    Result<int> r = taskDialogIndirect(twoButtons(refuseTen));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, 11);
    Events e = run.events(1);
    EXPECT_EQ(Events(e.end() - 4, e.end()),
              (Events{"close user ignored", "click 10 user S_FALSE", "click 11 user S_OK", "destroyed 11"}));
  }
}

TEST(TaskDialog, UserCannotClickADisabledButton) {
  DialogHostEnv host;
  host.script("click 10\nclick 11");
  Result<int> r = taskDialogIndirect(twoButtons(disableTen));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, 11);
  Events e = host.events(1);
  EXPECT_EQ(Events(e.end() - 4, e.end()),
            (Events{"button 10 disabled", "click 10 user disabled", "click 11 user S_OK", "destroyed 11"}));
}

TEST(TaskDialogDeathTest, ScriptThatCannotGoOnEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* script;
    const char* message;
  };
  for (const Case& c : {Case{"", "dialog 1 waits for the user and the script has no action left"},
                        Case{"click 10 when enabled", "with button 10 disabled"},
                        Case{"click 12", "clicks button 12, which dialog 1 does not have"},
                        Case{"press 11", "script action not understood: \"press 11\""}}) {
    SCOPED_TRACE(c.script);
    DialogHostEnv::noDisplay();
    ::setenv("TAMBERLOCK_POSIX_UI_SCRIPT", c.script, 1);
    EXPECT_EXIT((void)taskDialogIndirect(twoButtons(disableTen)), testing::ExitedWithCode(3), c.message);
  }
  DialogHostEnv::noDisplay();
}

// A dialog on a thread of its own, driven from the test's thread.
struct WorkerDialog {
  std::atomic<HWND> hwnd{nullptr};
  Event created;
  std::mutex mutex;
  std::vector<std::thread::id> callbackThreads;

  static HRESULT callback(HWND h, std::uint32_t notification, WPARAM, LPARAM, LPARAM data) {
    auto* self = reinterpret_cast<WorkerDialog*>(data);
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      self->callbackThreads.push_back(std::this_thread::get_id());
    }
    if (notification == TDN_CREATED) {
      self->hwnd.store(h);
      self->created.set();
    }
    return S_OK;
  }
};

TEST(TaskDialog, MessagesFromOtherThreadsAndClicksOnlyOnceTheCreatorWaits) {
  DialogHostEnv host;
  host.script("click 1");
  WorkerDialog d;
  d.created = Event::createManualReset().take();
  std::thread::id dialogThread;
  Result<Thread> t = Thread::create([&]() -> std::uint32_t {
    dialogThread = std::this_thread::get_id();
    TaskDialogConfig c;
    c.flags = TDF_NO_SET_FOREGROUND;
    c.callback = WorkerDialog::callback;
    c.callbackData = reinterpret_cast<LPARAM>(&d);
    Result<int> r = taskDialogIndirect(c);
    return r.ok() ? static_cast<std::uint32_t>(*r) : 99;
  });
  ASSERT_TRUE(t.ok());
  d.created.wait();
  HWND h = d.hwnd.load();
  std::u16string text = u"a\nb\\c";
  // The dialog is idle, but its creator has not waited for it yet: the
  // scripted click must not come, so the dialog is still there to answer.
  EXPECT_EQ(sendMessage(h, TDM_SET_ELEMENT_TEXT, TDE_CONTENT, reinterpret_cast<LPARAM>(text.c_str())), 1);
  EXPECT_EQ(sendMessage(h, TDM_SET_ELEMENT_TEXT, TDE_CONTENT, reinterpret_cast<LPARAM>(text.c_str())), 1);
  EXPECT_TRUE(setForegroundWindow(h));
  EXPECT_EQ(t->wait(), 1u);

  Events e = host.events(1);
  EXPECT_EQ(Events(e.end() - 4, e.end()),
            (Events{"content a\\nb\\\\c", "foreground", "click 1 user S_OK", "destroyed 1"}));
  EXPECT_TRUE(host.has(1, "button 1 enabled OK"));
  for (std::thread::id id : d.callbackThreads) EXPECT_EQ(id, dialogThread);
  EXPECT_EQ(d.callbackThreads.size(), 3u);  // created, clicked, destroyed
  // The window is gone: its handle is harmless.
  EXPECT_EQ(sendMessage(h, TDM_SET_ELEMENT_TEXT, TDE_CONTENT, reinterpret_cast<LPARAM>(text.c_str())), 0);
  EXPECT_FALSE(flashWindow(h, true));
}

}  // namespace
}  // namespace tl::platform
