#include "platform/fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#include "platform/io_context.h"
#include "platform/posix/folded_names.h"
#include "platform/posix/handle_access.h"
#include "support/outcome.h"
#include "support/temp_dir.h"

namespace tl::fs {
namespace {

namespace stdfs = std::filesystem;
using test::TempDir;
using test::outcome;

template <typename T>
Status statusOf(const Result<T>& r) {
  return r.ok() ? success() : Status(r.error());
}

void writeHostFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string readHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Dir openOrDie(const std::string& path) {
  auto d = openDir(path);
  EXPECT_TRUE(d.ok()) << path << ": " << outcome(d);
  return d.ok() ? d.take() : Dir();
}

std::set<std::string> hostNames(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : stdfs::directory_iterator(dir)) out.insert(e.path().filename().string());
  return out;
}

TEST(Fs, LookupsFallBackToAnotherCase) {
  TempDir t;
  stdfs::create_directories(t.host("Data/Sub"));
  writeHostFile(t.host("Data/Sub/Config.json"), "{}");

  EXPECT_EQ(outcome(statNoFollow(t.win("data\\SUB\\config.JSON"))), "ok");
  EXPECT_EQ(outcome(readFile(t.win("DATA/sub/CONFIG.json"), 100)), "ok");
  auto host = hostPath(t.win("dAtA\\sub\\config.json\\missing\\More"));
  ASSERT_TRUE(host.ok());
  EXPECT_EQ(*host, t.host("Data/Sub/Config.json/missing/More"));

  Dir data = openOrDie(t.win("data"));
  auto sub = openDirAt(data, "sUB");
  ASSERT_TRUE(sub.ok());
  EXPECT_EQ(outcome(openFileReadAt(*sub, "CONFIG.JSON")), "ok");
  EXPECT_EQ(outcome(statAt(*sub, "config.json")), "ok");
  EXPECT_EQ(outcome(statAt(*sub, "nothing")), "FileNotFound");
}

TEST(Fs, TwoNamesDifferingOnlyInCaseMakeTheLookupFail) {
  TempDir t;
  writeHostFile(t.host("abc"), "lower");
  writeHostFile(t.host("ABC"), "upper");
  EXPECT_EQ(outcome(statNoFollow(t.win("Abc"))), "BadPathName");
  EXPECT_EQ(outcome(deleteFile(t.win("aBC"))), "BadPathName");
  // An exact name is never ambiguous.
  auto exact = readFile(t.win("ABC"), 100);
  ASSERT_TRUE(exact.ok());
  EXPECT_EQ(*exact, "upper");
}

TEST(Fs, CreatingANameThatExistsInAnotherCaseFails) {
  TempDir t;
  writeHostFile(t.host("readme"), "old");
  stdfs::create_directory(t.host("sub"));
  Dir dir = openOrDie(t.path());
  auto src = openFileReadAt(dir, "readme");
  ASSERT_TRUE(src.ok());

  const struct {
    const char* what;
    Status status;
  } cases[] = {
      {"createFileAt", statusOf(createFileAt(dir, "README", true, false))},
      {"createFile", statusOf(createFile(t.win("ReadMe"), true, false))},
      {"makeDirAt", makeDirAt(dir, "SUB")},
      {"makeDir", makeDir(t.win("Sub"))},
      {"makeDirAt on file", makeDirAt(dir, "README")},
      {"createSymlinkAt", createSymlinkAt(dir, "Readme", "x", false)},
      {"hardLinkAt", hardLinkAt(*src, dir, "READme")},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(c.status), "PathAlreadyExists") << c.what;
  EXPECT_EQ(hostNames(t.hostPath()), (std::set<std::string>{"readme", "sub"}));

  // Without exclusive, the existing entry is opened: no second spelling.
  auto f = createFile(t.win("README"), false, true);
  ASSERT_TRUE(f.ok());
  ASSERT_TRUE(writeAll(*f, "new", 3).ok());
  f->close();
  EXPECT_EQ(readHostFile(t.host("readme")), "new");
  EXPECT_EQ(hostNames(t.hostPath()), (std::set<std::string>{"readme", "sub"}));
}

TEST(Fs, FoldedNamesFollowChangesByOthers) {
  TempDir t;
  Dir dir = openOrDie(t.path());
  EXPECT_EQ(outcome(statAt(dir, "LATE")), "FileNotFound");  // folder now cached
  writeHostFile(t.host("late"), "");
  // Make sure the folder's times move even within one clock tick.
  timespec times[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, t.hostPath().c_str(), times, 0), 0);
  EXPECT_EQ(outcome(statAt(dir, "LATE")), "ok");
  EXPECT_EQ(outcome(createFileAt(dir, "Late", true, false)), "PathAlreadyExists");
}

TEST(Fs, FillingOneFolderScansItOnlyOnce) {
  TempDir t;
  Dir dir = openOrDie(t.path());
  ASSERT_TRUE(makeDirAt(dir, "Many").ok());
  auto many = openDirAt(dir, "many");
  ASSERT_TRUE(many.ok());
  auto& cache = detail::FoldedNames::shared();
  std::uint64_t before = cache.scans();
  constexpr int kFiles = 20000;
  for (int i = 0; i < kFiles; ++i) {
    auto f = createFileAt(*many, "File" + std::to_string(i) + ".Dat", true, false);
    ASSERT_TRUE(f.ok()) << i << ": " << outcome(f);
  }
  // Renames and deletions of our own keep the cache valid as well.
  ASSERT_TRUE(rename(t.win("many\\file1.dat"), t.win("many\\Renamed.dat")).ok());
  ASSERT_TRUE(deleteFileAt(*many, "FILE2.DAT").ok());
  EXPECT_EQ(outcome(createFileAt(*many, "renamed.DAT", true, false)), "PathAlreadyExists");
  EXPECT_EQ(outcome(createFileAt(*many, "file3.dat", true, false)), "PathAlreadyExists");
  EXPECT_LE(cache.scans() - before, 2u);

  auto entries = listDir(*many);
  ASSERT_TRUE(entries.ok());
  EXPECT_EQ(entries->size(), static_cast<std::size_t>(kFiles - 1));
}

TEST(Fs, LinksAreNeverFollowedByHandleOpens) {
  TempDir t, outside;
  writeHostFile(outside.host("secret"), "s");
  stdfs::create_directory_symlink(outside.hostPath(), t.host("dirlink"));
  stdfs::create_symlink(outside.host("secret"), t.host("filelink"));
  Dir dir = openOrDie(t.path());

  EXPECT_EQ(outcome(openDirAt(dir, "dirlink")), "NotDir");
  EXPECT_EQ(outcome(openDirAt(dir, "DIRLINK")), "NotDir");
  EXPECT_EQ(outcome(openDir(t.win("dirlink"), true)), "NotDir");
  EXPECT_EQ(outcome(openDir(t.win("dirlink"), false)), "ok");

  auto link = openFileReadAt(dir, "filelink");
  ASSERT_TRUE(link.ok());
  auto st = statFile(*link);
  ASSERT_TRUE(st.ok());
  EXPECT_EQ(st->kind, FileKind::SymLink);
  EXPECT_EQ(statAt(dir, "dirlink")->kind, FileKind::SymLink);
  EXPECT_EQ(statNoFollow(t.win("dirlink"))->kind, FileKind::SymLink);
  EXPECT_EQ(statFollow(t.win("dirlink"))->kind, FileKind::Directory);
  EXPECT_EQ(*readLinkAt(dir, "FileLink"), outside.host("secret"));
  EXPECT_EQ(*realPath(t.win("filelink")), outside.win("secret"));
}

TEST(Fs, FifoOpensWithoutBlocking) {
  TempDir t;
  ASSERT_EQ(::mkfifo(t.host("pipe").c_str(), 0600), 0);
  Dir dir = openOrDie(t.path());
  // A blocking open would hang here, with no writer ever coming.
  auto f = openFileReadAt(dir, "pipe");
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(statFile(*f)->kind, FileKind::NamedPipe);
  EXPECT_EQ(outcome(openFileRead(t.win("PIPE"))), "ok");
  EXPECT_EQ(outcome(readFile(t.win("pipe"), 10)), "NotRegularFile");
}

TEST(Fs, FolderRenameNeverReplaces) {
  TempDir t;
  stdfs::create_directories(t.host("a/inner"));
  stdfs::create_directory(t.host("b"));
  writeHostFile(t.host("f"), "file");

  const struct {
    const char* from;
    const char* to;
  } refused[] = {{"a", "b"}, {"a", "B"}, {"a", "f"}, {"f", "b"}};
  for (const auto& c : refused) {
    EXPECT_EQ(outcome(rename(t.win(c.from), t.win(c.to))), "PathAlreadyExists") << c.from << "->" << c.to;
  }
  EXPECT_TRUE(stdfs::exists(t.host("a/inner")));
  EXPECT_EQ(readHostFile(t.host("f")), "file");

  // A new spelling of the same name is a rename of its own.
  ASSERT_TRUE(rename(t.win("a"), t.win("A")).ok());
  EXPECT_EQ(hostNames(t.hostPath()), (std::set<std::string>{"A", "b", "f"}));
  ASSERT_TRUE(rename(t.win("A"), t.win("b\\moved")).ok());
  EXPECT_TRUE(stdfs::exists(t.host("b/moved/inner")));
}

TEST(Fs, FileRenameReplacesAFile) {
  TempDir t;
  writeHostFile(t.host("new"), "new");
  writeHostFile(t.host("Target"), "old");
  ASSERT_TRUE(rename(t.win("new"), t.win("target")).ok());
  // The existing spelling stays; no second entry appears.
  EXPECT_EQ(hostNames(t.hostPath()), (std::set<std::string>{"Target"}));
  EXPECT_EQ(readHostFile(t.host("Target")), "new");

  // Two names of one file: the source name goes, as Windows does it.
  ASSERT_EQ(::link(t.host("Target").c_str(), t.host("twin").c_str()), 0);
  ASSERT_TRUE(rename(t.win("twin"), t.win("Target")).ok());
  EXPECT_EQ(hostNames(t.hostPath()), (std::set<std::string>{"Target"}));
  EXPECT_EQ(outcome(rename(t.win("missing"), t.win("x"))), "FileNotFound");
}

TEST(Fs, DeleteTreeDoesNotFollowLinks) {
  TempDir t, canary;
  writeHostFile(canary.host("keep"), "alive");
  stdfs::create_directories(t.host("tree/a/b/c"));
  writeHostFile(t.host("tree/a/b/c/f"), "x");
  writeHostFile(t.host("tree/top"), "x");
  stdfs::create_directory_symlink(canary.hostPath(), t.host("tree/a/out"));
  stdfs::create_symlink(canary.host("keep"), t.host("tree/a/b/keeplink"));
  ASSERT_EQ(::chmod(t.host("tree/a/b/c/f").c_str(), 0400), 0);
  stdfs::create_directory_symlink(canary.hostPath(), t.host("toplink"));

  EXPECT_EQ(outcome(deleteTree(t.win("toplink"))), "NotDir");
  EXPECT_EQ(outcome(deleteTree(t.win("TREE\\top"))), "NotDir");
  ASSERT_TRUE(deleteTree(t.win("Tree")).ok());
  EXPECT_FALSE(stdfs::exists(t.host("tree")));
  EXPECT_EQ(readHostFile(canary.host("keep")), "alive");
  EXPECT_TRUE(stdfs::is_symlink(t.host("toplink")));

  EXPECT_EQ(outcome(deleteTree(t.win("tree"))), "ok");  // missing counts as deleted
  EXPECT_EQ(outcome(deleteTree(t.win("no\\such\\parent"))), "ok");
  Dir dir = openOrDie(t.path());
  ASSERT_TRUE(deleteTreeAt(dir, "TOPLINK").ok());  // a link is removed as itself
  EXPECT_FALSE(stdfs::is_symlink(t.host("toplink")));
  EXPECT_EQ(readHostFile(canary.host("keep")), "alive");
}

TEST(Fs, DeleteTreeGoesDeeperThanTheDescriptorLimit) {
  TempDir t;
  constexpr int kDepth = 300;
  {
    int fd = ::open(t.hostPath().c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < kDepth; ++i) {
      ASSERT_EQ(::mkdirat(fd, "d", 0777), 0);
      writeHostFile("/proc/self/fd/" + std::to_string(fd) + "/f", "x");
      int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
      ::close(fd);
      fd = next;
    }
    ::close(fd);
  }
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  Status s = deleteTree(t.win("d"));
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(outcome(s), "ok");
  EXPECT_FALSE(stdfs::exists(t.host("d")));
}

TEST(Fs, DeleteRefusesTheWrongKind) {
  TempDir t;
  stdfs::create_directories(t.host("full/x"));
  writeHostFile(t.host("file"), "");
  EXPECT_EQ(outcome(deleteFile(t.win("full"))), "IsDir");
  EXPECT_EQ(outcome(deleteDir(t.win("full"))), "DirNotEmpty");
  EXPECT_EQ(outcome(deleteDir(t.win("file"))), "NotDir");
  EXPECT_EQ(outcome(deleteFile(t.win("missing"))), "FileNotFound");
  EXPECT_EQ(outcome(deleteDir(t.win("FULL\\X"))), "ok");
  EXPECT_EQ(outcome(deleteFile(t.win("FILE"))), "ok");
}

TEST(Fs, FaultSeamAndCancellation) {
  TempDir t;
  writeHostFile(t.host("from"), "x");
  IoContext ctx;
  ScopedIo scoped(ctx);
  std::vector<std::pair<FsOp, std::string>> seen;
  ctx.setFaultHook([&](FsOp op, std::string_view path) -> Status {
    seen.emplace_back(op, std::string(path));
    if (op == FsOp::Rename) return Error::FileBusy;
    return success();
  });
  EXPECT_EQ(outcome(rename(t.win("from"), t.win("to"))), "FileBusy");
  EXPECT_TRUE(stdfs::exists(t.host("from")));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, FsOp::Rename);
  EXPECT_EQ(seen[0].second, t.win("from"));

  Dir dir = openOrDie(t.path());
  seen.clear();
  EXPECT_EQ(outcome(createFileAt(dir, "new", true, false)), "ok");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, FsOp::Create);
  EXPECT_EQ(seen[0].second, "new");

  ctx.cancel();
  EXPECT_EQ(outcome(statNoFollow(t.win("from"))), "Canceled");
  EXPECT_EQ(outcome(makeDirAt(dir, "later")), "Canceled");
  EXPECT_FALSE(stdfs::exists(t.host("later")));
}

TEST(Fs, HardLinkSharesTheFile) {
  TempDir t;
  stdfs::create_directory(t.host("other"));
  writeHostFile(t.host("target"), "body");
  Dir dir = openOrDie(t.path());
  auto other = openDirAt(dir, "OTHER");
  ASSERT_TRUE(other.ok());
  auto target = openFileReadAt(dir, "target");
  ASSERT_TRUE(target.ok());

  ASSERT_TRUE(hardLinkAt(*target, *other, "Link").ok());
  auto a = statAt(dir, "target");
  auto b = statAt(*other, "link");
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a->fileIndex, b->fileIndex);
  EXPECT_EQ(a->volume, b->volume);
  EXPECT_EQ(outcome(hardLinkAt(*target, *other, "Link")), "PathAlreadyExists");
  EXPECT_EQ(outcome(hardLinkAt(*target, *other, "LINK")), "PathAlreadyExists");
}

TEST(Fs, SymlinkIsRecordedWithItsKind) {
  TempDir t;
  IoContext ctx;
  ScopedIo scoped(ctx);
  std::vector<SymlinkRecord> records;
  ctx.setSymlinkObserver([&](const SymlinkRecord& r) { records.push_back(r); });
  Dir dir = openOrDie(t.path());
  ASSERT_TRUE(createSymlinkAt(dir, "current", "../lib", true).ok());
  ASSERT_TRUE(createSymlink(t.win("x.so"), "cef/x.so", false).ok());
  EXPECT_EQ(outcome(createSymlinkAt(dir, "Current", "y", false)), "PathAlreadyExists");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].name, "current");
  EXPECT_EQ(records[0].target, "../lib");
  EXPECT_TRUE(records[0].folderLink);
  EXPECT_FALSE(records[1].folderLink);
  EXPECT_EQ(stdfs::read_symlink(t.host("current")).string(), "../lib");
}

TEST(Fs, CreatedFilesMayRunAndCopiesKeepTheirBits) {
  TempDir t;
  mode_t mask = ::umask(022);
  auto f = createFile(t.win("made"), true, false);
  ::umask(mask);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(statFile(*f)->mode, 0755u);
  // A child started later must not inherit what the layer opens.
  Dir dir = openOrDie(t.path());
  EXPECT_NE(::fcntl(HandleAccess::fd(*f), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(::fcntl(HandleAccess::fd(dir), F_GETFD) & FD_CLOEXEC, 0);

  writeHostFile(t.host("src"), std::string(200000, 'q'));
  ASSERT_EQ(::chmod(t.host("src").c_str(), 0640), 0);
  ASSERT_TRUE(copyFile(t.win("SRC"), t.win("copy"), true).ok());
  EXPECT_EQ(readHostFile(t.host("copy")), std::string(200000, 'q'));
  EXPECT_EQ(statNoFollow(t.win("copy"))->mode, 0640u);
  EXPECT_EQ(outcome(copyFile(t.win("src"), t.win("COPY"), true)), "PathAlreadyExists");
  EXPECT_EQ(outcome(copyFile(t.win("src"), t.win("Src"), false)), "FileBusy");
  EXPECT_EQ(readHostFile(t.host("src")).size(), 200000u);
}

TEST(Fs, ReadFileHoldsToItsCap) {
  TempDir t;
  writeHostFile(t.host("f"), std::string(4096, 'a'));
  EXPECT_EQ(outcome(readFile(t.win("f"), 4096)), "ok");
  EXPECT_EQ(outcome(readFile(t.win("f"), 4095)), "StreamTooLong");
  EXPECT_EQ(readFile(t.win("f"), 1 << 20)->size(), 4096u);
  EXPECT_EQ(readFile(t.win("f"), SIZE_MAX)->size(), 4096u);
  writeHostFile(t.host("empty"), "");
  EXPECT_EQ(readFile(t.win("empty"), 0)->size(), 0u);
}

// The lock excludes a second open of the same file even in this process,
// other bytes stay free, and closing the holder frees it.
TEST(Fs, RangeLockExcludesOtherOpensUntilClosed) {
  TempDir t;
  Result<File> first = createFile(t.win("lock"), false, false);
  Result<File> second = createFile(t.win("lock"), false, false);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(tryLockRange(*first, 0, 1).value(), true);
  EXPECT_EQ(tryLockRange(*second, 0, 1).value(), false);
  EXPECT_EQ(tryLockRange(*second, 1, 1).value(), true);
  first->close();
  EXPECT_EQ(tryLockRange(*second, 0, 1).value(), true);
}

TEST(Fs, MakePathCreatesWhatIsMissing) {
  TempDir t;
  stdfs::create_directory(t.host("Data"));
  writeHostFile(t.host("Data/file"), "");
  ASSERT_TRUE(makePath(t.win("data\\x\\y")).ok());
  EXPECT_TRUE(stdfs::is_directory(t.host("Data/x/y")));
  EXPECT_EQ(hostNames(t.hostPath()), (std::set<std::string>{"Data"}));
  EXPECT_EQ(outcome(makePath(t.win("DATA\\X"))), "ok");
  EXPECT_EQ(outcome(makePath(t.win("data\\FILE\\z"))), "NotDir");
}

}  // namespace
}  // namespace tl::fs
