#include "native_ui/uninstall_choice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/dialog_host_env.h"

namespace tl {
namespace {

using test::DialogHostEnv;
using Events = std::vector<std::string>;

TEST(UninstallChoice, AnswerFollowsTheButton) {
  struct Case {
    const char* script;
    UninstallChoice expected;
    const char* lastClick;
  };
  for (const Case& c : {Case{"choose 100", UninstallChoice::AppOnly, "click 100 user S_OK"},
                        Case{"choose 101", UninstallChoice::AppAndData, "click 101 user S_OK"},
                        Case{"click 2", UninstallChoice::Cancel, "click 2 user S_OK"},
                        Case{"close", UninstallChoice::Cancel, "close user S_OK"}}) {
    SCOPED_TRACE(c.script);
    DialogHostEnv host;
    host.script(c.script);
    EXPECT_EQ(confirmUninstall("Example App"), c.expected);
    Events events = host.events(1);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], c.lastClick);
  }
}

TEST(UninstallChoice, DialogLayout) {
  DialogHostEnv host;
  host.script("close");
  EXPECT_EQ(previewUninstallChoice("Ex\xC3\xA4mple"), UninstallChoice::Cancel);
  EXPECT_EQ(host.events(1), (Events{"created", "flags TDF_ALLOW_DIALOG_CANCELLATION TDF_SIZE_TO_CONTENT",
                                    "title Ex\xC3\xA4mple", "instruction Uninstall Ex\xC3\xA4mple?",
                                    "content UI preview only; no files will be removed.", "icon none",
                                    "button 100 enabled App", "button 101 enabled App and Data",
                                    "button 2 enabled Cancel", "default 100", "foreground",
                                    "close user S_OK", "destroyed 2"}));
}

TEST(UninstallChoice, CancelWithoutDialog) {
  DialogHostEnv::noDisplay();
  EXPECT_EQ(confirmUninstall("App"), UninstallChoice::Cancel);

  DialogHostEnv host;
  host.script("choose 100");
  EXPECT_EQ(confirmUninstall(""), UninstallChoice::Cancel);
  EXPECT_EQ(showUninstallChoice("bad \xFF name", "x"), UninstallChoice::Cancel);
  EXPECT_TRUE(host.text().empty());
}

}  // namespace
}  // namespace tl
