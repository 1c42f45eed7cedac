#include "common/wtf8.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace tl {
namespace {

struct Case {
  const char* name;
  std::string bytes;
  std::u16string utf16;
};

TEST(Wtf8, DecodesAndEncodesValidText) {
  const Case cases[] = {
      {"empty", "", u""},
      {"ascii", "a\\b c", u"a\\b c"},
      {"two-byte", "\xC3\xA9", u"\u00E9"},
      {"three-byte", "\xE2\x82\xAC", u"\u20AC"},
      {"four-byte pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"lone high surrogate", "\xED\xA0\x80", std::u16string(1, 0xD800)},
      {"lone low surrogate", "\xED\xB0\x80", std::u16string(1, 0xDC00)},
      {"low then high", "\xED\xB0\x80\xED\xA0\x80", std::u16string{0xDC00, 0xD800}},
      {"two highs", "\xED\xA0\x80\xED\xAF\xBF", std::u16string{0xD800, 0xDBFF}},
      {"high then ascii", "\xED\xA0\x80z", std::u16string{0xD800, u'z'}},
      {"nul", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<std::u16string> decoded = wtf8ToUtf16(c.bytes);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(*decoded, c.utf16);
    EXPECT_EQ(utf16ToWtf8(c.utf16), c.bytes);
    EXPECT_EQ(hostBytesToUtf16(c.bytes), c.utf16);
  }
}

TEST(Wtf8, RejectsMalformedInput) {
  const std::pair<const char*, std::string> cases[] = {
      {"encoded surrogate pair", "\xED\xA0\x80\xED\xB0\x80"},
      {"overlong slash", "\xC0\xAF"},
      {"overlong three-byte", "\xE0\x80\xAF"},
      {"overlong four-byte", "\xF0\x80\x80\xAF"},
      {"above U+10FFFF", "\xF4\x90\x80\x80"},
      {"F5 lead", "\xF5\x80\x80\x80"},
      {"lone continuation", "\x80"},
      {"truncated", "\xE2\x82"},
      {"bad continuation", "\xE2\x28\xA1"},
      {"FF", "\xFF"},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    Result<std::u16string> r = wtf8ToUtf16(bytes);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), Error::InvalidWtf8);
    EXPECT_FALSE(isValidWtf8(bytes));
  }
}

TEST(Wtf8, UnpairedSurrogatesSurviveARoundTrip) {
  std::mt19937 rng(7);
  const char16_t alphabet[] = {u'a', 0x00E9, 0x20AC, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xD83D, 0xDE00};
  for (int round = 0; round < 2000; ++round) {
    std::u16string s;
    int len = static_cast<int>(rng() % 12);
    for (int i = 0; i < len; ++i) s += alphabet[rng() % std::size(alphabet)];
    std::string bytes = utf16ToWtf8(s);
    Result<std::u16string> back = wtf8ToUtf16(bytes);
    ASSERT_TRUE(back.ok());
    ASSERT_EQ(*back, s);
  }
}

TEST(Wtf8, HostBytesEscapeWhatIsNotWtf8) {
  auto esc = [](unsigned char b) { return static_cast<char16_t>(0xDC00 + b); };
  const Case cases[] = {
      {"stray byte", "a\xFF" "b", {u'a', esc(0xFF), u'b'}},
      {"latin-1 e-acute", "caf\xE9", {u'c', u'a', u'f', esc(0xE9)}},
      {"truncated sequence", "\xE2\x82", {esc(0xE2), esc(0x82)}},
      {"overlong", "\xC0\xAF", {esc(0xC0), esc(0xAF)}},
      // The high surrogate must not pair with the escape that follows it.
      {"high before stray byte", "\xED\xA0\x80\xFF", {esc(0xED), esc(0xA0), esc(0x80), esc(0xFF)}},
      {"encoded pair",
       "\xED\xA0\x80\xED\xB0\x80",
       {esc(0xED), esc(0xA0), esc(0x80), esc(0xED), esc(0xB0), esc(0x80)}},
      {"two highs before stray byte",
       "\xED\xA0\x80\xED\xA0\x81\x80",
       {esc(0xED), esc(0xA0), esc(0x80), esc(0xED), esc(0xA0), esc(0x81), esc(0x80)}},
      {"high before ascii stays", "\xED\xA0\x80x", {0xD800, u'x'}},
      {"encoded escape", "\xED\xB2\x80", {esc(0xED), esc(0xB2), esc(0x80)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hostBytesToUtf16(c.bytes), c.utf16);
  }
}

TEST(Wtf8, HostBytesNeverMergeDistinctInputs) {
  // Every escape decodes back to its byte, so decoding is injective: check
  // that over all byte strings of up to three bytes from a tricky alphabet.
  const unsigned char alphabet[] = {'a', 0x80, 0xA0, 0xB2, 0xC3, 0xED, 0xF0, 0xFF};
  std::map<std::u16string, std::string> seen;
  std::vector<std::string> inputs{""};
  for (int len = 0; len < 4; ++len) {
    std::vector<std::string> next;
    for (const std::string& s : inputs) {
      auto [it, fresh] = seen.emplace(hostBytesToUtf16(s), s);
      ASSERT_TRUE(fresh) << "two inputs decode alike";
      for (unsigned char b : alphabet) next.push_back(s + static_cast<char>(b));
    }
    inputs = std::move(next);
  }
}

}  // namespace
}  // namespace tl
