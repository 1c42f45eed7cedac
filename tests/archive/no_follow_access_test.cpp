#include "archive/no_follow_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "archive/recipe_tree_fixture.h"
#include "platform/posix/handle_access.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

namespace sfs = std::filesystem;
using test::openHostDir;
using test::writeHostFile;

class NoFollowAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sfs::create_directories(tmp.host("root/bin"));
    sfs::create_directories(tmp.host("outside"));
    writeHostFile(tmp.host("root/bin/tool"), "tool");
    writeHostFile(tmp.host("root/top"), "top");
    writeHostFile(tmp.host("outside/secret"), "secret");
    root = openHostDir(tmp.host("root"));
    ASSERT_TRUE(root.valid());
  }

  std::uint64_t inodeOf(const std::string& host) {
    struct stat st {};
    EXPECT_EQ(::stat(host.c_str(), &st), 0);
    return st.st_ino;
  }

  test::TempDir tmp;
  fs::Dir root;
};

TEST_F(NoFollowAccessTest, ParentFolderHandles) {
  {
    Result<fs::Dir> parent = openArchiveParentDir(root, "top", false);
    ASSERT_TRUE(parent.ok());
    EXPECT_NE(fs::HandleAccess::fd(*parent), fs::HandleAccess::fd(root));
    EXPECT_EQ(fs::statDir(*parent)->fileIndex, inodeOf(tmp.host("root")));
  }
  // Closing the returned handle left the caller's root usable.
  EXPECT_TRUE(readArchiveFile(root, "bin/tool", 100).ok());

  sfs::create_directories(tmp.host("root/x"));
  Result<fs::Dir> parent = openArchiveParentDir(root, "x/y/z/file", true);
  ASSERT_TRUE(parent.ok()) << errorName(parent.error());
  EXPECT_EQ(fs::statDir(*parent)->fileIndex, inodeOf(tmp.host("root/x/y/z")));
  EXPECT_FALSE(sfs::exists(tmp.host("root/x/y/z/file")));
  // Again, with everything already there.
  EXPECT_TRUE(openArchiveParentDir(root, "x/y/z/file", true).ok());
  // Without create nothing is made.
  EXPECT_EQ(openArchiveParentDir(root, "p/q", false).error(), Error::FileNotFound);
  EXPECT_FALSE(sfs::exists(tmp.host("root/p")));
}

TEST_F(NoFollowAccessTest, FolderLinkIsNeverFollowed) {
  sfs::create_directory_symlink(tmp.host("outside"), tmp.host("root/link"));
  for (const bool create : {false, true}) {
    Result<fs::Dir> parent = openArchiveParentDir(root, "link/secret", create);
    EXPECT_FALSE(parent.ok());
  }
  EXPECT_FALSE(openArchiveFile(root, "link/secret").ok());
  EXPECT_FALSE(readArchiveFile(root, "link/secret", 100).ok());
  EXPECT_FALSE(sfs::exists(tmp.host("outside/x")));
  EXPECT_FALSE(openArchiveParentDir(root, "link/x/y", true).ok());
  EXPECT_FALSE(sfs::exists(tmp.host("outside/x")));
}

TEST_F(NoFollowAccessTest, OnlyRegularFilesOpen) {
  sfs::create_symlink(tmp.host("outside/secret"), tmp.host("root/tofile"));
  sfs::create_symlink("top", tmp.host("root/relative"));
  ASSERT_EQ(::mkfifo(tmp.host("root/fifo").c_str(), 0600), 0);
  // A FIFO without a writer would block a plain open forever.
  for (const char* path : {"tofile", "relative", "bin", "fifo"}) {
    Result<fs::File> f = openArchiveFile(root, path);
    ASSERT_FALSE(f.ok()) << path;
    EXPECT_EQ(f.error(), Error::NotRegularFile) << path;
  }
}

TEST_F(NoFollowAccessTest, ErrorsOfTheWalk) {
  struct Case {
    const char* path;
    Error error;
  };
  const Case cases[] = {
      {"a/../bin/tool", Error::InvalidArchivePath},
      {"bin//tool", Error::InvalidArchivePath},
      {"", Error::InvalidArchivePath},
      {"missing", Error::FileNotFound},
      {"missing/tool", Error::FileNotFound},
      {"top/tool", Error::NotDir},
  };
  for (const Case& c : cases) {
    Result<fs::File> f = openArchiveFile(root, c.path);
    ASSERT_FALSE(f.ok()) << c.path;
    EXPECT_EQ(f.error(), c.error) << c.path;
  }
}

TEST_F(NoFollowAccessTest, ReadArchiveFileCapIsInclusive) {
  writeHostFile(tmp.host("root/doc"), std::string(65536, 'd'));
  Result<std::string> exact = readArchiveFile(root, "doc", 65536);
  ASSERT_TRUE(exact.ok());
  EXPECT_EQ(*exact, std::string(65536, 'd'));

  writeHostFile(tmp.host("root/doc"), std::string(65537, 'd'));
  EXPECT_EQ(readArchiveFile(root, "doc", 65536).error(), Error::UpdateDocumentTooLarge);

  writeHostFile(tmp.host("root/empty"), "");
  Result<std::string> empty = readArchiveFile(root, "empty", 0);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->empty());
}

// Number of open descriptors of this process.
std::size_t openDescriptorCount() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : sfs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST_F(NoFollowAccessTest, NoHandleOutlivesACall) {
  sfs::create_symlink(tmp.host("outside/secret"), tmp.host("root/bin/tofile"));
  sfs::create_directory_symlink(tmp.host("outside"), tmp.host("root/bin/dirlink"));
  const std::size_t before = openDescriptorCount();
  for (const char* path : {"bin/tool", "bin/tofile", "bin/dirlink/secret", "bin/missing", "bin", "x/y"}) {
    (void)openArchiveFile(root, path);
    (void)readArchiveFile(root, path, 1);
    (void)readArchiveFile(root, path, 100);
    (void)openArchiveParentDir(root, path, false);
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

}  // namespace
}  // namespace tl
