// Feeds arbitrary text to the update plan reader: it must end with a plan or
// a named error, never crash or read out of bounds. An accepted plan then
// goes through the plan check against an empty local application-data
// folder, which exercises the path rules on hostile paths; the check may
// only look, and must refuse before it reaches anything it could read.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/env.h"
#include "platform/fs.h"
#include "scratch_folder.h"
#include "update/apply/update_plan_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool environment = [] {
    tl::env::setForTesting({{"LOCALAPPDATA", tl::fs::windowsPath(tl::fuzz::scratchFolder("tl-plan-fuzz").string())}});
    return true;
  }();
  (void)environment;

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tl::Result<tl::UpdatePlan> plan = tl::parseUpdatePlan(text);
  if (!plan) return 0;
  if (text.size() > tl::kUpdatePlanCap) __builtin_trap();
  (void)tl::planPayloadSource(*plan);

  tl::PlanCheckProgress progress;
  const tl::Result<tl::ResolvedUpdatePlan> resolved = tl::resolveUpdatePlan(*plan, plan->channel_root, progress);
  // Nothing exists below the empty folder, so no plan file can be found.
  if (resolved.ok() || progress.planPathVerified || progress.resultPathVerified) __builtin_trap();
  return 0;
}
