// The clean-up copy run in-process against the stand-in tools, with the
// copy's own path pretended and deletion failures injected.
#include "uninstall/cleanup_copy.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/eventually.h"
#include "uninstall/integrated_install.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {
namespace {

class CleanupCopy : public test::IntegratedInstall {
 protected:
  void SetUp() override {
    IntegratedInstall::SetUp();
    if (HasFatalFailure()) return;
    box_.writeFile(channel("data.txt"), "user data");
    useCopy("1a");
    nonce_ = nonce();
    manifestBytes_ = box_.readFile(channel(".tamberlock-uninstall.json"));
  }
  // Every run ends by starting a script that deletes its copy: it must be
  // done before the sandbox goes, or its call log would make it again.
  void TearDown() override {
    EXPECT_TRUE(test::eventually([&] { return box_.cleanupScripts().empty(); }));
    IntegratedInstall::TearDown();
  }

  // Every run has its own file deleted in the background: each run gets a
  // copy of its own.
  void useCopy(std::string_view hex) {
    std::string rel = box_.userRel("AppData/Local/Temp/tamberlock-uninstall-" + std::string(hex) + ".exe");
    box_.writeFile(rel, "copy bytes");
    process::setOwnExecutablePathForTesting(box_.win(rel));
  }
  std::string nonce() const {
    Result<UninstallManifest> m = parseUninstallManifestJson(box_.readFile(channel(".tamberlock-uninstall.json")));
    return m.ok() ? m->install_nonce : "";
  }
  Status cleanUp(bool deleteData, std::string_view nonce) {
    testing::internal::CaptureStderr();
    Status s = cleanupUninstaller(box_.win(channel("uninstall.exe")), box_.win(channel(".tamberlock-uninstall.json")),
                                  nonce, deleteData);
    testing::internal::GetCapturedStderr();
    return s;
  }
  std::string nonce_;
  std::string manifestBytes_;
};

TEST_F(CleanupCopy, RemovesTheRegistrationAndKeepsTheData) {
  ASSERT_TRUE(cleanUp(false, nonce_).ok());
  EXPECT_FALSE(registered());
  EXPECT_FALSE(box_.exists(channel("uninstall.exe")));
  EXPECT_FALSE(box_.exists(channel(".tamberlock-uninstall.json")));
  EXPECT_EQ(box_.readFile(channel("data.txt")), "user data");
  EXPECT_TRUE(box_.exists(channel("app")));
}

TEST_F(CleanupCopy, ALockedFileRestoresTheRegistration) {
  int attempts = 0;
  io().setFaultHook([&](FsOp op, std::string_view path) -> Status {
    if (op != FsOp::DeleteFile || path != ".tamberlock-uninstall.json") return success();
    ++attempts;
    return Error::FileBusy;
  });
  Status s = cleanUp(false, nonce_);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::FileBusy);
  EXPECT_EQ(attempts, 20);
  EXPECT_EQ(slept(), 19u * 250);
  // uninstall.exe had gone already: it is back, made from the copy, with the
  // manifest of the same nonce and the registry entry, so the uninstall can
  // run again.
  EXPECT_EQ(box_.readFile(channel("uninstall.exe")), "copy bytes");
  EXPECT_EQ(box_.readFile(channel(".tamberlock-uninstall.json")), manifestBytes_);
  EXPECT_TRUE(registered());
  EXPECT_EQ(box_.readFile(channel("data.txt")), "user data");
}

TEST_F(CleanupCopy, APartlyDeletedChannelFolderIsRestored) {
  // The tree deletion takes the registration files and then meets a file it
  // cannot delete, attempt after attempt.
  int attempts = 0;
  std::string manager = box_.host(channel("uninstall.exe"));
  std::string manifest = box_.host(channel(".tamberlock-uninstall.json"));
  io().setFaultHook([&](FsOp op, std::string_view path) -> Status {
    if (op != FsOp::DeleteDir || path != "stable") return success();
    if (++attempts == 1) {
      ::unlink(manager.c_str());
      ::unlink(manifest.c_str());
    }
    return Error::AccessDenied;
  });
  Status s = cleanUp(true, nonce_);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::AccessDenied);
  EXPECT_EQ(attempts, 60);
  EXPECT_EQ(slept(), 59u * 500);
  EXPECT_EQ(box_.readFile(channel("uninstall.exe")), "copy bytes");
  EXPECT_EQ(box_.readFile(channel(".tamberlock-uninstall.json")), manifestBytes_);
  EXPECT_TRUE(registered());
}

TEST_F(CleanupCopy, AnAbsentRegistryKeyCountsAsDeleted) {
  box_.runTool({box_.win("Windows/System32/reg.exe"), "delete", kKey, "/f", "/reg:64"});
  ASSERT_FALSE(registered());
  ASSERT_TRUE(cleanUp(false, nonce_).ok());
  EXPECT_FALSE(box_.exists(channel("uninstall.exe")));
  EXPECT_FALSE(box_.exists(channel(".tamberlock-uninstall.json")));
}

TEST_F(CleanupCopy, AKeyThatCannotBeDeletedStopsBeforeAnyFile) {
  box_.addFault("reg.exe delete * => exit 1");
  Status s = cleanUp(true, nonce_);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::WindowsCommandFailed);
  EXPECT_TRUE(registered());
  EXPECT_EQ(box_.readFile(channel(".tamberlock-uninstall.json")), manifestBytes_);
  EXPECT_TRUE(box_.exists(channel("uninstall.exe")));
  EXPECT_TRUE(box_.exists(channel("data.txt")));
}

TEST_F(CleanupCopy, AnotherNonceRemovesNothing) {
  std::string upper = nonce_;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_NE(upper, nonce_);  // 32 digits are all but never letterless
  for (const std::string& other : {upper, std::string(32, '0')}) {
    useCopy(other == upper ? "2b" : "3c");
    ASSERT_TRUE(cleanUp(true, other).ok());
    EXPECT_TRUE(registered());
    EXPECT_EQ(box_.readFile(channel(".tamberlock-uninstall.json")), manifestBytes_);
    EXPECT_TRUE(box_.exists(channel("uninstall.exe")));
  }
  EXPECT_EQ(callsContaining("\"delete\""), 0);
}

// The channel folder the checks looked at is the one the files go from: a
// folder that could not be opened a second time must not cost the
// registration once the registry entry is gone.
TEST_F(CleanupCopy, TheCheckedChannelFolderIsTheOneEmptied) {
  int opens = 0;
  io().setFaultHook([&](FsOp op, std::string_view path) -> Status {
    if (op == FsOp::Open && path == "stable" && ++opens > 1) return Error::AccessDenied;
    return success();
  });
  ASSERT_TRUE(cleanUp(false, nonce_).ok());
  EXPECT_FALSE(registered());
  EXPECT_FALSE(box_.exists(channel("uninstall.exe")));
  EXPECT_FALSE(box_.exists(channel(".tamberlock-uninstall.json")));
}

TEST_F(CleanupCopy, ArgumentsThatDoNotNameThisInstallationAreRefused) {
  Status s = cleanupUninstaller(box_.win(channel("uninstall2.exe")), box_.win(channel(".tamberlock-uninstall.json")),
                                nonce_, false);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::InvalidUninstallLocation);
  useCopy("2b");
  s = cleanupUninstaller(box_.win(channel("uninstall.exe")), box_.win(channel(".tamberlock-uninstall.json")),
                         nonce_.substr(1), false);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::InvalidArguments);
  EXPECT_TRUE(registered());
  EXPECT_TRUE(box_.exists(channel("uninstall.exe")));
}

}  // namespace
}  // namespace tl
