// The installation into place against real folders and the stand-in tools:
// swaps, repairs of interrupted runs, retries and rollback, with failures of
// the file layer injected where Linux would never fail on its own.
#include "installer/app_installation.h"

#include <gtest/gtest.h>

#include <atomic>

#include "archive/archive_rebuild.h"
#include "archive/update_recipe.h"
#include "installer/installer_fixture.h"
#include "platform/fs.h"
#include "support/fake_clock.h"

namespace tl {
namespace {

using test::endsWith;
using test::failOn;
using test::FaultGuard;
using test::hostExists;
using test::treeOf;

const std::vector<std::string> kAppTree = {"Resources",
                                           "Resources/uninstall",
                                           "Resources/v2.dat",
                                           "Resources/version.json",
                                           "bin",
                                           "bin/launcher.exe"};

test::FakeClock& fakeClock() { return dynamic_cast<test::FakeClock&>(io().clock()); }

class AppInstallation : public testing::Test {
 protected:
  void SetUp() override {
    tar_ = test::demoAppTar("2").end().bytes();
    archive_ = test::zstdCompress(tar_);
  }

  Status install(const InstallerMetadata& m, bool fromFile = false) {
    InstallerArchiveSource source = InstallerArchiveSource::appended(archive_);
    if (fromFile) {
      sb_.box.writeFile("Setup.tar.zst", archive_);
      source = InstallerArchiveSource::sideFile(sb_.box.win("Setup.tar.zst"));
    }
    reporter_ = ProgressReporter{};
    testing::internal::CaptureStderr();
    Status s = extractAndInstallApp(source, m, sb_.selfExtractionDir(), sb_.appDir(), reporter_);
    err_ = testing::internal::GetCapturedStderr();
    return s;
  }
  Status install() { return install(test::demoMetadata()); }

  // An earlier installation: version 1 in app, its recipe and a cached
  // archive in self-extraction.
  void earlierInstall() {
    sb_.box.makeDirs(sb_.channelRel("app/bin"));
    sb_.box.writeFile(sb_.channelRel("app/bin/launcher.exe"), "old launcher");
    sb_.box.writeFile(sb_.channelRel("app/old.txt"), "old");
    sb_.box.makeDirs(sb_.channelRel("self-extraction"));
    sb_.box.writeFile(sb_.channelRel("self-extraction/build0.recipe.json"), "{}");
    sb_.box.writeFile(sb_.channelRel("self-extraction/build0.tar"), "cached");
  }

  // The new application in app, only its recipe in self-extraction, nothing
  // left beside them, and the recipe rebuilds the archive byte for byte.
  void expectInstalled(const std::string& recipeName = "build1.recipe.json") {
    EXPECT_EQ(treeOf(sb_.host("app")), kAppTree) << err_;
    EXPECT_EQ(treeOf(sb_.host("self-extraction")), std::vector<std::string>{recipeName});
    for (const char* gone : {"app.previous", "self-extraction.partial", "self-extraction.previous"}) {
      EXPECT_FALSE(hostExists(sb_.host(gone))) << gone;
    }
    Result<UpdateRecipe> recipe =
        parseRecipe(test::IntegrationSandbox::readHost(sb_.host("self-extraction/" + recipeName)));
    ASSERT_TRUE(recipe.ok());
    Result<fs::Dir> root = fs::openDir(sb_.appDir());
    ASSERT_TRUE(root.ok());
    StringWriter rebuilt;
    ASSERT_TRUE(rebuildArchiveFromRecipe(*recipe, *root, rebuilt).ok());
    EXPECT_TRUE(rebuilt.str() == tar_);
    EXPECT_TRUE(hostExists(sb_.host("uninstall.exe")));
    EXPECT_TRUE(hostExists(sb_.host(".tamberlock-uninstall.json")));
  }

  // The earlier installation as earlierInstall left it.
  void expectEarlierKept() {
    EXPECT_EQ(test::IntegrationSandbox::readHost(sb_.host("app/old.txt")), "old");
    EXPECT_FALSE(hostExists(sb_.host("app.previous")));
    EXPECT_FALSE(hostExists(sb_.host("self-extraction.partial")));
  }

  test::InstallerSandbox sb_;
  std::string tar_;
  std::string archive_;
  ProgressReporter reporter_;
  std::string err_;
};

TEST_F(AppInstallation, CleanInstallFromEitherSource) {
  for (bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile);
    ASSERT_TRUE(install(test::demoMetadata(), fromFile).ok()) << err_;
    expectInstalled();
    EXPECT_NE(err_.find("CEF directory not found, skipping symlink creation\n"), std::string::npos);
    EXPECT_TRUE(endsWith(err_, " Done!\nInstallation completed successfully!\n")) << err_;
  }
}

TEST_F(AppInstallation, MetadataWithoutHashNamesTheCurrentRecipe) {
  ASSERT_TRUE(install(test::demoMetadata("")).ok()) << err_;
  expectInstalled("current.recipe.json");
}

TEST_F(AppInstallation, ReinstallReplacesTheEarlierVersionAndItsCache) {
  earlierInstall();
  ASSERT_TRUE(install().ok()) << err_;
  expectInstalled();
}

// Leftovers of runs cut off between two renames are put right first.
TEST_F(AppInstallation, RepairsLeftoversOfAnInterruptedRun) {
  struct Case {
    const char* name;
    std::function<void(test::InstallerSandbox&)> leave;
  };
  const std::vector<Case> cases = {
      {"app moved aside, not yet replaced",
       [](test::InstallerSandbox& sb) {
         sb.box.makeDirs(sb.channelRel("app.previous/bin"));
         sb.box.makeDirs(sb.channelRel("self-extraction"));
       }},
      {"both app folders",
       [](test::InstallerSandbox& sb) {
         sb.box.makeDirs(sb.channelRel("app/bin"));
         sb.box.makeDirs(sb.channelRel("app.previous/x"));
       }},
      {"partial folder, and a file named like it",
       [](test::InstallerSandbox& sb) {
         sb.box.makeDirs(sb.channelRel("self-extraction.partial/DemoApp/bin"));
         sb.box.writeFile(sb.channelRel("self-extraction.partial/DemoApp/stale"), "x");
       }},
      {"partial file", [](test::InstallerSandbox& sb) { sb.box.writeFile(sb.channelRel("self-extraction.partial"), "x"); }},
      {"self-extraction moved aside",
       [](test::InstallerSandbox& sb) {
         sb.box.makeDirs(sb.channelRel("self-extraction.previous"));
         sb.box.writeFile(sb.channelRel("self-extraction.previous/old.recipe.json"), "{}");
       }},
      {"both self-extraction folders",
       [](test::InstallerSandbox& sb) {
         sb.box.makeDirs(sb.channelRel("self-extraction"));
         sb.box.makeDirs(sb.channelRel("self-extraction.previous"));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::InstallerSandbox sb;
    c.leave(sb);
    InstallerArchiveSource source = InstallerArchiveSource::appended(archive_);
    ProgressReporter r;
    testing::internal::CaptureStderr();
    Status s = extractAndInstallApp(source, test::demoMetadata(), sb.selfExtractionDir(), sb.appDir(), r);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(s.ok()) << err;
    EXPECT_EQ(treeOf(sb.host("app")), kAppTree);
    EXPECT_EQ(treeOf(sb.host("self-extraction")), std::vector<std::string>{"build1.recipe.json"});
    for (const char* gone : {"app.previous", "self-extraction.partial", "self-extraction.previous"}) {
      EXPECT_FALSE(hostExists(sb.host(gone))) << gone;
    }
  }
}

TEST_F(AppInstallation, FolderNamedLikeAppInOtherCaseIsTheApp) {
  sb_.box.makeDirs(sb_.channelRel("App/bin"));
  sb_.box.writeFile(sb_.channelRel("App/old.txt"), "old");
  ASSERT_TRUE(install().ok()) << err_;
  std::vector<std::string> root = treeOf(sb_.host(""));
  EXPECT_EQ(std::count(root.begin(), root.end(), "App"), 0);
  expectInstalled();
}

TEST_F(AppInstallation, BundleNames) {
  EXPECT_EQ(appBundleName("Example App", "canary"), "ExampleApp-canary");
  EXPECT_EQ(appBundleName("Example App", "stable"), "ExampleApp");
  EXPECT_EQ(appBundleName(" Demo  App ", "dev"), "DemoApp-dev");
  EXPECT_EQ(appBundleName("   ", "stable"), "");
}

// Failures before the old application is touched leave it as it was and
// delete the partial folder.
TEST_F(AppInstallation, EarlyFailuresKeepTheEarlierInstallation) {
  struct Case {
    const char* name;
    std::string archive;
    InstallerMetadata metadata;
    Error expected;
  };
  InstallerMetadata spaces = test::demoMetadata();
  spaces.name = "   ";
  InstallerMetadata badHash = test::demoMetadata("a.b");
  std::string other = test::zstdCompress(test::demoAppTar("2", "OtherApp").end().bytes());
  std::string truncated = archive_.substr(0, archive_.size() - 9);
  std::string corrupt = archive_;
  corrupt[4] = static_cast<char>(corrupt[4] | 0x08);  // a reserved bit of the frame header
  std::string escaping = test::zstdCompress(
      test::TarBuilder().dir("DemoApp").file("DemoApp/../../escaped", "x").end().bytes());
  std::string twoRoots =
      test::zstdCompress(test::TarBuilder().dir("DemoApp").dir("Other").end().bytes());
  const std::vector<Case> cases = {
      {"bundle name of spaces", test::zstdCompress(test::demoAppTar("2", "x").end().bytes()), spaces,
       Error::InvalidAppBundleName},
      {"hash that cannot name a file", archive_, badHash, Error::InvalidArchiveHash},
      {"archive root named otherwise", other, test::demoMetadata(), Error::FileNotFound},
      {"truncated stream", truncated, test::demoMetadata(), Error::UnexpectedEndOfStream},
      {"corrupt stream", corrupt, test::demoMetadata(), Error::DecompressionFailed},
      {"not compressed at all", tar_, test::demoMetadata(), Error::DecompressionFailed},
      {"path leaving the root", escaping, test::demoMetadata(), Error::InvalidArchivePath},
      {"two roots", twoRoots, test::demoMetadata(), Error::MultipleArchiveRoots},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    earlierInstall();
    archive_ = c.archive;
    Status s = install(c.metadata);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error(), c.expected) << err_;
    EXPECT_EQ(reporter_.stage, InstallStage::Failed);
    expectEarlierKept();
    EXPECT_FALSE(hostExists(sb_.box.host("escaped")));
    EXPECT_FALSE(hostExists(sb_.box.host(sb_.box.userRel("escaped"))));
  }
}

// A package the integration would refuse is refused before the installed
// application is moved aside, with the integration's own error.
TEST_F(AppInstallation, PackagesThatCannotBeIntegratedKeepTheEarlierInstallation) {
  auto bundle = [] {
    return test::TarBuilder().dir("DemoApp").dir("DemoApp/bin").dir("DemoApp/Resources");
  };
  struct Case {
    const char* name;
    test::TarBuilder tar;
    Error expected;
  };
  const std::vector<Case> cases = {
      {"empty application folder", test::TarBuilder().dir("DemoApp"), Error::FileNotFound},
      {"no launcher", bundle().file("DemoApp/Resources/uninstall", "m"), Error::FileNotFound},
      {"bin a file", test::TarBuilder().dir("DemoApp").file("DemoApp/bin", "x").dir("DemoApp/Resources")
           .file("DemoApp/Resources/uninstall", "m"), Error::NotDir},
      {"no manager", bundle().file("DemoApp/bin/launcher.exe", "l"), Error::InvalidUninstallManager},
      {"manager a folder", bundle().file("DemoApp/bin/launcher.exe", "l").dir("DemoApp/Resources/uninstall"),
       Error::InvalidUninstallManager},
      {"manager a link", bundle().file("DemoApp/bin/launcher.exe", "l")
           .symlink("DemoApp/Resources/uninstall", "../bin/launcher.exe"), Error::InvalidUninstallManager},
      {"Resources a link", test::TarBuilder().dir("DemoApp").dir("DemoApp/bin").file("DemoApp/bin/launcher.exe", "l")
           .dir("DemoApp/res").file("DemoApp/res/uninstall", "m").symlink("DemoApp/Resources", "res"),
       Error::InvalidUninstallLocation},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    earlierInstall();
    test::TarBuilder tar = c.tar;
    archive_ = test::zstdCompress(tar.end().bytes());
    Status s = install();
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error(), c.expected) << err_;
    EXPECT_EQ(reporter_.stage, InstallStage::Failed);
    expectEarlierKept();
    EXPECT_EQ(treeOf(sb_.host("self-extraction")),
              (std::vector<std::string>{"build0.recipe.json", "build0.tar"}));
    EXPECT_FALSE(hostExists(sb_.host("uninstall.exe")));
  }
}

TEST_F(AppInstallation, WrongRootPrintsWhatWasUnpacked) {
  archive_ = test::zstdCompress(test::demoAppTar("2", "OtherApp").end().bytes());
  ASSERT_FALSE(install().ok());
  const std::string partial = sb_.win("self-extraction.partial");
  const std::string expected = "ERROR: Source directory does not exist: '" + partial +
                               "\\DemoApp' - error.FileNotFound\nDEBUG: Listing contents of extraction directory '" +
                               partial + "':\n";
  ASSERT_NE(err_.find(expected), std::string::npos) << err_;
  EXPECT_NE(err_.find("  - OtherApp (directory)\n"), std::string::npos);
  EXPECT_NE(err_.find("  - build1.recipe.json (file)\n"), std::string::npos);
}

TEST_F(AppInstallation, SideArchiveThatIsNoFileIsInvalidInstaller) {
  sb_.box.makeDirs("Setup.tar.zst");
  ProgressReporter r;
  testing::internal::CaptureStderr();
  Status s = extractAndInstallApp(InstallerArchiveSource::sideFile(sb_.box.win("Setup.tar.zst")),
                                  test::demoMetadata(), sb_.selfExtractionDir(), sb_.appDir(), r);
  testing::internal::GetCapturedStderr();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::InvalidInstaller);
  EXPECT_FALSE(hostExists(sb_.host("self-extraction.partial")));
}

// Windows opens a linked side archive through its link; so must we.
TEST_F(AppInstallation, SideArchiveThroughALinkInstalls) {
  sb_.box.writeFile("real.tar.zst", archive_);
  ASSERT_EQ(::symlink(sb_.box.host("real.tar.zst").c_str(), sb_.box.host("Setup.tar.zst").c_str()), 0);
  reporter_ = ProgressReporter{};
  testing::internal::CaptureStderr();
  Status s = extractAndInstallApp(InstallerArchiveSource::sideFile(sb_.box.win("Setup.tar.zst")),
                                  test::demoMetadata(), sb_.selfExtractionDir(), sb_.appDir(), reporter_);
  err_ = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(s.ok()) << err_;
  expectInstalled();
}

// The syncs of unpacked files end before anything moves: one that fails
// fails the installation with nothing moved into place.
TEST_F(AppInstallation, FailedSyncOfAnUnpackedFileMovesNothing) {
  earlierInstall();
  std::atomic<int> syncs{0};
  std::atomic<int> renames{0};
  FaultGuard guard([&](FsOp op, std::string_view) -> Status {
    if (op == FsOp::Rename) ++renames;
    return op == FsOp::Sync && ++syncs == 2 ? Status(Error::InputOutput) : success();
  });
  Status s = install();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::InputOutput);
  EXPECT_EQ(renames.load(), 0);
  expectEarlierKept();
  EXPECT_EQ(treeOf(sb_.host("self-extraction")),
            (std::vector<std::string>{"build0.recipe.json", "build0.tar"}));
}

TEST_F(AppInstallation, MoveInIsRetriedThenRolledBack) {
  earlierInstall();
  int attempts = 0;
  FaultGuard guard([&](FsOp op, std::string_view path) -> Status {
    if (op == FsOp::Rename && endsWith(path, "self-extraction.partial\\DemoApp")) {
      ++attempts;
      return Error::AccessDenied;
    }
    return success();
  });
  const std::uint64_t sleepsBefore = fakeClock().sleepCount();
  const std::uint64_t sleptBefore = fakeClock().totalSleptMs();
  Status s = install();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::AccessDenied);
  EXPECT_EQ(attempts, 60);
  EXPECT_EQ(fakeClock().sleepCount() - sleepsBefore, 59u);
  EXPECT_EQ(fakeClock().totalSleptMs() - sleptBefore, 59u * 500u);
  expectEarlierKept();
  EXPECT_EQ(treeOf(sb_.host("self-extraction")),
            (std::vector<std::string>{"build0.recipe.json", "build0.tar"}));
}

TEST_F(AppInstallation, MoveInThatSucceedsOnALaterAttempt) {
  int attempts = 0;
  FaultGuard guard([&](FsOp op, std::string_view path) -> Status {
    if (op == FsOp::Rename && endsWith(path, "self-extraction.partial\\DemoApp") && ++attempts < 4) {
      return Error::FileBusy;
    }
    return success();
  });
  ASSERT_TRUE(install().ok()) << err_;
  EXPECT_EQ(attempts, 4);
  expectInstalled();
}

TEST_F(AppInstallation, FirstInstallRollbackRemovesOnlyWhatItMade) {
  FaultGuard guard(failOn(FsOp::Rename, "self-extraction.partial", Error::AccessDenied));
  Status s = install();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::AccessDenied);
  EXPECT_EQ(treeOf(sb_.host("")), std::vector<std::string>{});
}

TEST_F(AppInstallation, AppThatCannotBeMovedAsideFailsAtOnce) {
  earlierInstall();
  FaultGuard guard(failOn(FsOp::Rename, "stable\\app", Error::AccessDenied));
  const std::uint64_t sleepsBefore = fakeClock().sleepCount();
  Status s = install();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::AccessDenied);
  EXPECT_EQ(fakeClock().sleepCount(), sleepsBefore);
  expectEarlierKept();
}

TEST_F(AppInstallation, FailedSelfExtractionSwapRestoresBothFolders) {
  earlierInstall();
  FaultGuard guard(failOn(FsOp::Rename, "self-extraction.partial", Error::AccessDenied));
  Status s = install();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::AccessDenied);
  expectEarlierKept();
  EXPECT_EQ(treeOf(sb_.host("self-extraction")),
            (std::vector<std::string>{"build0.recipe.json", "build0.tar"}));
  EXPECT_FALSE(hostExists(sb_.host("self-extraction.previous")));
}

TEST_F(AppInstallation, RollbackThatCannotRestoreSaysSo) {
  earlierInstall();
  FaultGuard guard([&](FsOp op, std::string_view path) -> Status {
    if (op == FsOp::Rename && endsWith(path, "self-extraction.partial")) return Error::AccessDenied;
    if (op == FsOp::Rename && endsWith(path, "app.previous")) return Error::FileBusy;
    if (op == FsOp::DeleteDir && endsWith(path, "stable\\app")) return Error::AccessDenied;
    return success();
  });
  ASSERT_FALSE(install().ok());
  EXPECT_NE(err_.find("WARNING: Failed to remove incomplete application during rollback: error.AccessDenied\n"),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find("ERROR: Failed to restore previous application during rollback: error.FileBusy\n"),
            std::string::npos);
  // The old application waits at app.previous for the next run to repair.
  EXPECT_EQ(test::IntegrationSandbox::readHost(sb_.host("app.previous/old.txt")), "old");
}

TEST_F(AppInstallation, PreviousAppThatCannotBeDeletedAfterCommitIsAWarning) {
  earlierInstall();
  FaultGuard guard(failOn(FsOp::DeleteDir, "app.previous", Error::FileBusy));
  ASSERT_TRUE(install().ok()) << err_;
  EXPECT_NE(err_.find("WARNING: Failed to remove previous application after commit: error.FileBusy\n"),
            std::string::npos);
  EXPECT_TRUE(hostExists(sb_.host("app.previous/old.txt")));
}

TEST_F(AppInstallation, IntegrationFailureLeavesTheNewApplication) {
  earlierInstall();
  sb_.box.addFault("reg.exe add * => exit 1");
  Status s = install();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::WindowsCommandFailed);
  EXPECT_EQ(reporter_.stage, InstallStage::Failed);
  EXPECT_EQ(treeOf(sb_.host("app")), kAppTree);
  EXPECT_FALSE(hostExists(sb_.host("app.previous")));
  EXPECT_EQ(treeOf(sb_.host("self-extraction")), std::vector<std::string>{"build1.recipe.json"});
}

// A link inside the application that points outside the channel root is
// moved and deleted as a link; what it points at is never touched.
TEST_F(AppInstallation, LinksToOutsideSurviveReinstallAndRollback) {
  sb_.box.makeDirs("outside/keep");
  sb_.box.writeFile("outside/keep/canary.txt", "canary");
  const std::vector<std::string> outside = treeOf(sb_.box.host("outside"));
  auto linkOutside = [&](const std::string& rel) {
    ASSERT_EQ(::symlink(sb_.box.host("outside").c_str(), sb_.host(rel).c_str()), 0);
  };

  earlierInstall();
  linkOutside("app/data");
  {
    FaultGuard guard(failOn(FsOp::Rename, "self-extraction.partial", Error::AccessDenied));
    ASSERT_FALSE(install().ok());
  }
  EXPECT_EQ(treeOf(sb_.box.host("outside")), outside);
  EXPECT_TRUE(std::filesystem::is_symlink(sb_.host("app/data")));

  ASSERT_TRUE(install().ok()) << err_;
  EXPECT_EQ(treeOf(sb_.box.host("outside")), outside);
  expectInstalled();

  // The application folder itself a link to the outside folder.
  std::filesystem::remove_all(sb_.host("app"));
  linkOutside("app");
  ASSERT_TRUE(install().ok()) << err_;
  EXPECT_EQ(treeOf(sb_.box.host("outside")), outside);
  expectInstalled();
}

TEST_F(AppInstallation, LibraryLinksOnlyWhereNothingIs) {
  tar_ = test::demoAppTar("2")
             .dir("DemoApp/bin/cef")
             .file("DemoApp/bin/cef/libcef.so", "cef")
             .file("DemoApp/bin/libEGL.so", "shipped")
             .end()
             .bytes();
  archive_ = test::zstdCompress(tar_);
  ASSERT_TRUE(install().ok()) << err_;
  EXPECT_EQ(std::filesystem::read_symlink(sb_.host("app/bin/libcef.so")).string(), "cef/libcef.so");
  EXPECT_EQ(std::filesystem::read_symlink(sb_.host("app/bin/libvulkan.so.1")).string(), "cef/libvulkan.so.1");
  EXPECT_EQ(test::IntegrationSandbox::readHost(sb_.host("app/bin/libEGL.so")), "shipped");
  EXPECT_NE(err_.find("Creating CEF symlinks...\nCreated symlink: " + sb_.win("app\\bin\\libcef.so") +
                      " -> cef/libcef.so\n"),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find("Warning: Could not create symlink for libEGL.so: error.PathAlreadyExists\n"),
            std::string::npos);
  // The shipped tree still rebuilds its archive.
  Result<UpdateRecipe> recipe =
      parseRecipe(test::IntegrationSandbox::readHost(sb_.host("self-extraction/build1.recipe.json")));
  ASSERT_TRUE(recipe.ok());
  Result<fs::Dir> root = fs::openDir(sb_.appDir());
  ASSERT_TRUE(root.ok());
  StringWriter rebuilt;
  ASSERT_TRUE(rebuildArchiveFromRecipe(*recipe, *root, rebuilt).ok());
  EXPECT_TRUE(rebuilt.str() == tar_);
}

// Paths that are not the app and self-extraction of a real channel root
// below the local application-data folder are refused before any write.
TEST_F(AppInstallation, RefusesTargetsOutsideACheckedChannelRoot) {
  sb_.box.makeDirs("elsewhere/stable");
  const std::string elsewhere = sb_.box.win("elsewhere\\stable");
  ProgressReporter r;
  testing::internal::CaptureStderr();
  Status s = extractAndInstallApp(InstallerArchiveSource::appended(archive_), test::demoMetadata(),
                                  elsewhere + "\\self-extraction", elsewhere + "\\app", r);
  Status mixed = extractAndInstallApp(InstallerArchiveSource::appended(archive_), test::demoMetadata(),
                                      elsewhere + "\\self-extraction", sb_.appDir(), r);
  testing::internal::GetCapturedStderr();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::InvalidUninstallLocation);
  ASSERT_FALSE(mixed.ok());
  EXPECT_EQ(mixed.error(), Error::InvalidUninstallLocation);
  EXPECT_EQ(treeOf(sb_.box.host("elsewhere/stable")), std::vector<std::string>{});
  EXPECT_EQ(treeOf(sb_.host("")), std::vector<std::string>{});
}

}  // namespace
}  // namespace tl
