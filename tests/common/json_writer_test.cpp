#include "common/json_writer.h"

#include <gtest/gtest.h>

#include "common/json_reader.h"

namespace tl {
namespace {

std::string escaped(std::string_view s) {
  std::string out;
  json::appendEscaped(out, s);
  return out;
}

TEST(JsonWriter, EscapesExactlyTheRequiredBytes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain/text", "plain/text"},
      {"\"", "\\\""},
      {"\\", "\\\\"},
      {"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
      {std::string("\0", 1), "\\u0000"},
      {"\x1f", "\\u001f"},
      {"\x0b", "\\u000b"},
      {"\x7f", "\x7f"},
      {"a\xc3\xa9z", "a\xc3\xa9z"},
      {"x\"y\\z\n", "x\\\"y\\\\z\\n"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(escaped(in), want);
}

TEST(JsonWriter, StringsThatAreNotUtf8BecomeByteArrays) {
  EXPECT_FALSE(json::needsByteArray("caf\xc3\xa9"));
  EXPECT_TRUE(json::needsByteArray("\xed\xa0\x80"));  // an encoded surrogate (WTF-8)
  EXPECT_TRUE(json::needsByteArray("a\xff"));
  std::string out;
  json::appendString(out, std::string("a\0\xff", 3));
  EXPECT_EQ(out, "[97,0,255]");
  out.clear();
  json::appendString(out, "");
  EXPECT_EQ(out, "\"\"");
  out.clear();
  json::appendByteArray(out, "");
  EXPECT_EQ(out, "[]");
  out.clear();
  json::appendUnsigned(out, 18446744073709551615ull);
  json::appendUnsigned(out, 0);
  EXPECT_EQ(out, "184467440737095516150");
}

struct Text {
  std::string value;
};

TEST(JsonWriter, EveryByteStringReadsBack) {
  static const json::Schema<Text> schema{json::field<&Text::value, json::kRequired>("value")};
  std::string allBytes;
  for (int c = 0; c < 256; ++c) allBytes.push_back(static_cast<char>(c));
  std::string allAscii = allBytes.substr(0, 128);
  for (const std::string& s : {allBytes, allAscii, std::string("\xf0\x9f\x98\x80 \xed\xa0\x80")}) {
    std::string doc = "{\"value\":";
    json::appendString(doc, s);
    doc += "}";
    Text t;
    ASSERT_TRUE(json::readRecord(doc, schema, t).ok()) << doc;
    EXPECT_EQ(t.value, s);
  }
}

}  // namespace
}  // namespace tl
