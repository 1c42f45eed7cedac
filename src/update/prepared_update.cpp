#include "update/prepared_update.h"

#include <new>

#include "archive/no_follow_access.h"
#include "common/atomic_write.h"
#include "common/json_reader.h"
#include "common/json_writer.h"
#include "update/update_paths.h"

namespace tl {

namespace {

// Both readers take strings as JSON strings only and numbers as integers.
constexpr json::Options kStrict{json::Mode::strict, json::Numbers::integers, json::Strings::text};
constexpr json::Options kLenient{json::Mode::lenient, json::Numbers::integers, json::Strings::text};

const json::Schema<PreparedUpdate>& recordSchema() {
  using R = PreparedUpdate;
  static const json::Schema<R> s{
      json::field<&R::schema_version, json::kOptional>("schema_version"),
      json::field<&R::identifier, json::kRequired>("identifier"),
      json::field<&R::channel, json::kRequired>("channel"),
      json::field<&R::platform, json::kRequired>("platform"),
      json::field<&R::arch, json::kRequired>("arch"),
      json::field<&R::version, json::kRequired>("version"),
      json::field<&R::hash, json::kRequired>("hash"),
      json::field<&R::staging_path, json::kRequired>("staging_path"),
      json::field<&R::recipe_path, json::kRequired>("recipe_path"),
      json::field<&R::recipe_sha256, json::kRequired>("recipe_sha256"),
      json::field<&R::artifact_file, json::kRequired>("artifact_file"),
  };
  return s;
}

const json::Schema<LenientPreparedUpdate>& viewSchema() {
  using V = LenientPreparedUpdate;
  static const json::Schema<V> s{
      json::field<&V::schema_version, json::kRequired>("schema_version"),
      json::field<&V::identifier, json::kRequired>("identifier"),
      json::field<&V::channel, json::kRequired>("channel"),
      json::field<&V::version, json::kRequired>("version"),
      json::field<&V::platform, json::kRequired>("platform"),
      json::field<&V::arch, json::kRequired>("arch"),
      json::field<&V::hash, json::kRequired>("hash"),
      json::field<&V::retained_tar_path, json::kOptional>("retained_tar_path"),
      json::field<&V::staging_path, json::kNullable>("staging_path"),
      json::field<&V::recipe_path, json::kNullable>("recipe_path"),
      json::field<&V::recipe_sha256, json::kNullable>("recipe_sha256"),
  };
  return s;
}

struct SchemaVersionOnly {
  std::uint32_t schema_version = 0;
};

const json::Schema<SchemaVersionOnly>& schemaVersionSchema() {
  static const json::Schema<SchemaVersionOnly> s{
      json::field<&SchemaVersionOnly::schema_version, json::kRequired>("schema_version"),
  };
  return s;
}

void appendMember(std::string& out, std::string_view key, std::string_view value) {
  out.push_back(',');
  json::appendQuoted(out, key);
  out.push_back(':');
  json::appendQuoted(out, value);
}

}  // namespace

std::string stringifyPreparedUpdate(const PreparedUpdate& r) {
  std::string out = "{\"schema_version\":";
  json::appendUnsigned(out, r.schema_version);
  appendMember(out, "identifier", r.identifier);
  appendMember(out, "channel", r.channel);
  appendMember(out, "platform", r.platform);
  appendMember(out, "arch", r.arch);
  appendMember(out, "version", r.version);
  appendMember(out, "hash", r.hash);
  appendMember(out, "staging_path", r.staging_path);
  appendMember(out, "recipe_path", r.recipe_path);
  appendMember(out, "recipe_sha256", r.recipe_sha256);
  appendMember(out, "artifact_file", r.artifact_file);
  out.push_back('}');
  return out;
}

Status writePreparedUpdate(const fs::Dir& selfExtraction, const PreparedUpdate& record) {
  TRY(requireFileOrNothingAt(selfExtraction, kPreparedUpdateFileName));
  return writeFileAtomicallyAt(selfExtraction, kPreparedUpdateFileName, stringifyPreparedUpdate(record));
}

Result<PreparedUpdate> parsePreparedUpdate(std::string_view text) {
  PreparedUpdate r;
  TRY(json::readRecord(text, recordSchema(), r, kStrict));
  return r;
}

Result<std::uint32_t> readPreparedUpdateSchemaVersion(std::string_view text) {
  SchemaVersionOnly only;
  TRY(json::readRecord(text, schemaVersionSchema(), only, kLenient));
  return only.schema_version;
}

Result<LenientPreparedUpdate> parsePreparedUpdateLenient(std::string_view text) {
  LenientPreparedUpdate v;
  TRY(json::readRecord(text, viewSchema(), v, kLenient));
  return v;
}

bool preparedUpdateMatches(std::string_view folder, std::string_view fileName, const LenientPreparedUpdate& expected) {
  // A record that cannot be read for want of memory is no match either.
  try {
    const Result<fs::Dir> dir = fs::openDir(folder);
    if (!dir.ok()) return false;
    // No link followed, a regular file required, the cap checked on its size.
    const Result<std::string> text = readArchiveFile(*dir, fileName, kPreparedUpdateCap);
    if (!text.ok()) return false;
    const Result<LenientPreparedUpdate> found = parsePreparedUpdateLenient(*text);
    return found.ok() && *found == expected;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace tl
