#include "update/failed_update_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/io_context.h"
#include "support/temp_dir.h"
#include "update/prepared_update.h"
#include "update/sample_plan.h"

namespace tl {
namespace {

namespace stdfs = std::filesystem;
using test::samplePlan;

TEST(FailedUpdateState, DeletesOnlyTheFailedPayload) {
  const std::string x = "00112233445566778899aabbccddeeff";
  const std::string record = ".tamberlock-prepared-update.json";
  // Downloads and partial files of hash h2, besides its tar and recipe.
  const std::vector<std::string> state = {"h2.tar.previous", "h2.tar." + x + ".partial", ".h2." + x + ".tar.zst",
                                          ".h2." + x + ".tar.zst.partial"};
  const std::vector<std::string> records = {record, record + ".previous", record + ".1.partial"};
  const std::vector<std::string> kept = {"h1.tar", "h2.tar.X.partial", ".h1." + x + ".tar.zst", "h2.tarball",
                                         "current.recipe.json", record + ".1"};
  auto plus = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  struct {
    int schema;
    UpdatePhase phase;
    bool recordMatches;
    std::vector<std::string> gone;
  } cases[] = {
      {1, UpdatePhase::extracting, false, plus({"h2.tar"}, state)},
      {1, UpdatePhase::swapping, false, {}},
      {1, UpdatePhase::validating, false, {}},
      {2, UpdatePhase::validatingPayload, false, plus({"h2.recipe.json"}, state)},
      {2, UpdatePhase::extracting, true, plus(plus({"h2.recipe.json"}, state), records)},
      {2, UpdatePhase::launching, true, {}},
  };
  for (const auto& c : cases) {
    test::TempDir tmp;
    // A folder of a doomed name stays.
    stdfs::create_directories(tmp.host("self-extraction/h2.tar.ffeeddccbbaa99887766554433221100.partial"));
    UpdatePlan plan = samplePlan(static_cast<std::uint32_t>(c.schema));
    if (c.schema == 1) {
      plan.retained_tar_path = tmp.win("self-extraction\\h2.tar");
    } else {
      plan.staging_path = tmp.win("app.prepared-h2");
      plan.recipe_path = tmp.win("self-extraction\\h2.recipe.json");
      plan.recipe_sha256 = std::string(64, 'd');
    }
    const PreparedUpdate r{2, plan.identifier, plan.channel, plan.platform, plan.arch,
                           c.recordMatches ? plan.version : "3.0", plan.hash, plan.staging_path.value_or(""),
                           plan.recipe_path.value_or(""), plan.recipe_sha256.value_or(""), "a"};
    for (const std::string& name : plus(plus(plus({"h2.tar", "h2.recipe.json"}, state), records), kept)) {
      std::ofstream(tmp.host("self-extraction/" + name)) << stringifyPreparedUpdate(r);
    }

    ASSERT_TRUE(invalidateFailedUpdateState(plan, c.phase).ok());
    std::vector<std::string> left;
    for (const auto& e : stdfs::directory_iterator(tmp.host("self-extraction"))) {
      left.push_back(e.path().filename().string());
    }
    const std::string label = "schema " + std::to_string(c.schema) + ", " + std::string(updatePhaseName(c.phase));
    EXPECT_EQ(left.size() + c.gone.size(), 3 + state.size() + records.size() + kept.size()) << label;
    for (const std::string& name : c.gone) {
      EXPECT_EQ(std::count(left.begin(), left.end(), name), 0) << name << ", " << label;
    }
  }
}

TEST(FailedUpdateState, WarnsAndGoesOn) {
  test::TempDir tmp;
  stdfs::create_directories(tmp.host("se"));
  for (const char* name : {"h2.tar", "h2.tar.previous"}) std::ofstream(tmp.host(std::string("se/") + name)) << "x";
  UpdatePlan plan = samplePlan();
  plan.retained_tar_path = tmp.win("se\\h2.tar");
  io().setFaultHook([](FsOp op, std::string_view name) -> Status {
    if (op == FsOp::DeleteFile && name == "h2.tar") return Error::AccessDenied;
    return success();
  });
  testing::internal::CaptureStderr();
  const Status s = invalidateFailedUpdateState(plan, UpdatePhase::extracting);
  const std::string err = testing::internal::GetCapturedStderr();
  io().setFaultHook(nullptr);
  EXPECT_TRUE(s.ok());
  EXPECT_EQ(err, "Warning: Could not invalidate failed update state h2.tar: error.AccessDenied\n");
  EXPECT_FALSE(stdfs::exists(tmp.host("se/h2.tar.previous")));

  plan.retained_tar_path.clear();
  EXPECT_EQ(invalidateFailedUpdateState(plan, UpdatePhase::extracting).error(), Error::InvalidUpdatePlan);
  plan.retained_tar_path = "h2.tar";
  EXPECT_EQ(invalidateFailedUpdateState(plan, UpdatePhase::extracting).error(), Error::InvalidUpdatePath);
}

}  // namespace
}  // namespace tl
