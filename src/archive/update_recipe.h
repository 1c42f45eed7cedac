#pragma once
// The JSON manifest of one application archive: its entries, and the spans
// that rebuild the archive byte for byte from an unpacked copy.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_reader.h"
#include "common/result.h"

namespace tl {

enum class RecipeEntryKind : std::uint8_t { file = 0, directory = 1, symlink = 2, hardlink = 3 };

// The most a recipe's JSON text may hold, read or written (128 MiB).
inline constexpr std::size_t kMaxRecipeText = 134217728;

struct RecipeEntry {
  std::string path;
  RecipeEntryKind kind = RecipeEntryKind::file;
  std::uint32_t mode = 0;
  std::uint64_t size = 0;
  std::optional<std::string> sha256;
  std::optional<std::string> link_target;
  std::uint64_t tar_offset = 0;
};

struct RecipeSpan {
  std::optional<std::string> literal_hex;
  std::optional<std::string> path;
  std::uint64_t size = 0;
};

struct UpdateRecipe {
  std::uint32_t schema_version = 1;
  std::string root;
  std::uint32_t root_mode = 0755;
  std::uint64_t archive_size = 0;
  std::string archive_sha256;
  std::vector<RecipeEntry> entries;
  std::vector<RecipeSpan> spans;
};

// A sink of bytes: recipe writer, archive rebuild, counting writer.
class ByteWriter {
 public:
  virtual ~ByteWriter() = default;
  [[nodiscard]] virtual Status write(std::string_view bytes) = 0;
};

// Counts what would be written.
class CountingWriter final : public ByteWriter {
 public:
  Status write(std::string_view bytes) override {
    count_ += bytes.size();
    return success();
  }
  std::uint64_t count() const { return count_; }

 private:
  std::uint64_t count_ = 0;
};

// Collects everything in memory.
class StringWriter final : public ByteWriter {
 public:
  Status write(std::string_view bytes) override {
    out_.append(bytes);
    return success();
  }
  const std::string& str() const { return out_; }

 private:
  std::string out_;
};

std::string_view recipeEntryKindName(RecipeEntryKind kind);
// The reader of a `kind` value: a name, or decimal integer text of a tag.
[[nodiscard]] Result<RecipeEntryKind> parseRecipeEntryKind(const json::Scalar& token);

[[nodiscard]] Result<UpdateRecipe> parseRecipe(std::string_view json);
[[nodiscard]] Status stringifyRecipe(const UpdateRecipe& recipe, ByteWriter& out);
[[nodiscard]] Status validateRecipe(const UpdateRecipe& recipe);
[[nodiscard]] Status checkRecipeSize(const UpdateRecipe& recipe);

}  // namespace tl
