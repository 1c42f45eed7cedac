#include "common/command_line.h"

#include <gtest/gtest.h>

#include <random>

#include "common/wtf8.h"

namespace tl {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, SplitsByTheRuntimeRules) {
  const std::pair<std::string, Args> cases[] = {
      {"", {""}},
      {"prog", {"prog"}},
      {"prog a b", {"prog", "a", "b"}},
      {"prog  \t a\t\tb  ", {"prog", "a", "b"}},
      {" a", {"", "a"}},
      // Program name: quotes only group, backslashes are plain.
      {"\"C:\\Program Files\\x.exe\" a", {"C:\\Program Files\\x.exe", "a"}},
      {"\"C:\\dir\\\" a", {"C:\\dir\\", "a"}},
      {"C:\\a\\\"b c\"\\d.exe e", {"C:\\a\\b c\\d.exe", "e"}},
      {"\"unterminated name", {"unterminated name"}},
      // Quoting and backslashes in the other arguments.
      {"p \"a b\" c", {"p", "a b", "c"}},
      {"p a\"b c\"d", {"p", "ab cd"}},
      {"p \"\"", {"p", ""}},
      {"p \"\" \"\"", {"p", "", ""}},
      {"p a\\\\b", {"p", "a\\\\b"}},
      {"p a\\b\\", {"p", "a\\b\\"}},
      {"p a\\\"b", {"p", "a\"b"}},
      {"p a\\\\\"b c\"", {"p", "a\\b c"}},
      {"p a\\\\\\\"b", {"p", "a\\\"b"}},
      {"p \"a\\\\\" b", {"p", "a\\", "b"}},
      {"p \"a b", {"p", "a b"}},
      // Two quotes inside a quoted part: a literal quote, still quoted.
      {"p \"a\"\"b c\"", {"p", "a\"b c"}},
      {"p \"\"\"\"", {"p", "\""}},
      {"p \"\"\"a b\"", {"p", "\"a b"}},
      // Outside quotes a pair opens and closes an empty part.
      {"p a\"\"b", {"p", "ab"}},
      {"p \xC3\xA9 \"\xE2\x82\xAC x\"", {"p", "\xC3\xA9", "\xE2\x82\xAC x"}},
      {"p a\nb", {"p", "a\nb"}},
  };
  for (const auto& [line, expected] : cases) {
    SCOPED_TRACE(line);
    EXPECT_EQ(splitCommandLineUtf8(line), expected);
    std::vector<std::u16string> wide = splitCommandLine(*wtf8ToUtf16(line));
    Args narrowed;
    for (const std::u16string& a : wide) narrowed.push_back(utf16ToWtf8(a));
    EXPECT_EQ(narrowed, expected);
  }
}

TEST(CommandLine, CursorGivesOneArgumentAtATime) {
  CommandLineCursor cursor(u"prog \"a b\" c");
  std::u16string arg;
  ASSERT_TRUE(nextCommandLineArg(cursor, arg));
  EXPECT_EQ(arg, u"prog");
  ASSERT_TRUE(nextCommandLineArg(cursor, arg));
  EXPECT_EQ(arg, u"a b");
  ASSERT_TRUE(nextCommandLineArg(cursor, arg));
  EXPECT_EQ(arg, u"c");
  EXPECT_FALSE(nextCommandLineArg(cursor, arg));
  EXPECT_FALSE(nextCommandLineArg(cursor, arg));
}

TEST(CommandLine, QuotesOnlyWhatNeedsIt) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},
      {"a\\b\\", "a\\b\\"},
      {"", "\"\""},
      {"a b", "\"a b\""},
      {"a\tb", "\"a\tb\""},
      {"a\"b", "\"a\\\"b\""},
      {"a b\\", "\"a b\\\\\""},
      {"a\\\"b", "\"a\\\\\\\"b\""},
      {"a\\b c", "\"a\\b c\""},
  };
  for (const auto& [arg, quoted] : cases) {
    SCOPED_TRACE(arg);
    EXPECT_EQ(quoteWindowsArg(arg), quoted);
  }
  EXPECT_EQ(buildCommandLine({"C:\\Program Files\\x.exe", "a b", ""}).value(),
            "\"C:\\Program Files\\x.exe\" \"a b\" \"\"");
  EXPECT_EQ(buildCommandLine({}).value(), "");
}

TEST(CommandLine, BuildThenSplitGivesTheArgumentsBack) {
  const Args nasty[] = {
      {"C:\\dir with space\\", "x"},
      {"", ""},
      {"prog", "", "", ""},
      {"prog", "trailing\\", "trailing space\\", "two\\\\", "\\"},
      {"prog", "\"", "\"\"", "\\\"", "a\"b\"c", "\" \""},
      {"prog", "\t", " ", "a  b"},
      {"prog", "\xC3\xA9t\xC3\xA9", "\xF0\x9F\x98\x80 smile", "\xED\xA0\x80"},
      {"prog", "--quiet", "C:\\Users\\me\\AppData\\Local\\x\\"},
  };
  for (const Args& args : nasty) {
    std::string line = buildCommandLine(args).value();
    SCOPED_TRACE(line);
    EXPECT_EQ(splitCommandLineUtf8(line), args);
  }
}

TEST(CommandLine, RandomArgumentVectorsRoundTrip) {
  std::mt19937 rng(12345);
  const std::string pieces[] = {"a", "Z", " ", "\t", "\"", "\\", "\\\\", "\xC3\xA9", "\xF0\x9F\x98\x80", "\n"};
  const std::string namePieces[] = {"a", " ", "\t", "\\", "C:", "\xC3\xA9"};
  for (int round = 0; round < 3000; ++round) {
    Args args;
    std::string name;
    for (int i = static_cast<int>(rng() % 6); i > 0; --i) name += namePieces[rng() % std::size(namePieces)];
    args.push_back(name);
    for (int n = static_cast<int>(rng() % 5); n > 0; --n) {
      std::string a;
      for (int i = static_cast<int>(rng() % 7); i > 0; --i) a += pieces[rng() % std::size(pieces)];
      args.push_back(a);
    }
    std::string line = buildCommandLine(args).value();
    ASSERT_EQ(splitCommandLineUtf8(line), args) << line;
    std::vector<std::u16string> wide;
    for (const std::string& a : args) wide.push_back(*wtf8ToUtf16(a));
    ASSERT_EQ(splitCommandLine(buildCommandLineUtf16(wide)), wide) << line;
  }
}

TEST(CommandLine, AnArgumentHoldingNulIsRefused) {
  using namespace std::string_literals;
  const Args cases[] = {
      {"reg.exe", "add", "/d", "1.0\0x"s, "/f", "/reg:64"},
      {"p", "\0"s},
      {"p\0q"s, "a"},
  };
  for (const Args& args : cases) EXPECT_EQ(buildCommandLine(args).error(), Error::ArgumentContainsNul);
}

TEST(CommandLine, QuotesCannotBePartOfTheProgramName) {
  EXPECT_EQ(splitCommandLineUtf8(buildCommandLine({"a\"b c", "d"}).value()), (Args{"ab c", "d"}));
}

}  // namespace
}  // namespace tl
