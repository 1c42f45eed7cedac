#pragma once
// The plan of an update application, <channel root>\.tamberlock-update-<id>.json:
// written by the installed application's updater, outside this program, and
// trusted in nothing until the plan check (update_plan_check.h) has compared
// every field with the installation on disk.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "update/prepared_update.h"

namespace tl {

// The largest plan file read.
inline constexpr std::size_t kUpdatePlanCap = 65536;

// Members named after their keys. Schema 1 carries its payload as a retained
// tar in self-extraction, schema 2 as a prepared folder with its recipe.
struct UpdatePlan {
  std::uint32_t schema_version = 0;
  std::string transaction_id;
  std::string identifier;
  std::string channel;
  std::string platform;
  std::string arch;
  std::string version;
  std::string hash;
  std::string app_bundle_path;
  std::string channel_root;
  std::uint32_t parent_pid = 0;
  std::string result_path;
  std::string retained_tar_path;  // empty when absent
  std::optional<std::string> staging_path;
  std::optional<std::string> recipe_path;
  std::optional<std::string> recipe_sha256;
};

// Strict: UnknownField, DuplicateField, MissingField, the JSON errors;
// numbers whole in any spelling (2.0, 1e0) up to 4294967295 (else
// InvalidNumber, Overflow), never as strings; retained_tar_path a string,
// the three schema-2 members strings or null. More than kUpdatePlanCap bytes
// is InvalidUpdatePlan. No value is checked here.
[[nodiscard]] Result<UpdatePlan> parseUpdatePlan(std::string_view text);

// The payload source by the schema rules: schema 1 needs retained_tar_path
// and none of the schema-2 members, schema 2 all three of them (recipe_sha256
// 64 lowercase hex digits) and no retained_tar_path. Returns retained_tar_path
// or recipe_path (a view into the plan); any breach is InvalidUpdatePlan.
[[nodiscard]] Result<std::string_view> planPayloadSource(const UpdatePlan& plan);

// The prepared-update record that would describe exactly this plan.
LenientPreparedUpdate preparedUpdateExpectation(const UpdatePlan& plan);

}  // namespace tl
