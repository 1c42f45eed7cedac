#pragma once
// The identity part of a plan the update tests share: com.example.app on
// stable, version 2.0 with hash h2, one fixed transaction id. Paths are the
// tests' own.
#include "update/apply/update_plan.h"

namespace tl::test {

inline constexpr const char* kSampleTid = "0123456789abcdef0123456789abcdef";

inline UpdatePlan samplePlan(std::uint32_t schema = 1) {
  UpdatePlan p;
  p.schema_version = schema;
  p.transaction_id = kSampleTid;
  p.identifier = "com.example.app";
  p.channel = "stable";
  p.platform = "win";
  p.arch = "x64";
  p.version = "2.0";
  p.hash = "h2";
  p.parent_pid = 4242;
  return p;
}

}  // namespace tl::test
