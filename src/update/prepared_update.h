#pragma once
// The record of a staged and verified update,
// self-extraction\.tamberlock-prepared-update.json: written by the
// preparation, read back strictly by the next preparation and leniently by
// the application side, which requires it to match the plan it was given.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "common/self_extraction_names.h"
#include "platform/fs.h"

namespace tl {

// The largest record file anyone reads.
inline constexpr std::size_t kPreparedUpdateCap = 65536;

// Members in the order the writer emits them.
struct PreparedUpdate {
  std::uint32_t schema_version = 2;
  std::string identifier;
  std::string channel;
  std::string platform;
  std::string arch;
  std::string version;
  std::string hash;
  std::string staging_path;
  std::string recipe_path;
  std::string recipe_sha256;
  std::string artifact_file;

  bool operator==(const PreparedUpdate&) const = default;
};

// The lenient reading of a record, in which the application side also states
// what it expects of one.
struct LenientPreparedUpdate {
  std::uint32_t schema_version = 0;
  std::string identifier;
  std::string channel;
  std::string version;
  std::string platform;
  std::string arch;
  std::string hash;
  std::string retained_tar_path;  // empty when absent
  std::optional<std::string> staging_path;
  std::optional<std::string> recipe_path;
  std::optional<std::string> recipe_sha256;

  bool operator==(const LenientPreparedUpdate&) const = default;
};

// The minified JSON text of a record.
std::string stringifyPreparedUpdate(const PreparedUpdate& record);
// Replaces the record in the open self-extraction folder in one rename. A
// folder or other non-file under the record's name is InvalidUpdatePath.
[[nodiscard]] Status writePreparedUpdate(const fs::Dir& selfExtraction, const PreparedUpdate& record);

// Strict: every string required, schema_version 2 when absent, no other key.
[[nodiscard]] Result<PreparedUpdate> parsePreparedUpdate(std::string_view text);
// Only the schema_version of a record (required), every other key skipped:
// whether the strict reading applies at all.
[[nodiscard]] Result<std::uint32_t> readPreparedUpdateSchemaVersion(std::string_view text);
// Lenient: unknown keys (artifact_file included) skipped.
[[nodiscard]] Result<LenientPreparedUpdate> parsePreparedUpdateLenient(std::string_view text);

// Whether folder\fileName is a regular file of at most kPreparedUpdateCap
// bytes whose lenient reading equals the expectation. Every failure is false.
bool preparedUpdateMatches(std::string_view folder, std::string_view fileName, const LenientPreparedUpdate& expected);

}  // namespace tl
