#include "update/retained_archive_unpacker.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/tar_builder.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

namespace stdfs = std::filesystem;
using test::TarBuilder;
using test::TarHeader;

// "dir/" for folders, "name=content" for files, "name@" for links; sorted.
std::string treeOf(const std::string& hostRoot) {
  std::vector<std::string> names;
  for (auto it = stdfs::recursive_directory_iterator(hostRoot); it != stdfs::recursive_directory_iterator(); ++it) {
    std::string name = stdfs::relative(it->path(), hostRoot).string();
    if (it->is_symlink()) {
      name += "@";
    } else if (it->is_directory()) {
      name += "/";
    } else {
      std::ifstream in(it->path(), std::ios::binary);
      std::stringstream ss;
      ss << in.rdbuf();
      name += "=" + ss.str();
    }
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

TarHeader header(const std::string& name, char type, std::uint64_t size = 0) {
  TarHeader h;
  h.name = name;
  h.typeflag = type;
  h.size = size;
  return h;
}

std::string linkWithData(const std::string& name, const std::string& target) {
  return TarBuilder().entry(header(name, '2', target.size()), target).bytes();
}

class RetainedArchiveTest : public testing::Test {
 protected:
  void SetUp() override {
    stdfs::create_directories(tmp_.host("stage"));
    stdfs::create_directories(tmp_.host("outside"));
  }

  // Unpacks into a fresh stage; returns the error name or "ok", and the
  // lines written on standard error.
  std::string unpack(const std::string& tar, std::string* err = nullptr) {
    stdfs::remove_all(tmp_.host("stage"));
    stdfs::create_directories(tmp_.host("stage"));
    if (plantLink_) ::symlink(tmp_.host("outside").c_str(), tmp_.host("stage/evil").c_str());
    auto stage = fs::openDir(tmp_.win("stage"));
    EXPECT_TRUE(stage.ok());
    MemoryPullReader reader(tar);
    testing::internal::CaptureStderr();
    const Status s = unpackRetainedTar(reader, *stage);
    const std::string lines = testing::internal::GetCapturedStderr();
    if (err) *err = lines;
    EXPECT_EQ(treeOf(tmp_.host("outside")), "") << "written outside the stage";
    return s ? "ok" : std::string(errorName(s.error()));
  }

  test::TempDir tmp_;
  bool plantLink_ = false;
};

TEST_F(RetainedArchiveTest, EntriesAndHostileInput) {
  TarHeader prefixed = header("bin/x", '0', 2);
  prefixed.prefix = "app";
  TarHeader gnu = header("g", '0', 1);
  gnu.gnu();
  gnu.prefix = "ignored";
  TarHeader badSize = header("f", '0');
  badSize.sizeField = "12x";
  const std::string bigPax(4000, 'a');
  struct {
    const char* name;
    std::string tar;
    const char* result;
    std::string tree;
  } cases[] = {
      {"files and folders", TarBuilder().dir("app").file("app/a", "abc").dir("app/e/f").end().bytes(), "ok",
       "app/ app/a=abc app/e/ app/e/f/"},
      {"ustar prefix", TarBuilder().entry(prefixed, "hi").end().bytes(), "ok", "app/ app/bin/ app/bin/x=hi"},
      {"GNU header has no prefix", TarBuilder().entry(gnu, "1").end().bytes(), "ok", "g=1"},
      {"backslash separators", TarBuilder().file("a\\b", "1").end().bytes(), "ok", "a/ a/b=1"},
      {"two dots begin a name", TarBuilder().file("..a/b..", "1").end().bytes(), "ok", "..a/ ..a/b..=1"},
      {"no end blocks", TarBuilder().file("a", std::string(600, 'z')).bytes(), "ok",
       "a=" + std::string(600, 'z')},
      {"nothing after the first zero block",
       TarBuilder().file("a", "1").end().file("b", "2").bytes(), "ok", "a=1"},
      {"links are not made", linkWithData("d/l", "target") + TarBuilder().symlink("m", "t").end().bytes(), "ok",
       "d/"},
      {"time records skipped", TarBuilder().pax({{"mtime", "1.5"}, {"uname", "x"}}).file("a", "1").end().bytes(),
       "ok", "a=1"},
      {"dots after a slash", TarBuilder().file("a/../b", "1").end().bytes(), "PathTraversal", ""},
      {"dots before a backslash", TarBuilder().file("..\\b", "1").end().bytes(), "PathTraversal", ""},
      {"dots alone", TarBuilder().dir("..").end().bytes(), "PathTraversal", ""},
      {"drive letter", TarBuilder().file("C:x", "1").end().bytes(), "PathTraversal", ""},
      {"absolute", TarBuilder().file("/etc/x", "1").end().bytes(), "PathTraversal", ""},
      {"rooted backslash", TarBuilder().file("\\x", "1").end().bytes(), "PathTraversal", ""},
      {"hard link", TarBuilder().file("a", "1").hardlink("b", "a").end().bytes(), "TarUnsupportedFileType", "a=1"},
      {"fifo", TarBuilder().entry(header("p", '6')).end().bytes(), "TarUnsupportedFileType", ""},
      {"GNU long name", TarBuilder().gnuLongName("long").file("a", "1").end().bytes(), "TarUnsupportedFileType", ""},
      {"pax path", TarBuilder().file(std::string(120, 'n'), "1").end().bytes(), "TarUnsupportedFileType", ""},
      {"pax size", TarBuilder().pax({{"size", "1"}}).file("a", "1").end().bytes(), "TarUnsupportedFileType", ""},
      {"global pax linkpath", TarBuilder().pax({{"linkpath", "x"}}, 'g').end().bytes(), "TarUnsupportedFileType",
       ""},
      {"pax sparse", TarBuilder().pax({{"GNU.sparse.name", "x"}}).end().bytes(), "TarUnsupportedFileType", ""},
      {"pax malformed", TarBuilder().paxRaw("9 a\n").end().bytes(), "InvalidPaxRecord", ""},
      {"pax larger than the window", TarBuilder().pax({{"comment", std::string(4100, 'c')}}).end().bytes(),
       "TarHeadersTooBig", ""},
      // 3,072 bytes in, a 4,000-byte pax header fits only after compaction.
      {"pax anywhere it fits", TarBuilder().file("a", std::string(2560, 'z')).pax({{"comment", bigPax}})
                                   .file("b", "1").end().bytes(), "ok", "a=" + std::string(2560, 'z') + " b=1"},
      {"size not octal", TarBuilder().entry(badSize).end().bytes(), "InvalidCharacter", ""},
      {"partial header", TarBuilder().file("a", "1").raw(std::string(100, 'x')).bytes(), "UnexpectedEndOfStream",
       "a=1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(unpack(c.tar), c.result) << c.name;
    EXPECT_EQ(treeOf(tmp_.host("stage")), c.tree) << c.name;
  }
}

TEST_F(RetainedArchiveTest, NarratesEveryCreation) {
  std::string err;
  const std::string tar =
      TarBuilder().dir("app").file("app/bin/x", "1").raw(linkWithData("app/l", "x")).end().bytes();
  EXPECT_EQ(unpack(tar, &err), "ok");
  EXPECT_EQ(err,
            "DEBUG: Creating directory: 'app'\n"
            "DEBUG: Creating parent dir: 'app/bin'\n"
            "DEBUG: Creating file: 'app/bin/x'\n"
            "Skipping symlink creation on Windows: app/l -> x\n");

  // A file where a folder is wanted fails the parent's creation.
  EXPECT_EQ(unpack(TarBuilder().file("f", "1").file("f/g", "2").end().bytes(), &err), "NotDir");
  EXPECT_EQ(err,
            "DEBUG: Creating file: 'f'\n"
            "DEBUG: Creating parent dir: 'f'\n"
            "ERROR: Failed to create parent dir 'f': error.NotDir\n");
  EXPECT_EQ(unpack(TarBuilder().file("f", "1").dir("f").end().bytes(), &err), "NotDir");
  EXPECT_EQ(err, "DEBUG: Creating file: 'f'\nDEBUG: Creating directory: 'f'\n"
                 "ERROR: Failed to create directory 'f': error.NotDir\n");
  EXPECT_EQ(unpack(TarBuilder().dir("d").file("d/", "1").end().bytes(), &err), "IsDir");
  EXPECT_EQ(err, "DEBUG: Creating directory: 'd'\nDEBUG: Creating file: 'd/'\n"
                 "ERROR: Failed to create file 'd/': error.IsDir\n");
}

TEST_F(RetainedArchiveTest, NothingWrittenThroughALinkInTheStage) {
  plantLink_ = true;
  for (const std::string& tar : {TarBuilder().file("evil/x", "1").end().bytes(),
                                 TarBuilder().dir("evil/sub").end().bytes(), linkWithData("evil/l", "t"),
                                 TarBuilder().file("evil", "1").end().bytes()}) {
    EXPECT_NE(unpack(tar), "ok");
  }
}

TEST_F(RetainedArchiveTest, TruncatedAnywhere) {
  const std::string tar =
      TarBuilder().dir("app").file("app/a", std::string(700, 'a')).pax({{"mtime", "1"}}).file("app/b", "b").bytes();
  // The archive may end only where a header would start.
  const std::vector<std::size_t> boundaries = {0, 512, 2048, 3072, tar.size()};
  // In memory where there is a memory file system: thousands of small
  // rewrites on a busy disk take seconds.
  char templ[] = "/dev/shm/tl-retained-XXXXXX";
  const bool shm = ::mkdtemp(templ) != nullptr;
  const std::string host = shm ? std::string(templ) : tmp_.host("stage");
  auto stage = fs::openDir(fs::windowsPath(host));
  ASSERT_TRUE(stage.ok());
  testing::internal::CaptureStderr();
  for (std::size_t n = 0; n <= tar.size(); ++n) {
    const bool boundary = std::find(boundaries.begin(), boundaries.end(), n) != boundaries.end();
    MemoryPullReader reader(std::string_view(tar).substr(0, n));
    const Status s = unpackRetainedTar(reader, *stage);
    EXPECT_EQ(s ? "ok" : errorName(s.error()), boundary ? "ok" : "UnexpectedEndOfStream") << n;
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(treeOf(host), "app/ app/a=" + std::string(700, 'a') + " app/b=b");
  if (shm) stdfs::remove_all(host);
}

TEST_F(RetainedArchiveTest, OpensOnlyRegularFiles) {
  std::ofstream(tmp_.host("archive.tar"), std::ios::binary) << TarBuilder().file("a", "1").end().bytes();
  ::symlink(tmp_.host("archive.tar").c_str(), tmp_.host("link.tar").c_str());
  auto stage = fs::openDir(tmp_.win("stage"));
  ASSERT_TRUE(stage.ok());
  testing::internal::CaptureStderr();
  EXPECT_TRUE(unpackRetainedArchive(tmp_.win("archive.tar"), *stage).ok());
  EXPECT_EQ(unpackRetainedArchive(tmp_.win("outside"), *stage).error(), Error::Streaming);
  EXPECT_EQ(unpackRetainedArchive(tmp_.win("link.tar"), *stage).error(), Error::Streaming);
  EXPECT_EQ(unpackRetainedArchive(tmp_.win("missing.tar"), *stage).error(), Error::FileNotFound);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(treeOf(tmp_.host("stage")), "a=1");
}

}  // namespace
}  // namespace tl
