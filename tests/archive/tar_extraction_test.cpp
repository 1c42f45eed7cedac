#include "archive/tar_extraction.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive_rebuild.h"
#include "archive/folder_link_resolver.h"
#include "archive/recipe_tree_fixture.h"
#include "archive/staged_tree.h"
#include "archive/tar_reader.h"
#include "common/sha256.h"
#include "platform/thread.h"
#include "support/fake_clock.h"
#include "support/tar_builder.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

namespace stdfs = std::filesystem;
using test::TarBuilder;
using test::TarHeader;

std::string readHost(const std::string& hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Every name below a host folder (relative, sorted), links not followed.
std::set<std::string> treeOf(const std::string& hostRoot) {
  std::set<std::string> names;
  for (auto it = stdfs::recursive_directory_iterator(hostRoot); it != stdfs::recursive_directory_iterator(); ++it) {
    names.insert(stdfs::relative(it->path(), hostRoot).string());
  }
  return names;
}

std::size_t openDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : stdfs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// An application of `files` files of varied sizes in a few folders, ending
// in a symbolic link (made only once every file has been unpacked).
std::string manyFilesTar(std::size_t files) {
  TarBuilder b;
  b.dir("app");
  for (std::size_t i = 0; i < files; ++i) {
    std::string data(i * 37 % 9000, '\0');
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<char>((i + k * 7) % 253);
    b.file("app/d" + std::to_string(i % 7) + "/f" + std::to_string(i), data);
  }
  return b.symlink("app/last", "d0/f0").end().bytes();
}

class TarExtractionTest : public testing::Test {
 protected:
  void SetUp() override {
    stdfs::create_directories(tmp_.host("dest"));
    stdfs::create_directories(tmp_.host("outside"));
    std::ofstream(tmp_.host("outside/keep")) << "keep";
    io().setSymlinkObserver([this](const SymlinkRecord& r) { links_[r.name] = r; });
  }
  void TearDown() override {
    io().setSymlinkObserver(nullptr);
    io().setFaultHook(nullptr);
  }

  Result<ExtractedArchive> extract(const std::string& tar, std::optional<std::uint64_t> expected = std::nullopt) {
    auto dir = fs::openDir(tmp_.win("dest"));
    EXPECT_TRUE(dir.ok());
    ArchiveDestination dest(*dir);
    MemoryPullReader reader(tar);
    auto r = extractTarArchive(reader, expected, &dest);
    rootWasOpen_ = dest.rootOpen();
    return r;
  }

  Error extractError(const std::string& tar) {
    auto r = extract(tar);
    EXPECT_FALSE(r.ok()) << "archive was accepted";
    return r.ok() ? Error::Unexpected : r.error();
  }

  std::string host(const std::string& rel) const { return tmp_.host("dest/" + rel); }

  // Nothing appeared next to the destination, the sentinel is untouched and
  // no link exists in the unpacked tree.
  void expectNothingOutside() {
    for (const std::string& n : treeOf(tmp_.hostPath())) {
      const bool inDest = n == "dest" || n.rfind("dest/", 0) == 0;
      EXPECT_TRUE(inDest || n == "outside" || n == "outside/keep") << n;
      if (inDest) {
        EXPECT_FALSE(stdfs::is_symlink(tmp_.host(n))) << n;
      }
    }
    EXPECT_EQ(readHost(tmp_.host("outside/keep")), "keep");
  }

  test::TempDir tmp_;
  std::map<std::string, SymlinkRecord> links_;
  bool rootWasOpen_ = false;
};

TEST_F(TarExtractionTest, UnpacksEveryKindAndGivesTheSameRecipe) {
  const std::string big(200000, 'b');
  const std::string tar = TarBuilder()
                              .dir("app", 0700)
                              .file("app/bin/tool", "tool")  // before its folder
                              .dir("app/bin")
                              .file("app/big", big)
                              .file("app/empty", "")
                              .dir("app/lib")
                              .file("app/lib/x.dll", "dll")
                              .symlink("app/bin/current", "../lib")
                              .hardlink("app/lib/again", "app/bin/tool")
                              .end()
                              .bytes();
  auto r = extract(tar);
  ASSERT_TRUE(r.ok()) << errorName(r.error());
  EXPECT_TRUE(rootWasOpen_);
  EXPECT_EQ(readHost(host("app/bin/tool")), "tool");
  EXPECT_EQ(readHost(host("app/big")), big);
  EXPECT_EQ(readHost(host("app/empty")), "");
  EXPECT_EQ(stdfs::read_symlink(host("app/bin/current")).string(), "../lib");
  struct stat a {}, b {};
  ASSERT_EQ(::stat(host("app/bin/tool").c_str(), &a), 0);
  ASSERT_EQ(::stat(host("app/lib/again").c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(a.st_nlink, 2u);
  expectNothingOutside();

  MemoryPullReader reader(tar);
  auto recipeOnly = extractTarArchive(reader, std::nullopt, nullptr);
  ASSERT_TRUE(recipeOnly.ok());
  StringWriter x, y;
  ASSERT_TRUE(stringifyRecipe(r->recipe, x).ok());
  ASSERT_TRUE(stringifyRecipe(recipeOnly->recipe, y).ok());
  EXPECT_EQ(x.str(), y.str());
}

// What the reader builds while unpacking, written out and read back, must
// rebuild the very stream from the unpacked tree and verify that tree; a
// tree that drifted afterwards must not verify.
TEST_F(TarExtractionTest, UnpackedTreeRebuildsTheArchiveAndVerifies) {
  std::string big(150000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
  const std::string longFolder = "app/" + std::string(120, 'd');
  const std::string tar = TarBuilder()
                              .pax({{"comment", "everywhere"}}, 'g')
                              .dir("app", 0700)
                              .file(longFolder + "/f", "long")  // pax path, folder implied
                              .gnuLongName("app/" + std::string(110, 'g'))
                              .file("app/x", "gnu long name")
                              .file("app/big", big)
                              .file("app/empty", "")
                              .dir("app/lib")
                              .symlink("app/lib/to-long", "../" + std::string(120, 'd'))
                              .symlink("app/up", "lib/to-long/f")
                              .hardlink("app/lib/again", "app/big")
                              .end(3)
                              .bytes();
  auto r = extract(tar, tar.size());
  ASSERT_TRUE(r.ok()) << errorName(r.error());
  StringWriter written;
  ASSERT_TRUE(stringifyRecipe(r->recipe, written).ok());
  auto recipe = parseRecipe(written.str());
  ASSERT_TRUE(recipe.ok()) << errorName(recipe.error());

  const auto rebuiltAndVerified = [&](Status& verified) {
    const fs::Dir root = test::openHostDir(host("app"));
    StringWriter rebuilt;
    const Status s = rebuildArchiveFromRecipe(*recipe, root, rebuilt);
    verified = verifyStagedTree(*recipe, root);
    return s.ok() && rebuilt.str() == tar;
  };
  Status verified;
  EXPECT_TRUE(rebuiltAndVerified(verified));
  EXPECT_TRUE(verified.ok()) << errorName(verified.error());

  {
    std::fstream f(host("app/big"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(70000);
    f.put('!');
  }
  EXPECT_FALSE(rebuiltAndVerified(verified));
  ASSERT_FALSE(verified.ok());
  EXPECT_EQ(verified.error(), Error::FileHashMismatch);
  std::fstream(host("app/big"), std::ios::in | std::ios::out | std::ios::binary).seekp(70000).put(big[70000]);
  EXPECT_TRUE(rebuiltAndVerified(verified));

  std::ofstream(host("app/lib/stray")) << "";
  EXPECT_TRUE(rebuiltAndVerified(verified));  // the bytes are all still there
  ASSERT_FALSE(verified.ok());
  EXPECT_EQ(verified.error(), Error::UnexpectedStagedPath);
  stdfs::remove(host("app/lib/stray"));

  stdfs::remove(host("app/empty"));
  stdfs::create_symlink("lib/again", host("app/empty"));
  EXPECT_FALSE(rebuiltAndVerified(verified));
  ASSERT_FALSE(verified.ok());
  EXPECT_EQ(verified.error(), Error::NotRegularFile);
}

TEST_F(TarExtractionTest, RootFolderMustBeNew) {
  stdfs::create_directories(host("App"));
  EXPECT_EQ(extractError(TarBuilder().dir("app").file("app/a", "1").end().bytes()), Error::PathAlreadyExists);
  EXPECT_FALSE(rootWasOpen_);
  EXPECT_EQ(treeOf(tmp_.host("dest")), std::set<std::string>{"App"});
}

TEST_F(TarExtractionTest, EntryConflictsOnDisk) {
  EXPECT_EQ(extractError(TarBuilder().dir("app").file("app/x", "1").dir("app/x").end().bytes()), Error::NotDir);
  EXPECT_TRUE(rootWasOpen_);
  stdfs::remove_all(host("app"));
  // The second file fails on disk, before validation could name the duplicate.
  EXPECT_EQ(extractError(TarBuilder().dir("app").file("app/x", "1").file("app/X", "2").end().bytes()),
            Error::PathAlreadyExists);
  EXPECT_EQ(readHost(host("app/x")), "1");
}

TEST_F(TarExtractionTest, FolderLinkDecisions) {
  const std::string tar = TarBuilder()
                              .dir("app")
                              .dir("app/lib")
                              .file("app/lib/x.dll", "x")
                              .file("app/deep/only/file", "f")
                              .symlink("app/bin/to-folder", "../lib")
                              .symlink("app/bin/to-file", "../lib/x.dll")
                              .symlink("app/bin/to-nothing", "../missing")
                              .symlink("app/bin/to-link", "to-folder")
                              .symlink("app/bin/to-file-link", "./to-file")
                              .symlink("app/sub/up", "..")
                              .symlink("app/to-implied", "deep/only")
                              .symlink("app/through-link", "bin/to-folder/x.dll")
                              .end()
                              .bytes();
  auto r = extract(tar);
  ASSERT_TRUE(r.ok()) << errorName(r.error());
  const std::map<std::string, bool> expected = {
      {"to-folder", true},     {"to-file", false},   {"to-nothing", false}, {"to-link", true},
      {"to-file-link", false}, {"up", true},         {"to-implied", true},  {"through-link", false},
  };
  for (const auto& [name, folder] : expected) {
    ASSERT_EQ(links_.count(name), 1u) << name;
    EXPECT_EQ(links_[name].folderLink, folder) << name;
  }
  EXPECT_EQ(links_["up"].target, "..");
  EXPECT_EQ(stdfs::read_symlink(host("app/sub/up")).string(), "..");
}

TEST_F(TarExtractionTest, LinksThatPointAtEachOtherAreACycle) {
  EXPECT_EQ(extractError(TarBuilder().dir("app").symlink("app/a", "b").symlink("app/b", "a").end().bytes()),
            Error::SymlinkCycle);
  stdfs::remove_all(host("app"));
  EXPECT_EQ(extractError(TarBuilder().dir("app").symlink("app/self", "./self").end().bytes()), Error::SymlinkCycle);
}

TEST_F(TarExtractionTest, HardLinks) {
  // A hard link to a file in another folder takes its own name.
  auto r = extract(TarBuilder().dir("app").file("app/a/f", "data").hardlink("app/b/g", "app/a/f").end().bytes());
  ASSERT_TRUE(r.ok()) << errorName(r.error());
  EXPECT_EQ(readHost(host("app/b/g")), "data");
  stdfs::remove_all(host("app"));

  // A hard link to a symbolic-link entry is refused by validation, before any
  // link is made.
  EXPECT_EQ(extractError(TarBuilder().dir("app").file("app/f", "1").symlink("app/s", "f").hardlink("app/h", "app/s").end().bytes()),
            Error::InvalidLinkTarget);
  EXPECT_FALSE(stdfs::exists(host("app/h")));
  EXPECT_FALSE(stdfs::is_symlink(host("app/s")));
}

TEST_F(TarExtractionTest, InterruptedHardLinkIsRetriedABoundedNumberOfTimes) {
  const std::string tar = TarBuilder().dir("app").file("app/f", "1").hardlink("app/h", "app/f").end().bytes();
  int calls = 0;
  io().setFaultHook([&](FsOp op, std::string_view) -> Status {
    if (op != FsOp::HardLink) return success();
    return ++calls <= 3 ? Status(Error::Canceled) : success();
  });
  ASSERT_TRUE(extract(tar).ok());
  EXPECT_EQ(calls, 4);
  EXPECT_TRUE(stdfs::exists(host("app/h")));
  stdfs::remove_all(host("app"));

  calls = 0;
  io().setFaultHook([&](FsOp op, std::string_view) -> Status {
    if (op == FsOp::HardLink) ++calls;
    return op == FsOp::HardLink ? Status(Error::Canceled) : success();
  });
  EXPECT_EQ(extractError(tar), Error::Canceled);
  EXPECT_GT(calls, 1);
  EXPECT_LT(calls, 100);

  io().setFaultHook([](FsOp op, std::string_view) -> Status {
    return op == FsOp::HardLink ? Status(Error::CrossDevice) : success();
  });
  stdfs::remove_all(host("app"));
  EXPECT_EQ(extractError(tar), Error::CrossDevice);
}

TEST_F(TarExtractionTest, FileOperationFailuresPassUp) {
  io().setFaultHook([](FsOp op, std::string_view) -> Status {
    return op == FsOp::Write ? Status(Error::NoSpaceLeft) : success();
  });
  EXPECT_EQ(extractError(TarBuilder().dir("app").file("app/f", "1").end().bytes()), Error::NoSpaceLeft);
  stdfs::remove_all(host("app"));
  io().setFaultHook([](FsOp op, std::string_view) -> Status {
    return op == FsOp::Sync ? Status(Error::InputOutput) : success();
  });
  EXPECT_EQ(extractError(TarBuilder().dir("app").file("app/f", "").end().bytes()), Error::InputOutput);
}

// A sync runs after its file was handed on; its failure still ends the
// unpacking with that error, before the links, with every file closed.
TEST_F(TarExtractionTest, SyncThatFailsOnTheNthFileEndsTheUnpacking) {
  struct Case {
    std::size_t files;
    int failingSync;
    bool threads;
  } cases[] = {{1, 1, true}, {300, 1, true}, {300, 170, true}, {300, 300, true}, {300, 170, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.files) + " files, sync " + std::to_string(c.failingSync));
    platform::failThreadCreationForTesting(!c.threads);
    std::atomic<int> syncs{0};
    io().setFaultHook([&](FsOp op, std::string_view) -> Status {
      return op == FsOp::Sync && ++syncs == c.failingSync ? Status(Error::InputOutput) : success();
    });
    const std::size_t before = openDescriptors();
    EXPECT_EQ(extractError(manyFilesTar(c.files)), Error::InputOutput);
    platform::failThreadCreationForTesting(false);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_TRUE(links_.empty());
    EXPECT_FALSE(stdfs::is_symlink(host("app/last")));
    stdfs::remove_all(host("app"));
    links_.clear();
  }
}

// Each file the unpacking reports is on disk whole, however the syncs were
// run: on the pool's threads or, with no thread to be had, inline.
TEST_F(TarExtractionTest, ReportedTreeIsOnDiskInFull) {
  // Inline, every sync waits for the disk in turn: fewer files.
  for (const auto& [threads, count] : {std::pair{true, 500}, std::pair{false, 60}}) {
    SCOPED_TRACE(threads ? "threads" : "inline");
    platform::failThreadCreationForTesting(!threads);
    std::atomic<int> syncs{0};
    io().setFaultHook([&](FsOp op, std::string_view) -> Status {
      if (op == FsOp::Sync) ++syncs;
      return success();
    });
    const std::size_t before = openDescriptors();
    auto r = extract(manyFilesTar(static_cast<std::size_t>(count)));
    platform::failThreadCreationForTesting(false);
    ASSERT_TRUE(r.ok()) << errorName(r.error());
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(syncs.load(), count);
    std::size_t files = 0;
    for (const RecipeEntry& e : r->recipe.entries) {
      if (e.kind != RecipeEntryKind::file) continue;
      ++files;
      const std::string data = readHost(host("app/" + e.path));
      EXPECT_EQ(data.size(), e.size) << e.path;
      EXPECT_EQ(sha256Hex(data), e.sha256) << e.path;
    }
    EXPECT_EQ(files, static_cast<std::size_t>(count));
    stdfs::remove_all(host("app"));
  }
}

TEST_F(TarExtractionTest, CancellationStopsTheNextFileOperation) {
  test::FakeClock clock;
  IoContext ctx;
  ctx.setClock(&clock);
  ScopedIo scoped(ctx);
  int creates = 0;
  ctx.setFaultHook([&](FsOp op, std::string_view) -> Status {
    if (op == FsOp::Create && ++creates == 2) ctx.cancel();
    return success();
  });
  EXPECT_EQ(extractError(TarBuilder().dir("app").file("app/a", "1").file("app/b", "2").file("app/c", "3").end().bytes()),
            Error::Canceled);
  EXPECT_FALSE(stdfs::exists(host("app/c")));
}

// A cancel while syncs are queued or running: the unpacking ends Canceled
// soon after, and no descriptor stays open.
TEST_F(TarExtractionTest, CancellationDuringManyFilesLeavesNoDescriptorOpen) {
  struct Case {
    FsOp op;
    int at;
  } cases[] = {{FsOp::Create, 120}, {FsOp::Sync, 40}, {FsOp::Write, 250}};
  const std::string tar = manyFilesTar(300);
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.op));
    IoContext ctx;
    ScopedIo scoped(ctx);
    std::atomic<int> seen{0};
    std::atomic<int> creates{0};
    ctx.setFaultHook([&](FsOp op, std::string_view) -> Status {
      if (op == FsOp::Create) ++creates;
      if (op == c.op && ++seen == c.at) ctx.cancel();
      return success();
    });
    const std::size_t before = openDescriptors();
    EXPECT_EQ(extractError(tar), Error::Canceled);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_LT(creates.load(), 300);
    stdfs::remove_all(host("app"));
  }
}

TEST_F(TarExtractionTest, DataPastTheExpectedSizeIsRefusedWhenUnpacking) {
  const std::string tar = TarBuilder().dir("app").file("app/a", "abc").end().bytes();
  ASSERT_TRUE(extract(tar, tar.size()).ok());
  stdfs::remove_all(host("app"));
  EXPECT_EQ(extract(tar + "x", tar.size()).error(), Error::InvalidTarTrailer);
}

TEST_F(TarExtractionTest, HostileArchivesWriteNothingOutside) {
  struct Case {
    const char* what;
    std::string tar;
    Error error;
  };
  auto links = [](std::vector<std::pair<std::string, std::string>> list, const std::string& then = {}) {
    TarBuilder b;
    b.dir("app");
    for (const auto& [name, target] : list) b.symlink(name, target);
    if (!then.empty()) b.file(then, "pwned");
    return b.end().bytes();
  };
  TarHeader absolute;
  absolute.name = "x";
  absolute.prefix = "/tmp";
  const std::vector<Case> cases = {
      {"through a link to itself", links({{"app/a", "."}, {"app/b", "a/.."}}), Error::InvalidLinkTarget},
      {"through a doubled link", links({{"app/c", "."}, {"app/t", "c/c/.."}}), Error::InvalidLinkTarget},
      {"climbing a tripled link", links({{"app/c", "."}, {"app/t", "c/c/c/../../.."}}), Error::InvalidLinkTarget},
      {"link out", links({{"app/up", ".."}}), Error::InvalidLinkTarget},
      {"absolute link", links({{"app/abs", "/tmp"}}), Error::InvalidLinkTarget},
      {"file below a link", links({{"app/l", "."}}, "app/l/x"), Error::NonDirectoryArchiveAncestor},
      {"dot dot", TarBuilder().dir("app").file("app/../outside/x", "pwned").end().bytes(), Error::InvalidArchivePath},
      {"absolute prefix", TarBuilder().entry(absolute).end().bytes(), Error::InvalidArchivePath},
      {"pax path out", TarBuilder().dir("app").pax({{"path", "../outside/x"}}).file("app/x", "p").end().bytes(),
       Error::InvalidArchivePath},
      {"long name out", TarBuilder().dir("app").gnuLongName("app/../../x").file("app/x", "p").end().bytes(),
       Error::InvalidArchivePath},
      {"second root", TarBuilder().dir("app").file("app/a", "1").file("outside/x", "p").end().bytes(),
       Error::MultipleArchiveRoots},
      {"case twin", TarBuilder().dir("app").dir("app/D").dir("app/d").end().bytes(), Error::DuplicateArchivePath},
      {"hard link out", TarBuilder().dir("app").hardlink("app/h", "outside/keep").end().bytes(),
       Error::InvalidLinkTarget},
      {"fifo", TarBuilder().dir("app").entry([] { TarHeader h; h.name = "app/p"; h.typeflag = '6'; return h; }()).end().bytes(),
       Error::UnsupportedTarType},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(extractError(c.tar), c.error);
    expectNothingOutside();
    stdfs::remove_all(host("app"));
  }
}

TEST_F(TarExtractionTest, ReadsArchivesOfTheSystemTar) {
  if (std::system("tar --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no tar";
  const std::string src = tmp_.host("src");
  stdfs::create_directories(src + "/app/bin/" + std::string(120, 'd'));
  std::ofstream(src + "/app/bin/tool") << "tool";
  std::ofstream(src + "/app/bin/" + std::string(120, 'd') + "/" + std::string(140, 'f')) << "long";
  std::ofstream(src + "/app/empty");
  stdfs::create_symlink("tool", src + "/app/bin/current");
  stdfs::create_symlink("bin", src + "/app/bin-link");
  ASSERT_EQ(::link((src + "/app/bin/tool").c_str(), (src + "/app/tool-again").c_str()), 0);
  for (const std::string format : {"gnu", "posix", "ustar"}) {
    SCOPED_TRACE(format);
    const std::string tarPath = tmp_.host(format + ".tar");
    const std::string cmd = "tar --format=" + format + " -C " + src + " -cf " + tarPath + " app 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) {
      ASSERT_EQ(format, "ustar") << "tar refused the archive";  // ustar cannot hold the long names
      continue;
    }
    auto r = extract(readHost(tarPath));
    ASSERT_TRUE(r.ok()) << errorName(r.error());
    EXPECT_EQ(treeOf(host("app")), treeOf(src + "/app"));
    EXPECT_EQ(readHost(host("app/bin/" + std::string(120, 'd') + "/" + std::string(140, 'f'))), "long");
    EXPECT_TRUE(links_.at("bin-link").folderLink);
    EXPECT_FALSE(links_.at("current").folderLink);
    stdfs::remove_all(host("app"));
  }
}

// The 100,000 files go to a memory-backed folder where one is available:
// each file is synced, which a disk would make slow without saying anything
// about the reader.
TEST(TarExtractionScale, HundredThousandFilesInOneFolder) {
  std::string base = "/dev/shm";
  if (!stdfs::is_directory(base)) base = "/tmp";
  std::string templ = base + "/tl-tar-scale-XXXXXX";
  ASSERT_NE(::mkdtemp(templ.data()), nullptr);
  struct Cleanup {
    std::string path;
    ~Cleanup() { stdfs::remove_all(path); }
  } cleanup{templ};

  TarBuilder b;
  b.dir("app").dir("app/many");
  // Empty files: a header each, which keeps the literal bytes under their cap.
  for (std::size_t i = 0; i + 1 < kMaxTarEntries; ++i) b.file("app/many/f" + std::to_string(i), "");
  const std::string tar = b.end().bytes();

  auto dir = fs::openDir(fs::windowsPath(templ));
  ASSERT_TRUE(dir.ok());
  ArchiveDestination dest(*dir);
  MemoryPullReader reader(tar);
  const auto start = std::chrono::steady_clock::now();
  auto r = extractTarArchive(reader, tar.size(), &dest);
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(r.ok()) << errorName(r.error());
  EXPECT_EQ(r->recipe.entries.size(), kMaxTarEntries);
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& e : stdfs::directory_iterator(templ + "/app/many")) ++count;
  EXPECT_EQ(count, kMaxTarEntries - 1);
  RecordProperty("seconds", std::to_string(seconds));
}

// --- the folder-link decision on its own ------------------------------------------

UpdateRecipe recipeWithEntries(std::vector<RecipeEntry> entries) {
  UpdateRecipe r;
  r.root = "app";
  r.entries = std::move(entries);
  return r;
}

RecipeEntry linkEntry(std::string path, std::string target) {
  RecipeEntry e;
  e.path = std::move(path);
  e.kind = RecipeEntryKind::symlink;
  e.link_target = std::move(target);
  return e;
}

TEST(FolderLinkResolver, LongChainsResolveInLinearSteps) {
  constexpr std::size_t kChain = 20000;
  std::vector<RecipeEntry> entries;
  for (std::size_t i = 0; i < kChain; ++i) entries.push_back(linkEntry("l" + std::to_string(i), "l" + std::to_string(i + 1)));
  RecipeEntry folder;
  folder.path = "l" + std::to_string(kChain);
  folder.kind = RecipeEntryKind::directory;
  entries.push_back(folder);
  const UpdateRecipe recipe = recipeWithEntries(entries);

  FolderLinkResolver resolver(recipe);
  for (std::size_t i = 0; i < kChain; ++i) {
    auto r = resolver.isFolderLink(i);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(*r);
  }
  EXPECT_EQ(resolver.steps(), kChain);

  // Resolved from the far end first, too.
  FolderLinkResolver backwards(recipe);
  for (std::size_t i = kChain; i-- > 0;) ASSERT_TRUE(backwards.isFolderLink(i).ok());
  EXPECT_EQ(backwards.steps(), kChain);
}

TEST(FolderLinkResolver, LongCycleIsDetectedInLinearSteps) {
  constexpr std::size_t kChain = 20000;
  std::vector<RecipeEntry> entries;
  for (std::size_t i = 0; i < kChain; ++i) {
    entries.push_back(linkEntry("l" + std::to_string(i), "l" + std::to_string((i + 1) % kChain)));
  }
  const UpdateRecipe recipe = recipeWithEntries(entries);
  FolderLinkResolver resolver(recipe);
  for (std::size_t i = 0; i < kChain; ++i) {
    auto r = resolver.isFolderLink(i);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), Error::SymlinkCycle);
  }
  EXPECT_EQ(resolver.steps(), kChain);
}

TEST(FolderLinkResolver, ChainIntoACycleIsACycle) {
  const UpdateRecipe recipe =
      recipeWithEntries({linkEntry("in", "a"), linkEntry("a", "b"), linkEntry("b", "a"), linkEntry("up", "x/../..")});
  FolderLinkResolver resolver(recipe);
  EXPECT_EQ(resolver.isFolderLink(0).error(), Error::SymlinkCycle);
  EXPECT_EQ(resolver.isFolderLink(2).error(), Error::SymlinkCycle);
  EXPECT_EQ(resolver.isFolderLink(3).error(), Error::InvalidLinkTarget);
}

}  // namespace
}  // namespace tl
