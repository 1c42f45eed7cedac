#include "update/apply/retained_archive_unpacker.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "support/tar_builder.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

namespace stdfs = std::filesystem;
using test::TarBuilder;

// Sorted "dir/" and "file=content" names below a host folder.
std::string treeOf(const std::string& hostRoot) {
  std::set<std::string> names;
  for (auto it = stdfs::recursive_directory_iterator(hostRoot); it != stdfs::recursive_directory_iterator(); ++it) {
    std::stringstream content;
    if (!it->is_directory()) content << std::ifstream(it->path(), std::ios::binary).rdbuf();
    names.insert(stdfs::relative(it->path(), hostRoot).string() + (it->is_directory() ? "/" : "=" + content.str()));
  }
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

// A header of the type with `data` after it.
std::string entry(const std::string& name, char type, const std::string& data = "") {
  test::TarHeader h;
  h.name = name;
  h.typeflag = type;
  h.size = data.size();
  return TarBuilder().entry(h, data).bytes();
}

class RetainedArchiveTest : public testing::Test {
 protected:
  // Unpacks into a fresh stage (with a link to a folder beside it when
  // `plant`); the error name or "ok", and what went to standard error.
  std::string unpack(const std::string& tar, std::string* err = nullptr, bool plant = false) {
    stdfs::remove_all(tmp_.host("stage"));
    stdfs::create_directories(tmp_.host("stage"));
    stdfs::create_directories(tmp_.host("outside"));
    if (plant) ::symlink(tmp_.host("outside").c_str(), tmp_.host("stage/evil").c_str());
    auto stage = fs::openDir(tmp_.win("stage"));
    MemoryPullReader reader(tar);
    testing::internal::CaptureStderr();
    const Status s = unpackRetainedTar(reader, *stage);
    const std::string lines = testing::internal::GetCapturedStderr();
    if (err) *err = lines;
    EXPECT_EQ(treeOf(tmp_.host("outside")), "") << "written outside the stage";
    return s ? "ok" : std::string(errorName(s.error()));
  }

  test::TempDir tmp_;
};

TEST_F(RetainedArchiveTest, EntriesAndHostileInput) {
  test::TarHeader prefixed, gnu;
  prefixed.name = "bin/x";
  prefixed.prefix = "app";
  gnu.gnu().name = "g";
  gnu.prefix = "ignored";
  const std::string z(2560, 'z');
  const std::string comment(4000, 'c');  // a 4,096-byte pax header
  struct {
    std::string tar;
    const char* result;
    std::string tree;
  } cases[] = {
      {TarBuilder().dir("app").file("app/a", "abc").dir("app/e/f").end().bytes(), "ok", "app/ app/a=abc app/e/ app/e/f/"},
      {TarBuilder().entry(prefixed).entry(gnu).end().bytes(), "ok", "app/ app/bin/ app/bin/x= g="},
      {TarBuilder().file("a\\b", "1").file("..a/b..", "2").bytes(), "ok", "..a/ ..a/b..=2 a/ a/b=1"},  // no end blocks
      {TarBuilder().file("a", "1").end().file("b", "2").bytes(), "ok", "a=1"},
      {entry("d/l", '2', "target") + TarBuilder().symlink("m", "t").end().bytes(), "ok", "d/"},
      {TarBuilder().pax({{"mtime", "1.5"}}).file("a", "1").end().bytes(), "ok", "a=1"},
      // At 3,072 bytes in, the pax header fits only once the window is compacted.
      {TarBuilder().file("a", z).pax({{"comment", comment}}).file("b", "1").end().bytes(), "ok", "a=" + z + " b=1"},
      {TarBuilder().file("a/../b", "1").end().bytes(), "PathTraversal", ""},
      {TarBuilder().file("..\\b", "1").end().bytes(), "PathTraversal", ""},
      {TarBuilder().file("C:x", "1").end().bytes(), "PathTraversal", ""},
      {TarBuilder().file("/etc/x", "1").end().bytes(), "PathTraversal", ""},
      {TarBuilder().file("a", "1").hardlink("b", "a").end().bytes(), "TarUnsupportedFileType", "a=1"},
      {TarBuilder().gnuLongName("long").file("a", "1").end().bytes(), "TarUnsupportedFileType", ""},
      {TarBuilder().file(std::string(120, 'n'), "1").end().bytes(), "TarUnsupportedFileType", ""},  // pax path
      {TarBuilder().pax({{"size", "1"}}).file("a", "1").end().bytes(), "TarUnsupportedFileType", ""},
      {TarBuilder().paxRaw("9 a\n").end().bytes(), "InvalidPaxRecord", ""},
      {TarBuilder().pax({{"comment", std::string(4100, 'c')}}).end().bytes(), "TarHeadersTooBig", ""},
      {entry("f", '0').replace(124, 3, "12x"), "InvalidCharacter", ""},
      {TarBuilder().file("a", "1").raw(std::string(100, 'x')).bytes(), "UnexpectedEndOfStream", "a=1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(unpack(c.tar), c.result) << c.tree;
    EXPECT_EQ(treeOf(tmp_.host("stage")), c.tree);
  }
}

TEST_F(RetainedArchiveTest, NarratesEveryCreation) {
  std::string err;
  EXPECT_EQ(unpack(TarBuilder().dir("app").file("app/bin/x", "1").raw(entry("app/l", '2', "x")).end().bytes(), &err),
            "ok");
  EXPECT_EQ(err, "DEBUG: Creating directory: 'app'\nDEBUG: Creating parent dir: 'app/bin'\n"
                 "DEBUG: Creating file: 'app/bin/x'\nSkipping symlink creation on Windows: app/l -> x\n");
  EXPECT_EQ(unpack(TarBuilder().file("f", "1").file("f/g", "2").end().bytes(), &err), "NotDir");
  EXPECT_EQ(err, "DEBUG: Creating file: 'f'\nDEBUG: Creating parent dir: 'f'\n"
                 "ERROR: Failed to create parent dir 'f': error.NotDir\n");
  EXPECT_EQ(unpack(TarBuilder().dir("d").file("d/", "1").end().bytes(), &err), "IsDir");
  EXPECT_EQ(err, "DEBUG: Creating directory: 'd'\nDEBUG: Creating file: 'd/'\n"
                 "ERROR: Failed to create file 'd/': error.IsDir\n");
}

TEST_F(RetainedArchiveTest, NothingWrittenThroughALinkInTheStage) {
  for (const std::string& tar : {TarBuilder().file("evil/x", "1").bytes(), TarBuilder().dir("evil/sub").bytes(),
                                 entry("evil/l", '2', "t"), TarBuilder().file("evil", "1").bytes()}) {
    EXPECT_NE(unpack(tar, nullptr, true), "ok");
  }
}

TEST_F(RetainedArchiveTest, TruncatedAnywhere) {
  const std::string tar =
      TarBuilder().dir("app").file("app/a", std::string(700, 'a')).pax({{"mtime", "1"}}).file("app/b", "b").bytes();
  // The archive may end only where a header would start. In memory where
  // that is possible: thousands of rewrites on a busy disk take seconds.
  const std::set<std::size_t> boundaries = {0, 512, 2048, 3072, tar.size()};
  char templ[] = "/dev/shm/tl-retained-XXXXXX";
  const bool shm = ::mkdtemp(templ) != nullptr;
  const std::string host = shm ? std::string(templ) : tmp_.hostPath();
  auto stage = fs::openDir(fs::windowsPath(host));
  testing::internal::CaptureStderr();
  for (std::size_t n = 0; n <= tar.size(); ++n) {
    MemoryPullReader reader(std::string_view(tar).substr(0, n));
    const Status s = unpackRetainedTar(reader, *stage);
    EXPECT_EQ(s ? "ok" : errorName(s.error()), boundaries.count(n) ? "ok" : "UnexpectedEndOfStream") << n;
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(treeOf(host), "app/ app/a=" + std::string(700, 'a') + " app/b=b");
  if (shm) stdfs::remove_all(host);
}

TEST_F(RetainedArchiveTest, OpensOnlyRegularFiles) {
  stdfs::create_directories(tmp_.host("stage"));
  std::ofstream(tmp_.host("archive.tar"), std::ios::binary) << TarBuilder().file("a", "1").end().bytes();
  ::symlink(tmp_.host("archive.tar").c_str(), tmp_.host("link.tar").c_str());
  auto stage = fs::openDir(tmp_.win("stage"));
  testing::internal::CaptureStderr();
  EXPECT_TRUE(unpackRetainedArchive(tmp_.win("archive.tar"), *stage).ok());
  for (const char* bad : {"stage", "link.tar"}) {
    EXPECT_EQ(unpackRetainedArchive(tmp_.win(bad), *stage).error(), Error::Streaming) << bad;
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(treeOf(tmp_.host("stage")), "a=1");
}

}  // namespace
}  // namespace tl
