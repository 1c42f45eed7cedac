#include "update/apply/update_plan.h"


#include "common/json_reader.h"
#include "common/sha256.h"

namespace tl {

namespace {

constexpr json::Options kPlanOptions{json::Mode::strict, json::Numbers::integral, json::Strings::text};

const json::Schema<UpdatePlan>& planSchema() {
  using P = UpdatePlan;
  static const json::Schema<P> s{
      json::field<&P::schema_version, json::kRequired>("schema_version"),
      json::field<&P::transaction_id, json::kRequired>("transaction_id"),
      json::field<&P::identifier, json::kRequired>("identifier"),
      json::field<&P::channel, json::kRequired>("channel"),
      json::field<&P::platform, json::kRequired>("platform"),
      json::field<&P::arch, json::kRequired>("arch"),
      json::field<&P::version, json::kRequired>("version"),
      json::field<&P::hash, json::kRequired>("hash"),
      json::field<&P::app_bundle_path, json::kRequired>("app_bundle_path"),
      json::field<&P::channel_root, json::kRequired>("channel_root"),
      json::field<&P::parent_pid, json::kRequired>("parent_pid"),
      json::field<&P::result_path, json::kRequired>("result_path"),
      json::field<&P::retained_tar_path, json::kOptional>("retained_tar_path"),
      json::field<&P::staging_path, json::kNullable>("staging_path"),
      json::field<&P::recipe_path, json::kNullable>("recipe_path"),
      json::field<&P::recipe_sha256, json::kNullable>("recipe_sha256"),
  };
  return s;
}

}  // namespace

Result<UpdatePlan> parseUpdatePlan(std::string_view text) {
  TRY(json::checkSize(text, kUpdatePlanCap, Error::InvalidUpdatePlan));
  UpdatePlan plan;
  TRY(json::readRecord(text, planSchema(), plan, kPlanOptions));
  return plan;
}

Result<std::string_view> planPayloadSource(const UpdatePlan& p) {
  const bool schema2Members = p.staging_path || p.recipe_path || p.recipe_sha256;
  if (p.schema_version == 1 && !p.retained_tar_path.empty() && !schema2Members) {
    return std::string_view(p.retained_tar_path);
  }
  if (p.schema_version == 2 && p.retained_tar_path.empty() && p.staging_path && p.recipe_path && p.recipe_sha256 &&
      isSha256Hex(*p.recipe_sha256)) {
    return std::string_view(*p.recipe_path);
  }
  return Error::InvalidUpdatePlan;
}

LenientPreparedUpdate preparedUpdateExpectation(const UpdatePlan& p) {
  LenientPreparedUpdate v;
  v.schema_version = p.schema_version;
  v.identifier = p.identifier;
  v.channel = p.channel;
  v.version = p.version;
  v.platform = p.platform;
  v.arch = p.arch;
  v.hash = p.hash;
  v.retained_tar_path = p.retained_tar_path;
  v.staging_path = p.staging_path;
  v.recipe_path = p.recipe_path;
  v.recipe_sha256 = p.recipe_sha256;
  return v;
}

}  // namespace tl
