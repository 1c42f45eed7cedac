#include "native_ui/native_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/io_context.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

namespace sfs = std::filesystem;

void writeHost(const std::string& host, const std::string& content) {
  std::ofstream(host, std::ios::binary | std::ios::trunc) << content;
}

std::string readHost(const std::string& host) {
  std::ifstream in(host, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool anyTemporaryIn(const std::string& host) {
  for (const auto& e : sfs::directory_iterator(host)) {
    if (e.path().filename().string().find(".tmp-") != std::string::npos) return true;
  }
  return false;
}

// Removes the fault hook whatever the test's outcome.
struct FaultGuard {
  ~FaultGuard() { io().setFaultHook(nullptr); }
};

TEST(ReadFileExactTest, ExactLengthOnly) {
  test::TempDir t;
  const std::string content(65536, 'm');
  writeHost(t.host("full"), content);
  writeHost(t.host("short"), "abc");
  writeHost(t.host("empty"), "");
  sfs::create_directory(t.host("folder"));
  sfs::create_symlink(t.host("short"), t.host("link"));
  ASSERT_EQ(::mkfifo(t.host("fifo").c_str(), 0600), 0);

  std::vector<char> buf(65537);
  EXPECT_TRUE(readFileExact(t.win("full"), buf.data(), 65536));
  EXPECT_EQ(std::string(buf.data(), 65536), content);
  EXPECT_TRUE(readFileExact(t.win("short"), buf.data(), 3));
  EXPECT_EQ(std::string(buf.data(), 3), "abc");
  EXPECT_TRUE(readFileExact(t.win("empty"), nullptr, 0));

  struct Case {
    const char* name;
    std::string path;
    void* buffer;
    std::size_t length;
  };
  const Case refused[] = {
      {"one byte short", t.win("short"), buf.data(), 4},
      {"one byte long", t.win("short"), buf.data(), 2},
      {"over the limit", t.win("full"), buf.data(), 65537},
      {"no buffer", t.win("short"), nullptr, 3},
      {"empty path", "", buf.data(), 0},
      {"missing", t.win("missing"), buf.data(), 3},
      {"folder", t.win("folder"), buf.data(), 0},
      {"link", t.win("link"), buf.data(), 3},
      {"pipe", t.win("fifo"), buf.data(), 0},
  };
  for (const Case& c : refused) EXPECT_FALSE(readFileExact(c.path, c.buffer, c.length)) << c.name;
}

TEST(ReplaceFileAtomicallyTest, CopiesBytesAndPermissionBits) {
  test::TempDir t;
  writeHost(t.host("manager"), "new manager");
  ::chmod(t.host("manager").c_str(), 0751);
  writeHost(t.host("installed"), "old manager, longer than the new one");
  ::chmod(t.host("installed").c_str(), 0600);

  EXPECT_TRUE(replaceFileAtomically(t.win("manager"), t.win("installed")));
  EXPECT_EQ(readHost(t.host("installed")), "new manager");
  struct stat st {};
  ASSERT_EQ(::stat(t.host("installed").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  // A missing destination is simply created.
  EXPECT_TRUE(replaceFileAtomically(t.win("manager"), t.win("fresh")));
  EXPECT_EQ(readHost(t.host("fresh")), "new manager");
  EXPECT_EQ(readHost(t.host("manager")), "new manager");
  EXPECT_FALSE(anyTemporaryIn(t.hostPath()));
}

TEST(ReplaceFileAtomicallyTest, FoldersAndLinksAreRefusedOnEitherSide) {
  test::TempDir t;
  writeHost(t.host("src"), "src");
  writeHost(t.host("dst"), "dst");
  sfs::create_directory(t.host("folder"));
  sfs::create_symlink(t.host("src"), t.host("srclink"));
  sfs::create_symlink(t.host("dst"), t.host("dstlink"));

  struct Case {
    const char* source;
    const char* destination;
  };
  const Case refused[] = {
      {"src", "folder"}, {"src", "dstlink"}, {"folder", "dst"}, {"srclink", "dst"}, {"missing", "dst"},
  };
  for (const Case& c : refused) {
    EXPECT_FALSE(replaceFileAtomically(t.win(c.source), t.win(c.destination))) << c.source << " " << c.destination;
  }
  EXPECT_FALSE(replaceFileAtomically("", t.win("dst")));
  EXPECT_FALSE(replaceFileAtomically(t.win("src"), ""));
  EXPECT_TRUE(sfs::is_directory(t.host("folder")));
  EXPECT_TRUE(sfs::is_empty(t.host("folder")));
  EXPECT_TRUE(sfs::is_symlink(t.host("dstlink")));
  EXPECT_EQ(readHost(t.host("dst")), "dst");
  EXPECT_FALSE(anyTemporaryIn(t.hostPath()));
}

TEST(ReplaceFileAtomicallyTest, FailedCopyOrMoveLeavesNothingBehind) {
  for (const FsOp failing : {FsOp::Copy, FsOp::Rename}) {
    test::TempDir t;
    writeHost(t.host("src"), "src");
    writeHost(t.host("dst"), "dst");
    FaultGuard guard;
    io().setFaultHook([failing](FsOp op, std::string_view) -> Status {
      if (op == failing) return Error::AccessDenied;
      return success();
    });
    EXPECT_FALSE(replaceFileAtomically(t.win("src"), t.win("dst")));
    io().setFaultHook(nullptr);
    EXPECT_EQ(readHost(t.host("dst")), "dst");
    EXPECT_FALSE(anyTemporaryIn(t.hostPath())) << static_cast<int>(failing);
  }
}

TEST(ReplaceFileAtomicallyTest, EachCallUsesItsOwnTemporaryName) {
  test::TempDir t;
  writeHost(t.host("src"), "src");
  std::vector<std::string> renamed;
  FaultGuard guard;
  io().setFaultHook([&renamed](FsOp op, std::string_view path) -> Status {
    if (op == FsOp::Rename) renamed.emplace_back(path);
    return success();
  });
  EXPECT_TRUE(replaceFileAtomically(t.win("src"), t.win("dst")));
  EXPECT_TRUE(replaceFileAtomically(t.win("src"), t.win("dst")));
  ASSERT_EQ(renamed.size(), 2u);
  EXPECT_NE(renamed[0], renamed[1]);
  const std::string prefix = t.win("dst") + ".tmp-" + std::to_string(::getpid()) + "-";
  for (const std::string& name : renamed) {
    EXPECT_EQ(name.rfind(prefix, 0), 0u) << name;
  }
}

}  // namespace
}  // namespace tl
