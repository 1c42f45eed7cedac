#include "common/json_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "support/outcome.h"

namespace tl {
namespace {

enum class Color : std::uint8_t { red, green };

Result<Color> readColor(const json::Scalar& s) {
  if (s.isString && s.text == "red") return Color::red;
  if (s.isString && s.text == "green") return Color::green;
  if (!s.isString && s.text == "1") return Color::green;
  return Error::InvalidEnumTag;
}

struct Sub {
  std::string name;
  std::uint32_t n = 7;
};

struct Rec {
  std::uint32_t a = 0;
  std::optional<std::uint64_t> b;
  std::string s = "default";
  std::optional<std::string> ns;
  std::optional<std::vector<std::uint32_t>> list;
  std::vector<Sub> subs;
  Color color = Color::red;
};

const json::Schema<Sub>& subSchema() {
  static const json::Schema<Sub> s{
      json::field<&Sub::name, json::kRequired>("name"),
      json::field<&Sub::n, json::kOptional>("n"),
  };
  return s;
}

const json::Schema<Rec>& recSchema() {
  static const json::Schema<Rec> s{
      json::field<&Rec::a, json::kRequired>("a"),
      json::field<&Rec::b, json::kNullable>("b"),
      json::field<&Rec::s, json::kOptional>("s"),
      json::field<&Rec::ns, json::kNullable>("ns"),
      json::field<&Rec::list, json::kNullable>("list"),
      json::field<&Rec::subs, json::kOptional>("subs", subSchema()),
      json::field<&Rec::color, json::kOptional>("color", &readColor),
  };
  return s;
}

constexpr json::Options kStrict{json::Mode::strict, json::Numbers::integers};
constexpr json::Options kLenient{json::Mode::lenient, json::Numbers::integers};
constexpr json::Options kText{json::Mode::strict, json::Numbers::integralText};
constexpr json::Options kWhole{json::Mode::strict, json::Numbers::integral, json::Strings::text};

Result<Rec> read(std::string_view text, json::Options o = kStrict) {
  Rec r;
  TRY(json::readRecord(text, recSchema(), r, o));
  return r;
}

std::string errorOf(std::string_view text, json::Options o = kStrict) {
  return test::outcome(read(text, o));
}

TEST(JsonReader, FillsMembersAndKeepsDefaultsOfAbsentKeys) {
  auto r = read(R"({"a":5,"subs":[{"name":"x"},{"name":"y","n":2}],"ns":"v","color":"green","list":[1,2]})");
  ASSERT_TRUE(r.ok()) << errorName(r.error());
  EXPECT_EQ(r->a, 5u);
  EXPECT_FALSE(r->b.has_value());
  EXPECT_EQ(r->s, "default");
  EXPECT_EQ(r->ns, "v");
  ASSERT_EQ(r->subs.size(), 2u);
  EXPECT_EQ(r->subs[0].name, "x");
  EXPECT_EQ(r->subs[0].n, 7u);
  EXPECT_EQ(r->subs[1].n, 2u);
  EXPECT_EQ(r->color, Color::green);
  EXPECT_EQ(r->list, (std::vector<std::uint32_t>{1, 2}));
}

TEST(JsonReader, NullEmptiesNullableMembers) {
  auto r = read(R"({"a":1,"b":null,"ns":null,"list":null})");
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->b);
  EXPECT_FALSE(r->ns);
  EXPECT_FALSE(r->list);
}

struct Case {
  std::string_view text;
  const char* error;
  json::Options options = kStrict;
};

void runCases(const std::vector<Case>& cases) {
  for (const auto& c : cases) EXPECT_EQ(errorOf(c.text, c.options), c.error) << c.text;
}

TEST(JsonReader, RecordShapeErrors) {
  runCases({
      {R"({"a":1,"zzz":2})", "UnknownField"},
      {R"({"a":1,"subs":[{"name":"x","zzz":1}]})", "UnknownField"},
      {R"({"a":1,"zzz":{"q":[1,{"r":null}],"a":"x"},"w":[[]],"v":"s"})", "ok", kLenient},
      {R"({"a":1,"zzz":1,"zzz":2})", "ok", kLenient},
      {R"({"a":1,"a":2})", "DuplicateField"},
      {R"({"a":1,"a":2})", "DuplicateField", kLenient},
      {R"({"a":1,"subs":[{"name":"x","name":"y"}]})", "DuplicateField"},
      {R"({"b":1})", "MissingField"},
      {R"({"a":1,"subs":[{"n":1}]})", "MissingField"},
      {R"({"\u0061":1})", "ok"},
      // wrong JSON types
      {R"({"a":"1"})", "UnexpectedToken"},
      {R"({"a":true})", "UnexpectedToken"},
      {R"({"a":null})", "UnexpectedToken"},
      {R"({"a":[1]})", "UnexpectedToken"},
      {R"({"a":{}})", "UnexpectedToken"},
      {R"({"a":1,"s":5})", "UnexpectedToken"},
      {R"({"a":1,"s":null})", "UnexpectedToken"},
      {R"({"a":1,"s":{}})", "UnexpectedToken"},
      {R"({"a":1,"subs":{}})", "UnexpectedToken"},
      {R"({"a":1,"subs":[1]})", "UnexpectedToken"},
      {R"({"a":1,"subs":[[]]})", "UnexpectedToken"},
      {R"({"a":1,"list":[[1]]})", "UnexpectedToken"},
      {R"({"a":1,"list":["1"]})", "UnexpectedToken"},
      {R"({"a":1,"color":true})", "UnexpectedToken"},
      {R"({"a":1,"color":null})", "UnexpectedToken"},
      {R"({"a":1,"color":"blue"})", "InvalidEnumTag"},
      {R"({"a":1,"color":1})", "ok"},
      {R"({"a":1,"color":-0})", "InvalidEnumTag"},
      {R"([{"a":1}])", "UnexpectedToken"},
      {R"("x")", "UnexpectedToken"},
      {"5", "UnexpectedToken"},
      {"null", "UnexpectedToken"},
  });
}

TEST(JsonReader, SyntaxErrors) {
  runCases({
      {"", "UnexpectedEndOfInput"},
      {"  \n", "UnexpectedEndOfInput"},
      {R"({"a":1)", "UnexpectedEndOfInput"},
      {R"({"a":1,)", "UnexpectedEndOfInput"},
      {R"({"a":1,"s":"ab)", "UnexpectedEndOfInput"},
      {R"({"a":1,"s":tru)", "UnexpectedEndOfInput"},
      {R"({"a":12)", "UnexpectedEndOfInput"},
      {R"({"a":1,"s":tru})", "SyntaxError"},
      {R"({"a":1} x)", "SyntaxError"},
      {R"({"a":1}{})", "SyntaxError"},
      {R"({"a":1}})", "SyntaxError"},
      {R"({"a":1} tru)", "SyntaxError"},
      {"{\"a\":1}  \n\t", "ok"},
      {R"({"a" 1})", "SyntaxError"},
      {R"({"a":1,})", "SyntaxError"},
      {R"({"a":01})", "SyntaxError"},
      {R"({"a":1,"s":"\x"})", "SyntaxError"},
      {"{\"a\":1,\"s\":\"\xff\"}", "SyntaxError"},
      {"{\"a\":1,\"s\":\"\x01\"}", "SyntaxError"},
      {R"({"a":1,"s":"\ud800"})", "SyntaxError"},
      {"{\"a\":1}\n// comment", "SyntaxError"},
      {"\xEF\xBB\xBF{\"a\":1}", "SyntaxError"},
      {std::string_view("{\"a\":1}\0", 8), "SyntaxError"},
      {std::string_view("{\"a\":1} \0{\"b\":x", 15), "SyntaxError"},
  });
}

TEST(JsonReader, UnsignedNumbers) {
  runCases({
      {R"({"a":4294967295})", "ok"},
      {R"({"a":4294967296})", "Overflow"},
      {R"({"a":1,"b":18446744073709551615})", "ok"},
      {R"({"a":1,"b":18446744073709551616})", "Overflow"},
      {R"({"a":1,"b":-9223372036854775809})", "Overflow"},
      {R"({"a":-1})", "Overflow"},
      {R"({"a":-0})", "ok"},
      {R"({"a":1.0})", "InvalidNumber"},
      {R"({"a":1e2})", "InvalidNumber"},
      {R"({"a":1e400})", "InvalidNumber"},
      {R"({"a":1.0})", "ok", kText},
      {R"({"a":1.5})", "InvalidNumber", kText},
      {R"({"a":-1.5})", "InvalidNumber", kText},
      {R"({"a":-1.0})", "Overflow", kText},
      {R"({"a":1e-1})", "InvalidNumber", kText},
      {R"({"a":1e-400})", "InvalidNumber", kText},
      {R"({"a":1e400})", "Overflow", kText},
      {R"({"a":4.294967296e9})", "Overflow", kText},
      {R"({"a":"4294967296"})", "Overflow", kText},
      {R"({"a":"4x"})", "InvalidNumber", kText},
      {R"({"a":""})", "InvalidNumber", kText},
      {R"({"a":" 1"})", "InvalidNumber", kText},
      {R"({"a":"01"})", "InvalidNumber", kText},
      {R"({"a":"+1"})", "InvalidNumber", kText},
      {R"({"a":"1."})", "InvalidNumber", kText},
      {R"({"a":"1e"})", "InvalidNumber", kText},
      {R"({"a":"0x10"})", "InvalidNumber", kText},
      {R"({"a":"NaN"})", "InvalidNumber", kText},
      {R"({"a":1,"b":1e99999999999999999999})", "Overflow", kText},
      // whole numbers in any spelling, but never number text in a string
      {R"({"a":1.0})", "ok", kWhole},
      {R"({"a":1e0})", "ok", kWhole},
      {R"({"a":4294967295.0})", "ok", kWhole},
      {R"({"a":4.294967296e9})", "Overflow", kWhole},
      {R"({"a":-1})", "Overflow", kWhole},
      {R"({"a":1.5})", "InvalidNumber", kWhole},
      {R"({"a":1e-1})", "InvalidNumber", kWhole},
      {R"({"a":1e400})", "Overflow", kWhole},
      {R"({"a":"1"})", "UnexpectedToken", kWhole},
      {R"({"a":1,"b":"1"})", "UnexpectedToken", kWhole},
  });
}

TEST(JsonReader, IntegralTextValuesAreExact) {
  const std::vector<std::pair<const char*, std::uint64_t>> cases = {
      {"1.0", 1},
      {"1e3", 1000},
      {"1E+3", 1000},
      {"12.50e1", 125},
      {"100e-2", 1},
      {"0.0e0", 0},
      {"-0.0", 0},
      {"0e99999999999", 0},
      {"1.8446744073709551615e19", 18446744073709551615ull},
      {"18446744073709551615.000", 18446744073709551615ull},
      {"9007199254740993.0", 9007199254740993ull},  // not representable as a double
      {"\"9007199254740993\"", 9007199254740993ull},
      {"\"2.5e1\"", 25},
  };
  for (const auto& [num, want] : cases) {
    auto r = read(std::string(R"({"a":0,"b":)") + num + "}", kText);
    ASSERT_TRUE(r.ok()) << num << " " << errorName(r.error());
    EXPECT_EQ(r->b, want) << num;
  }
}

TEST(JsonReader, StringsTakeByteArrays) {
  auto r = read(R"({"a":1,"s":[104,105,0,255],"ns":[]})");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->s, std::string("hi\0\xff", 4));
  EXPECT_EQ(r->ns, "");
  runCases({
      {R"({"a":1,"s":[256]})", "Overflow"},
      {R"({"a":1,"s":[-1]})", "Overflow"},
      {R"({"a":1,"s":[1.5]})", "InvalidNumber", kText},
      {R"({"a":1,"s":["1"]})", "UnexpectedToken"},
      {R"({"a":1,"s":[null]})", "UnexpectedToken"},
      {R"({"a":1,"s":[[1]]})", "UnexpectedToken"},
      {R"({"a":1,"s":[{}]})", "UnexpectedToken"},
      {R"({"a":1,"s":[1})", "SyntaxError"},
      {R"({"a":1,"s":[104]})", "UnexpectedToken", kWhole},
      {R"({"a":1,"ns":[]})", "UnexpectedToken", kWhole},
      {R"({"a":1,"s":"hi","ns":null})", "ok", kWhole},
  });
}

TEST(JsonReader, NestingIsBounded) {
  auto nested = [](int depth) {
    return R"({"a":1,"deep":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
  };
  EXPECT_EQ(errorOf(nested(63), kLenient), "ok");
  EXPECT_EQ(errorOf(nested(64), kLenient), "SyntaxError");
  // A hostile depth neither recurses nor builds anything.
  EXPECT_EQ(errorOf(nested(1000000), kLenient), "SyntaxError");
  EXPECT_EQ(errorOf(std::string(1000000, '['), kLenient), "UnexpectedToken");
}

TEST(JsonReader, SizeCapIsInclusive) {
  EXPECT_TRUE(json::checkSize("abcd", 4, Error::StreamTooLong).ok());
  auto st = json::checkSize("abcde", 4, Error::StreamTooLong);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error(), Error::StreamTooLong);
}

}  // namespace
}  // namespace tl
