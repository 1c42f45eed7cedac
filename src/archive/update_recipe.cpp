#include "archive/update_recipe.h"

#include <new>

#include "common/json_writer.h"

namespace tl {

namespace {

const json::Schema<RecipeEntry>& entrySchema() {
  static const json::Schema<RecipeEntry> s{
      json::field<&RecipeEntry::path, json::kRequired>("path"),
      json::field<&RecipeEntry::kind, json::kRequired>("kind", &parseRecipeEntryKind),
      json::field<&RecipeEntry::mode, json::kRequired>("mode"),
      json::field<&RecipeEntry::size, json::kOptional>("size"),
      json::field<&RecipeEntry::sha256, json::kNullable>("sha256"),
      json::field<&RecipeEntry::link_target, json::kNullable>("link_target"),
      json::field<&RecipeEntry::tar_offset, json::kOptional>("tar_offset"),
  };
  return s;
}

const json::Schema<RecipeSpan>& spanSchema() {
  static const json::Schema<RecipeSpan> s{
      json::field<&RecipeSpan::literal_hex, json::kNullable>("literal_hex"),
      json::field<&RecipeSpan::path, json::kNullable>("path"),
      json::field<&RecipeSpan::size, json::kRequired>("size"),
  };
  return s;
}

const json::Schema<UpdateRecipe>& recipeSchema() {
  static const json::Schema<UpdateRecipe> s{
      json::field<&UpdateRecipe::schema_version, json::kOptional>("schema_version"),
      json::field<&UpdateRecipe::root, json::kRequired>("root"),
      json::field<&UpdateRecipe::root_mode, json::kOptional>("root_mode"),
      json::field<&UpdateRecipe::archive_size, json::kRequired>("archive_size"),
      json::field<&UpdateRecipe::archive_sha256, json::kRequired>("archive_sha256"),
      json::field<&UpdateRecipe::entries, json::kRequired>("entries", entrySchema()),
      json::field<&UpdateRecipe::spans, json::kRequired>("spans", spanSchema()),
  };
  return s;
}

// Minified output through a bounded buffer, so a recipe of any size costs
// one chunk of memory on its way to the writer. The first write error
// sticks and silences the rest.
class MinifiedOut {
 public:
  explicit MinifiedOut(ByteWriter& out) : out_(out) { buf_.reserve(kChunk + 64); }

  void raw(std::string_view s) {
    buf_.append(s);
    maybeFlush();
  }
  void number(std::uint64_t v) {
    json::appendUnsigned(buf_, v);
    maybeFlush();
  }
  void string(std::string_view s) {
    if (json::needsByteArray(s)) {
      json::appendByteArray(buf_, s);
      maybeFlush();
      return;
    }
    buf_.push_back('"');
    // Escaping is byte by byte, so long text goes out in pieces.
    for (std::size_t at = 0; at < s.size(); at += kChunk) {
      json::appendEscaped(buf_, s.substr(at, kChunk));
      maybeFlush();
    }
    buf_.push_back('"');
  }
  void nullableString(const std::optional<std::string>& s) {
    if (s) {
      string(*s);
    } else {
      raw("null");
    }
  }
  Status finish() {
    flush();
    return status_;
  }

 private:
  static constexpr std::size_t kChunk = 65536;

  void maybeFlush() {
    if (buf_.size() >= kChunk) flush();
  }
  void flush() {
    if (status_.ok() && !buf_.empty()) status_ = out_.write(buf_);
    buf_.clear();
  }

  ByteWriter& out_;
  std::string buf_;
  Status status_;
};

void writeEntry(MinifiedOut& o, const RecipeEntry& e) {
  o.raw("{\"path\":");
  o.string(e.path);
  o.raw(",\"kind\":\"");
  o.raw(recipeEntryKindName(e.kind));
  o.raw("\",\"mode\":");
  o.number(e.mode);
  o.raw(",\"size\":");
  o.number(e.size);
  o.raw(",\"sha256\":");
  o.nullableString(e.sha256);
  o.raw(",\"link_target\":");
  o.nullableString(e.link_target);
  o.raw(",\"tar_offset\":");
  o.number(e.tar_offset);
  o.raw("}");
}

void writeSpan(MinifiedOut& o, const RecipeSpan& s) {
  o.raw("{\"literal_hex\":");
  o.nullableString(s.literal_hex);
  o.raw(",\"path\":");
  o.nullableString(s.path);
  o.raw(",\"size\":");
  o.number(s.size);
  o.raw("}");
}

std::optional<std::uint8_t> decimalTag(std::string_view text) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > 255) return std::nullopt;
  return static_cast<std::uint8_t>(v);
}

}  // namespace

std::string_view recipeEntryKindName(RecipeEntryKind kind) {
  switch (kind) {
    case RecipeEntryKind::file: return "file";
    case RecipeEntryKind::directory: return "directory";
    case RecipeEntryKind::symlink: return "symlink";
    case RecipeEntryKind::hardlink: return "hardlink";
  }
  return "unknown";  // never a valid name, so it cannot be read back silently
}

Result<RecipeEntryKind> parseRecipeEntryKind(const json::Scalar& token) {
  if (token.isString) {
    for (auto k : {RecipeEntryKind::file, RecipeEntryKind::directory, RecipeEntryKind::symlink,
                   RecipeEntryKind::hardlink}) {
      if (token.text == recipeEntryKindName(k)) return k;
    }
  }
  // Otherwise only plain decimal digits of a tag: no sign, point or exponent.
  const auto tag = decimalTag(token.text);
  if (!tag || *tag > static_cast<std::uint8_t>(RecipeEntryKind::hardlink)) return Error::InvalidEnumTag;
  return static_cast<RecipeEntryKind>(*tag);
}

Result<UpdateRecipe> parseRecipe(std::string_view text) {
  TRY(json::checkSize(text, kMaxRecipeText, Error::RecipeTooLarge));
  try {
    UpdateRecipe recipe;
    TRY(json::readRecord(text, recipeSchema(), recipe, {json::Mode::strict, json::Numbers::integralText}));
    TRY(validateRecipe(recipe));
    return recipe;
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
}

Status stringifyRecipe(const UpdateRecipe& recipe, ByteWriter& out) {
  try {
    MinifiedOut o(out);
    o.raw("{\"schema_version\":");
    o.number(recipe.schema_version);
    o.raw(",\"root\":");
    o.string(recipe.root);
    o.raw(",\"root_mode\":");
    o.number(recipe.root_mode);
    o.raw(",\"archive_size\":");
    o.number(recipe.archive_size);
    o.raw(",\"archive_sha256\":");
    o.string(recipe.archive_sha256);
    o.raw(",\"entries\":[");
    for (std::size_t i = 0; i < recipe.entries.size(); ++i) {
      if (i != 0) o.raw(",");
      writeEntry(o, recipe.entries[i]);
    }
    o.raw("],\"spans\":[");
    for (std::size_t i = 0; i < recipe.spans.size(); ++i) {
      if (i != 0) o.raw(",");
      writeSpan(o, recipe.spans[i]);
    }
    o.raw("]}");
    return o.finish();
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
}

}  // namespace tl
