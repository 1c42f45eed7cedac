// The uninstall flow run in-process against the stand-in tools, up to the
// hand-over (which starts a real program and is covered end to end).
#include "uninstall/uninstall_flow.h"

#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "platform/fs.h"

#include "uninstall/integrated_install.h"

namespace tl {
namespace {

class UninstallFlow : public test::IntegratedInstall {
 protected:
  void SetUp() override {
    IntegratedInstall::SetUp();
    if (HasFatalFailure()) return;
    box_.makeDirs(channel("self-extraction"));
    box_.writeFile(channel("self-extraction/x.recipe.json"), "{}");
    box_.writeFile(channel("update.bat"), "rem");
    process::setOwnExecutablePathForTesting(box_.win(channel("uninstall.exe")));
  }

  std::string desktopLink() const { return box_.userRel("Desktop/Example App.lnk"); }
  Status uninstallQuietly() {
    testing::internal::CaptureStderr();
    Status s = runUninstall({true, false});
    stderr_ = testing::internal::GetCapturedStderr();
    return s;
  }
  // The names in a folder of the sandbox; the temporary folder by default.
  std::vector<std::string> entries(std::string_view rel = "") const {
    std::vector<std::string> names;
    std::string folder = rel.empty() ? box_.userRel("AppData/Local/Temp") : std::string(rel);
    if (DIR* d = ::opendir(box_.host(folder).c_str())) {
      while (dirent* e = ::readdir(d)) {
        if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..") names.push_back(e->d_name);
      }
      ::closedir(d);
    }
    return names;
  }
  void expectUntouched() const {
    EXPECT_TRUE(box_.exists(channel("app/bin/launcher.exe")));
    EXPECT_TRUE(box_.exists(channel("self-extraction/x.recipe.json")));
    EXPECT_TRUE(box_.exists(channel("update.bat")));
    EXPECT_TRUE(box_.exists(desktopLink()));
    EXPECT_TRUE(box_.exists(channel("uninstall.exe")));
    EXPECT_TRUE(registered());
    EXPECT_FALSE(callsContaining("/delete"));
    EXPECT_FALSE(callsContaining("Stop-Process"));
  }

  std::string stderr_;
};

// A file under app that stays locked: every removal is still tried, the
// error comes after the 60 attempts, the copy goes again and the
// registration stays for the next try.
TEST_F(UninstallFlow, ALockedApplicationKeepsTheRegistration) {
  int attempts = 0;
  io().setFaultHook([&](FsOp op, std::string_view path) -> Status {
    if (op != FsOp::DeleteDir || path != "app") return success();
    ++attempts;
    return Error::FileBusy;
  });
  Status s = uninstallQuietly();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::FileBusy);
  EXPECT_EQ(attempts, 60);
  EXPECT_EQ(slept(), 500u + 59u * 500);  // the pause after stopping processes, then the retries
  EXPECT_TRUE(box_.exists(channel("app/bin/launcher.exe")));
  EXPECT_FALSE(box_.exists(channel("self-extraction")));
  EXPECT_FALSE(box_.exists(channel("update.bat")));
  EXPECT_FALSE(box_.exists(desktopLink()));
  EXPECT_TRUE(box_.exists(channel("uninstall.exe")));
  EXPECT_TRUE(box_.exists(channel(".tamberlock-uninstall.json")));
  EXPECT_TRUE(registered());
  EXPECT_EQ(entries(), std::vector<std::string>{});
}

// A temporary folder the copy would refuse to run from is found out before
// anything is removed, and no copy is left behind.
TEST_F(UninstallFlow, ATemporaryFolderTheCopyWouldRefuseChangesNothing) {
  box_.makeDirs("elsewhere");
  ASSERT_EQ(::symlink(box_.host("elsewhere").c_str(), box_.host("linkedTemp").c_str()), 0);
  for (const std::string& temp : {box_.win("linkedTemp"), std::string("Temp"), std::string("Z:Temp")}) {
    box_.setEnv("TEMP", temp);
    Status s = uninstallQuietly();
    ASSERT_FALSE(s.ok()) << temp;
    EXPECT_EQ(s.error(), Error::InvalidUninstallLocation) << temp;
    expectUntouched();
  }
  EXPECT_EQ(entries("elsewhere"), std::vector<std::string>{});
}

TEST_F(UninstallFlow, AFolderAtAShortcutPathStopsBeforeAnyRemoval) {
  ::unlink(box_.host(desktopLink()).c_str());
  box_.makeDirs(desktopLink());
  Status s = uninstallQuietly();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::WindowsCommandFailed);
  EXPECT_TRUE(box_.exists(channel("app/bin/launcher.exe")));
  EXPECT_TRUE(box_.exists(channel("update.bat")));
  EXPECT_TRUE(registered());
  EXPECT_FALSE(callsContaining("/query"));  // stopped at the pre-check
  EXPECT_EQ(entries(), std::vector<std::string>{});
}

TEST_F(UninstallFlow, EntriesOfTheWrongKindAreRefused) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::function<void()> undo;
  } cases[] = {
      {"update.bat is a folder",
       [&] {
         ::unlink(box_.host(channel("update.bat")).c_str());
         box_.makeDirs(channel("update.bat"));
       },
       [&] {
         ::rmdir(box_.host(channel("update.bat")).c_str());
         box_.writeFile(channel("update.bat"), "rem");
       }},
      {"app is a link",
       [&] {
         ::rename(box_.host(channel("app")).c_str(), box_.host(channel("app.real")).c_str());
         ::symlink(box_.host(channel("app.real")).c_str(), box_.host(channel("app")).c_str());
       },
       [] {}},
  };
  for (const Case& c : cases) {
    c.arrange();
    Status s = uninstallQuietly();
    ASSERT_FALSE(s.ok()) << c.what;
    EXPECT_EQ(s.error(), Error::InvalidUninstallLocation) << c.what;
    EXPECT_TRUE(registered()) << c.what;
    EXPECT_FALSE(callsContaining("Test-Path")) << c.what;  // before the shortcut pre-check
    c.undo();
  }
  EXPECT_TRUE(box_.exists(channel("app.real/bin/launcher.exe")));
}

// Beside a removed application, what the update road names goes (letter
// case folded, a link as itself); the user's entries stay, and what cannot
// go (a deletion that keeps failing, a lock a running preparation holds)
// stays with a warning.
TEST_F(UninstallFlow, UpdateLeftoversGoWithTheApplicationAndTheUsersEntriesStay) {
  const std::string id = "0123456789abcdef0123456789abcdef";
  struct Entry {
    std::string name;
    bool folder;
    bool goes;
  } table[] = {
      {"app.prepared-1abc", true, true},
      {"APP.Prepare-" + id, true, true},
      {"app.update-" + id, true, true},
      {"app.previous", true, true},
      {".tamberlock-prepare-" + id + ".json", false, true},
      {".tamberlock-update-" + id + ".json", false, true},
      {".Tamberlock-Update-" + id + ".result.JSON", false, true},
      {".tamberlock-apply.lock", false, true},
      {"settings.json", false, false},
      {"app.prepared", true, false},
      {"app.previous.bak", false, false},
      {"myapp.update-" + id, true, false},
      {".tamberlock-update-" + id + ".json.partial", false, false},
      {".tamberlock-prepare.json", false, false},
      {".tamberlock-update-busy.json", false, false},  // deletion fails below
      {".tamberlock-prepare.lock", false, false},       // held below
  };
  for (const Entry& e : table) {
    if (e.folder) box_.makeDirs(channel(e.name + "/bin"));
    box_.writeFile(channel(e.folder ? e.name + "/bin/launcher.exe" : e.name), "x");
  }
  box_.makeDirs("outside");
  box_.writeFile("outside/keep.txt", "keep");
  ASSERT_EQ(::symlink(box_.host("outside").c_str(), box_.host(channel("app.prepare-link")).c_str()), 0);
  io().setFaultHook([](FsOp op, std::string_view name) -> Status {
    return op == FsOp::DeleteFile && name == ".tamberlock-update-busy.json" ? Status(Error::FileBusy) : success();
  });
  fs::Dir root = fs::openDir(box_.win(channel())).value();
  fs::File lock = fs::createFileAt(root, ".tamberlock-prepare.lock", false, false).value();
  ASSERT_TRUE(fs::tryLockRange(lock, 0, 1).value());

  (void)uninstallQuietly();  // the hand-over cannot start the sandbox's manager
  for (const Entry& e : table) EXPECT_EQ(box_.exists(channel(e.name)), !e.goes) << e.name;
  EXPECT_FALSE(box_.exists(channel("app.prepare-link")));
  EXPECT_TRUE(box_.exists("outside/keep.txt"));
  EXPECT_FALSE(box_.exists(channel("app")));
  EXPECT_NE(stderr_.find("Warning: Could not remove update leftover .tamberlock-update-busy.json: error.FileBusy\n"),
            std::string::npos)
      << stderr_;
  EXPECT_NE(stderr_.find("Warning: Could not remove update leftover .tamberlock-prepare.lock: error.FileBusy\n"),
            std::string::npos)
      << stderr_;
}

}  // namespace
}  // namespace tl
