#include "archive/archive_path.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace tl {
namespace {

struct PathCase {
  std::string path;
  bool valid;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << testing::PrintToString(c.path); }

// Test names carry the case's number and verdict, not its path: some paths
// are thousands of bytes long.
template <class Case>
std::string caseName(const testing::TestParamInfo<Case>& info) {
  return std::to_string(info.index) + (info.param.valid ? "_valid" : "_invalid");
}

class ArchivePathTest : public testing::TestWithParam<PathCase> {};

TEST_P(ArchivePathTest, Rule) {
  const PathCase& c = GetParam();
  const Status s = validateArchivePath(c.path);
  EXPECT_EQ(s.ok(), c.valid) << c.path;
  if (!s.ok()) {
    EXPECT_EQ(s.error(), Error::InvalidArchivePath);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ArchivePathTest,
    testing::Values(
        PathCase{"", false}, PathCase{std::string(4096, 'a'), true}, PathCase{std::string(4097, 'a'), false},
        PathCase{"a//b", false}, PathCase{"/a", false}, PathCase{"a/", false}, PathCase{"./a", false},
        PathCase{"a/../b", false}, PathCase{"a/.", false}, PathCase{"..", false}, PathCase{"a/b.", false},
        PathCase{"a/b ", false}, PathCase{"a/.b", true}, PathCase{"a\\b", false}, PathCase{"a:b", false},
        PathCase{"a|b", false}, PathCase{"a\tb", false}, PathCase{"a\x7f", false},
        PathCase{std::string("a\0b", 3), false}, PathCase{"a%b", true}, PathCase{"a#b", true},
        PathCase{"a\"b", false}, PathCase{"a*b", false}, PathCase{"a<b", false}, PathCase{"a>b", false},
        PathCase{"a?b", false}, PathCase{"x/NUL", false}, PathCase{"x/nul.txt", false}, PathCase{"x/Com7", false},
        PathCase{"x/lpt9.dat", false}, PathCase{"con", false}, PathCase{"aux.tar.gz", false},
        PathCase{"x/com0", true}, PathCase{"x/lpt", true}, PathCase{"x/nul1", true}, PathCase{"x/auxiliary", true},
        PathCase{"console", true}, PathCase{"com10", true}, PathCase{"nul_", true},
        PathCase{"x/COM\xC2\xB9", false}, PathCase{"x/lpt\xC2\xB2.log", false}, PathCase{"Com\xC2\xB3", false},
        PathCase{"x/COM\xC2\xB4", true}, PathCase{"x/LPT\xC2\xB9\xC2\xB9", true}, PathCase{"x/COM\xE2\x81\xB0", true},
        PathCase{"x/CONIN$", false}, PathCase{"x/conout$.txt", false}, PathCase{"ConIn$", false},
        PathCase{"x/CONIN", true}, PathCase{"x/CONOUT$x", true}, PathCase{"x/CONERR$", true},
        PathCase{"a/\xED\xA0\x80", false}, PathCase{"a\xC0\xAF" "b", false}, PathCase{"a/\xE2\x82\xAC", true},
        PathCase{"a/\xF4\x90\x80\x80", false}, PathCase{"a/\xE2\x82", false}),
    caseName<PathCase>);

struct LinkCase {
  std::string link;
  std::string target;
  bool valid;
};

void PrintTo(const LinkCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.link) << " -> " << testing::PrintToString(c.target);
}

class LinkTargetTest : public testing::TestWithParam<LinkCase> {};

TEST_P(LinkTargetTest, Rule) {
  const LinkCase& c = GetParam();
  const Status s = validateLinkTarget(c.link, c.target);
  EXPECT_EQ(s.ok(), c.valid) << c.link << " -> " << c.target;
  if (!s.ok()) {
    EXPECT_EQ(s.error(), Error::InvalidLinkTarget);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, LinkTargetTest,
    testing::Values(LinkCase{"app/bin/tool", "../lib/x", true}, LinkCase{"app/bin/tool", "../../x", true},
                    LinkCase{"app/bin/tool", "../../../x", false}, LinkCase{"app/tool", "./../x", true},
                    LinkCase{"app/tool", "/etc", false}, LinkCase{"app/tool", "a//b", false},
                    LinkCase{"app/tool", "a/", false}, LinkCase{"app/tool", ".", true},
                    LinkCase{"tool", "..", false}, LinkCase{"tool", "x/../..", false},
                    LinkCase{"app/tool", "lib/aux", false}, LinkCase{"app/tool", "bin/x:y", false},
                    LinkCase{"app/tool", "", false}, LinkCase{"app/tool", std::string(4097, 'a'), false},
                    LinkCase{"app/tool", "\xC0\xAF", false}, LinkCase{"a/b/c", "../../x/..", true},
                    LinkCase{"a/b/c", "../../x/../..", false}),
    caseName<LinkCase>);

TEST(JoinArchivePath, JoinsWithOneSlashAndValidatesNothing) {
  EXPECT_EQ(joinArchivePath("app", "bin/x"), "app/bin/x");
  EXPECT_EQ(joinArchivePath("", "x"), "/x");
  EXPECT_EQ(joinArchivePath("a/", "../b"), "a//../b");
}

}  // namespace
}  // namespace tl
