// The installer run in-process: payload, window pages, the mutex, the
// checks of where it may write, and the launch.
#include "installer/self_extracting_installer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/install_mutex.h"
#include "installer/app_launch.h"
#include "installer/channel_root_preparation.h"
#include "installer/installer_fixture.h"
#include "native_ui/progress_reporter.h"
#include "platform/named_mutex.h"
#include "support/dialog_host_env.h"
#include "support/eventually.h"

namespace tl {
namespace {

using test::hostExists;
using test::treeOf;

const std::string kEmbedded = R"({"identifier":"com.example.demo","name":"Demo App","channel":"stable","hash":"b7"})";

class InstallerRun : public testing::Test {
 protected:
  void SetUp() override {
    resetInstallFailureForTesting();
    // The sandbox's channel root does not exist yet: the run makes it.
    std::filesystem::remove_all(sb_.box.host(sb_.box.userRel(std::string("AppData/Local/") + test::kAppId)));
    launched_ = sb_.box.host("launched.txt");
    tar_ = test::TarBuilder()
               .dir("DemoApp")
               .dir("DemoApp/bin")
               .file("DemoApp/bin/launcher.exe", "#!/bin/sh\necho started \"$#\" > '" + launched_ + "'\n")
               .dir("DemoApp/Resources")
               .file("DemoApp/Resources/uninstall", "manager")
               .end()
               .bytes();
  }
  void TearDown() override { resetInstallFailureForTesting(); }

  std::string appendedInstaller(const std::string& metadata) {
    sb_.box.writeFile("Setup.exe", "binary TAMBERLOCK_METADATA_V1 in code\n" + std::string("TAMBERLOCK_METADATA_V1") +
                                       metadata + "TAMBERLOCK_ARCHIVE_V1" + test::zstdCompress(tar_));
    return sb_.box.win("Setup.exe");
  }
  Result<InstallerOutcome> run(const std::string& exe) {
    testing::internal::CaptureStderr();
    Result<InstallerOutcome> r = runSelfExtractingInstaller(exe);
    err_ = testing::internal::GetCapturedStderr();
    return r;
  }
  std::string localTree() const {
    std::string out;
    for (const std::string& p : treeOf(sb_.box.host(sb_.box.userRel("AppData/Local")))) out += p + "\n";
    return out;
  }

  test::InstallerSandbox sb_;
  std::string launched_;
  std::string tar_;
  std::string err_;
};

TEST_F(InstallerRun, AppendedPayloadInstallsAndLaunches) {
  test::DialogHostEnv ui;
  ui.autoclose("1");
  const std::string exe = appendedInstaller(kEmbedded);
  Result<InstallerOutcome> r = run(exe);
  ASSERT_TRUE(r.ok()) << err_;
  EXPECT_EQ(*r, InstallerOutcome::Installed);
  EXPECT_EQ(treeOf(sb_.host("self-extraction")), std::vector<std::string>{"b7.recipe.json"});
  const std::size_t offset = 38 + 22 + kEmbedded.size();
  EXPECT_NE(err_.find("Preparing installation...\nSelf-extracting archive found at offset " + std::to_string(offset) +
                      "\nExtracting application files...\n"),
            std::string::npos)
      << err_;
  EXPECT_TRUE(ui.has(1, "content The application was installed successfully."));
  // The launcher runs with its path as its only argument.
  test::eventually([&] { return test::IntegrationSandbox::readHost(launched_) == "started 0\n"; });
  EXPECT_EQ(test::IntegrationSandbox::readHost(launched_), "started 0\n");
}

// A file of the running application that cannot be moved gets the page
// that says so.
TEST_F(InstallerRun, LockedFilePage) {
  test::DialogHostEnv ui;
  ui.autoclose("1");
  sb_.box.makeDirs(sb_.channelRel("app"));
  const std::string exe = appendedInstaller(kEmbedded);
  test::FaultGuard guard(test::failOn(FsOp::Rename, "\\app", Error::FileBusy));
  Result<InstallerOutcome> r = run(exe);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Error::FileBusy) << err_;
  EXPECT_TRUE(ui.has(1, "content The application is still running or its files are locked. Close it and try again."))
      << ui.text();
  EXPECT_TRUE(ui.has(1, "instruction Installation failed"));
  EXPECT_TRUE(installFailureShown());
  EXPECT_TRUE(hostExists(sb_.host("app")));
}

TEST_F(InstallerRun, OccupiedMutexTouchesNothing) {
  const std::string exe = appendedInstaller(kEmbedded);
  const std::string before = localTree();
  std::mutex m;
  std::condition_variable cv;
  bool held = false;
  bool done = false;
  std::thread holder([&] {
    Result<InstallLock> lock = acquireInstallMutex(sb_.win(""), platform::kInfinite);
    std::unique_lock<std::mutex> g(m);
    held = lock.ok();
    cv.notify_all();
    cv.wait(g, [&] { return done; });
  });
  {
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [&] { return held; });
  }
  test::DialogHostEnv ui;
  ui.autoclose("1");
  Result<InstallerOutcome> r = run(exe);
  {
    std::lock_guard<std::mutex> g(m);
    done = true;
  }
  cv.notify_all();
  holder.join();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Error::InstallationAlreadyInProgress);
  EXPECT_TRUE(ui.has(1, "content Another installation is already in progress. Close it before trying again."));
  EXPECT_EQ(localTree(), before);
}

// Where the installation may write: below a real local application-data
// folder, through real identifier and channel folders only.
TEST_F(InstallerRun, UnsafeLocationsAreRefusedBeforeAnyWrite) {
  sb_.box.makeDirs("outside");
  const std::string outside = sb_.box.host("outside");
  const std::string local = sb_.box.host(sb_.box.userRel("AppData/Local"));
  struct Case {
    const char* name;
    std::function<void()> setup;
  };
  const std::vector<Case> cases = {
      {"empty", [&] { sb_.box.setEnv("LOCALAPPDATA", ""); }},
      {"relative", [&] { sb_.box.setEnv("LOCALAPPDATA", "rel\\Local"); }},
      {"drive-relative", [&] { sb_.box.setEnv("LOCALAPPDATA", "Z:rel"); }},
      {"missing", [&] { sb_.box.setEnv("LOCALAPPDATA", sb_.box.win("nowhere")); }},
      {"a link", [&] {
         ASSERT_EQ(::symlink(outside.c_str(), sb_.box.host("linked").c_str()), 0);
         sb_.box.setEnv("LOCALAPPDATA", sb_.box.win("linked"));
       }},
      {"identifier folder a link", [&] {
         ASSERT_EQ(::symlink(outside.c_str(), (local + "/" + test::kAppId).c_str()), 0);
       }},
      {"channel root a link", [&] {
         std::filesystem::create_directory(local + "/" + test::kAppId);
         ASSERT_EQ(::symlink(outside.c_str(), (local + "/" + test::kAppId + "/stable").c_str()), 0);
       }},
  };
  const std::string exe = appendedInstaller(kEmbedded);
  const std::string cwd = std::filesystem::current_path();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(local + "/" + test::kAppId);
    std::filesystem::remove(sb_.box.host("linked"));
    sb_.box.setEnv("LOCALAPPDATA", sb_.box.localAppData());
    c.setup();
    // A relative folder would be taken from the working folder.
    std::filesystem::current_path(sb_.box.host("outside"));
    Result<InstallerOutcome> r = run(exe);
    std::filesystem::current_path(cwd);
    ASSERT_FALSE(r.ok()) << err_;
    EXPECT_EQ(r.error(), Error::InvalidUninstallLocation);
    EXPECT_EQ(treeOf(outside), std::vector<std::string>{});
  }
}

TEST(ChannelRootPreparation, MakesMissingFoldersInTheirPlaces) {
  test::IntegrationSandbox box;
  const std::string local = box.localAppData();
  Result<std::string> root = installerChannelRoot("com.x", "dev");
  ASSERT_TRUE(root.ok());
  EXPECT_EQ(*root, local + "\\com.x\\dev");
  Result<InstallLayout> layout = prepareChannelRoot(*root, "com.x", "dev");
  ASSERT_TRUE(layout.ok());
  EXPECT_EQ(layout->appDir, local + "\\com.x\\dev\\app");
  EXPECT_TRUE(hostExists(box.host(box.userRel("AppData/Local/com.x/dev"))));
  // Twice is fine; a root elsewhere is not made.
  EXPECT_TRUE(prepareChannelRoot(*root, "com.x", "dev").ok());
  for (const std::string& wrong : {local + "\\other\\dev", local + "\\com.x\\dev\\deeper", local + "\\com.x"}) {
    Result<InstallLayout> r = prepareChannelRoot(wrong, "com.x", "dev");
    ASSERT_FALSE(r.ok()) << wrong;
    EXPECT_EQ(r.error(), Error::InvalidUninstallLocation);
  }
  EXPECT_FALSE(hostExists(box.host(box.userRel("AppData/Local/other"))));
  EXPECT_FALSE(hostExists(box.host(box.userRel("AppData/Local/com.x/dev/deeper"))));
}

TEST(AppLaunch, FailureIsOneWarning) {
  test::TempDir dir;
  std::filesystem::create_directories(dir.host("app/bin"));
  testing::internal::CaptureStderr();
  launchInstalledApp(dir.win("app"));
  std::ofstream(dir.host("app/bin/launcher.exe")) << "not a program";
  launchInstalledApp(dir.win("app"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("Warning: The application was installed, but it could not be launched: error.FileNotFound\n"), 0u)
      << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2);
}

}  // namespace
}  // namespace tl
