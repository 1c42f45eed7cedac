#include "archive/update_recipe.h"

#include <gtest/gtest.h>

#include "archive/recipe_tree_fixture.h"
#include "support/outcome.h"

namespace tl {
namespace {

std::string stringify(const UpdateRecipe& r) {
  StringWriter w;
  EXPECT_TRUE(stringifyRecipe(r, w).ok());
  return w.str();
}

using test::outcome;

const std::string kSha(64, 'a');
const std::string kZeros1024(2048, '0');

// A valid recipe of one 1024-byte literal span; `entries` is spliced in.
std::string minimalRecipe(const std::string& entries, const std::string& header = "") {
  return "{" + header + R"("root":"app","archive_size":1024,"archive_sha256":")" + kSha + R"(","entries":[)" +
         entries + R"(],"spans":[{"literal_hex":")" + kZeros1024 + R"(","size":1024}]})";
}

UpdateRecipe sampleRecipe() {
  return test::RecipeTree()
      .dir("bin")
      .file("bin/tool", "hello")
      .file("bin/empty", "")
      .symlink("lib", "bin")
      .hardlink("bin/tool2", "bin/tool")
      .recipe();
}

TEST(UpdateRecipe, WrittenFormIsMinifiedInKeyOrderWithNulls) {
  UpdateRecipe r;
  r.root = "app";
  r.archive_size = 1024;
  r.archive_sha256 = "ab";
  RecipeEntry e;
  e.path = "a\"b";
  e.kind = RecipeEntryKind::symlink;
  e.mode = 0777;
  e.link_target = "x/y";
  r.entries.push_back(e);
  RecipeEntry f;
  f.path = "f";
  f.size = 18446744073709551615ull;
  f.sha256 = "cd";
  f.tar_offset = 512;
  r.entries.push_back(f);
  RecipeSpan s;
  s.literal_hex = "00";
  s.size = 1;
  r.spans.push_back(s);
  RecipeSpan p;
  p.path = "f";
  r.spans.push_back(p);
  EXPECT_EQ(stringify(r),
            R"({"schema_version":1,"root":"app","root_mode":493,"archive_size":1024,"archive_sha256":"ab","entries":[)"
            R"({"path":"a\"b","kind":"symlink","mode":511,"size":0,"sha256":null,"link_target":"x/y","tar_offset":0},)"
            R"({"path":"f","kind":"file","mode":0,"size":18446744073709551615,"sha256":"cd","link_target":null,"tar_offset":512}],)"
            R"("spans":[{"literal_hex":"00","path":null,"size":1},{"literal_hex":null,"path":"f","size":0}]})");
}

TEST(UpdateRecipe, TextThatIsNotUtf8IsWrittenAsBytes) {
  UpdateRecipe r;
  r.root = std::string("a\xff", 2);
  EXPECT_NE(stringify(r).find(R"("root":[97,255],)"), std::string::npos);
}

TEST(UpdateRecipe, RoundTripGivesTheSameRecord) {
  const UpdateRecipe original = sampleRecipe();
  ASSERT_TRUE(validateRecipe(original).ok());
  const std::string text = stringify(original);
  auto parsed = parseRecipe(text);
  ASSERT_TRUE(parsed.ok()) << errorName(parsed.error());
  // Every field is written, so equal texts mean equal records.
  EXPECT_EQ(stringify(*parsed), text);
  EXPECT_EQ(parsed->entries.size(), original.entries.size());
  EXPECT_EQ(parsed->spans.size(), original.spans.size());
}

TEST(UpdateRecipe, AbsentKeysTakeTheirDefaults) {
  auto r = parseRecipe(minimalRecipe(R"({"path":"d","kind":"directory","mode":493})"));
  ASSERT_TRUE(r.ok()) << errorName(r.error());
  EXPECT_EQ(r->schema_version, 1u);
  EXPECT_EQ(r->root_mode, 493u);
  ASSERT_EQ(r->entries.size(), 1u);
  EXPECT_EQ(r->entries[0].size, 0u);
  EXPECT_FALSE(r->entries[0].sha256);
  EXPECT_FALSE(r->entries[0].link_target);
  EXPECT_EQ(r->entries[0].tar_offset, 0u);
}

TEST(UpdateRecipe, ReadingRules) {
  const std::string sym = R"({"path":"s","mode":511,"link_target":".","kind":)";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {minimalRecipe(R"({"path":"d","kind":"directory"})"), "MissingField"},
      {minimalRecipe(""), "ok"},
      {minimalRecipe("").replace(minimalRecipe("").find(R"(,"size":1024)"), 12, ""), "MissingField"},
      {minimalRecipe("", R"("zzz":1,)"), "UnknownField"},
      {minimalRecipe(R"({"path":"d","kind":"directory","mode":493,"zzz":null})"), "UnknownField"},
      {minimalRecipe("", R"("root":"x",)"), "DuplicateField"},
      {minimalRecipe("", R"("schema_version":2,)"), "InvalidRecipe"},
      {minimalRecipe("", R"("schema_version":"1",)"), "ok"},
      {minimalRecipe("", R"("root_mode":4.93e2,)"), "ok"},
      {minimalRecipe("", R"("root_mode":493.5,)"), "InvalidNumber"},
      {minimalRecipe("", R"("root_mode":4294967296,)"), "Overflow"},
      {minimalRecipe("", R"("root_mode":true,)"), "UnexpectedToken"},
      {minimalRecipe("", R"("root":null,)"), "UnexpectedToken"},
      {minimalRecipe(sym + "2}"), "ok"},
      {minimalRecipe(sym + R"("2"})"), "ok"},
      {minimalRecipe(sym + R"("symlink"})"), "ok"},
      {minimalRecipe(sym + "4}"), "InvalidEnumTag"},
      {minimalRecipe(sym + R"("4"})"), "InvalidEnumTag"},
      {minimalRecipe(sym + R"("Symlink"})"), "InvalidEnumTag"},
      {minimalRecipe(sym + R"(""})"), "InvalidEnumTag"},
      {minimalRecipe(sym + "2.0}"), "InvalidEnumTag"},
      {minimalRecipe(sym + "2e0}"), "InvalidEnumTag"},
      {minimalRecipe(sym + "-0}"), "InvalidEnumTag"},
      {minimalRecipe(sym + R"("-0"})"), "InvalidEnumTag"},
      {minimalRecipe(sym + "18446744073709551618}"), "InvalidEnumTag"},
      {minimalRecipe(sym + "true}"), "UnexpectedToken"},
      {minimalRecipe(sym + "null}"), "UnexpectedToken"},
      {minimalRecipe(sym + "[2]}"), "UnexpectedToken"},
      {minimalRecipe("") + " \n", "ok"},
      {minimalRecipe("") + "x", "SyntaxError"},
      {minimalRecipe("").substr(0, 100), "UnexpectedEndOfInput"},
      {"[]", "UnexpectedToken"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(outcome(parseRecipe(text)), want) << text.substr(0, 200);
}

TEST(UpdateRecipe, SpanWithoutContentParsesAndFailsValidation) {
  std::string text = minimalRecipe("");
  text.replace(text.find(R"("spans":[)") + 9, 0, R"({"size":0},)");
  EXPECT_EQ(outcome(parseRecipe(text)), "InvalidRecipe");
}

TEST(UpdateRecipe, ArchiveSizeAsNumberText) {
  std::string text = minimalRecipe("");
  text.replace(text.find("1024"), 4, R"("1024")");
  auto r = parseRecipe(text);
  ASSERT_TRUE(r.ok()) << errorName(r.error());
  EXPECT_EQ(r->archive_size, 1024u);
}

TEST(UpdateRecipe, SizeCapIsCheckedBeforeParsing) {
  constexpr std::size_t kCap = 134217728;
  std::string text = minimalRecipe("");
  text.resize(kCap, ' ');
  EXPECT_EQ(outcome(parseRecipe(text)), "ok");
  text.push_back(' ');
  EXPECT_EQ(outcome(parseRecipe(text)), "RecipeTooLarge");
  // Over the cap the text is not even read: garbage gives the size error.
  EXPECT_EQ(outcome(parseRecipe(std::string(kCap + 1, 'x'))), "RecipeTooLarge");
}

// Fails once it has taken `budget` bytes.
class FailingWriter final : public ByteWriter {
 public:
  explicit FailingWriter(std::size_t budget) : budget_(budget) {}
  Status write(std::string_view bytes) override {
    if (bytes.size() > budget_) return Error::WriteFailed;
    budget_ -= bytes.size();
    return success();
  }

 private:
  std::size_t budget_;
};

TEST(UpdateRecipe, WriterErrorsPassUp) {
  UpdateRecipe r = sampleRecipe();
  r.spans.front().literal_hex = std::string(3 * 65536 + 17, '0');  // written in pieces
  CountingWriter counter;
  ASSERT_TRUE(stringifyRecipe(r, counter).ok());
  EXPECT_EQ(counter.count(), stringify(r).size());
  for (std::size_t budget : {std::size_t{0}, std::size_t{70000}, static_cast<std::size_t>(counter.count() - 1)}) {
    FailingWriter w(budget);
    auto st = stringifyRecipe(r, w);
    ASSERT_FALSE(st.ok()) << budget;
    EXPECT_EQ(st.error(), Error::WriteFailed);
  }
  FailingWriter enough(counter.count());
  EXPECT_TRUE(stringifyRecipe(r, enough).ok());
}

TEST(UpdateRecipe, EntryKindNames) {
  EXPECT_EQ(recipeEntryKindName(RecipeEntryKind::hardlink), "hardlink");
  EXPECT_EQ(recipeEntryKindName(RecipeEntryKind::directory), "directory");
}

}  // namespace
}  // namespace tl
