#include "update/apply/failed_update_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "support/temp_dir.h"
#include "update/apply/sample_plan.h"
#include "update/prepared_update.h"

namespace tl {
namespace {

namespace stdfs = std::filesystem;
using test::samplePlan;

TEST(FailedUpdateState, DeletesOnlyTheFailedPayload) {
  const std::string x = "00112233445566778899aabbccddeeff", record = ".tamberlock-prepared-update.json";
  // By group: the source's name per schema, hash h2's downloads and partial
  // files, the prepared-update records, and names that always stay.
  const std::map<char, std::vector<std::string>> groups = {
      {'1', {"h2.tar"}},
      {'2', {"h2.recipe.json"}},
      {'p', {"h2.tar.previous", "h2.tar." + x + ".partial", ".h2." + x + ".tar.zst", ".h2." + x + ".tar.zst.partial"}},
      {'r', {record, record + ".previous", record + ".1.partial"}},
      {'k', {"h1.tar", "h2.tar.X.partial", ".h1." + x + ".tar.zst", "h2.tarball", record + ".1"}},
  };
  const std::tuple<std::uint32_t, UpdatePhase, bool, const char*> cases[] = {
      // schema, phase, whether the records describe the plan, groups deleted
      {1, UpdatePhase::extracting, false, "1p"},         {1, UpdatePhase::swapping, false, ""},
      {1, UpdatePhase::validating, false, ""},           {2, UpdatePhase::validatingPayload, false, "2p"},
      {2, UpdatePhase::extracting, true, "2pr"},         {2, UpdatePhase::launching, true, ""},
  };
  for (const auto& [schema, phase, recordMatches, gone] : cases) {
    test::TempDir tmp;
    // A folder of a doomed name stays.
    stdfs::create_directories(tmp.host("self-extraction/h2.tar.ffeeddccbbaa99887766554433221100.partial"));
    UpdatePlan plan = samplePlan(schema);
    if (schema == 1) {
      plan.retained_tar_path = tmp.win("self-extraction\\h2.tar");
    } else {
      plan.staging_path = tmp.win("app.prepared-h2");
      plan.recipe_path = tmp.win("self-extraction\\h2.recipe.json");
      plan.recipe_sha256 = std::string(64, 'd');
    }
    const PreparedUpdate r{2, plan.identifier, plan.channel, plan.platform, plan.arch,
                           recordMatches ? plan.version : "3.0", plan.hash, plan.staging_path.value_or(""),
                           plan.recipe_path.value_or(""), plan.recipe_sha256.value_or(""), "a"};
    for (const auto& [group, names] : groups) {
      for (const auto& name : names) std::ofstream(tmp.host("self-extraction/" + name)) << stringifyPreparedUpdate(r);
    }
    ASSERT_TRUE(invalidateFailedUpdateState(plan, phase).ok());
    for (const auto& [group, names] : groups) {
      for (const auto& name : names) {
        EXPECT_NE(stdfs::exists(tmp.host("self-extraction/" + name)), std::strchr(gone, group) != nullptr)
            << name << ", schema " << schema << ", " << updatePhaseName(phase);
      }
    }
    EXPECT_TRUE(stdfs::is_directory(tmp.host("self-extraction/h2.tar.ffeeddccbbaa99887766554433221100.partial")));
  }
}

}  // namespace
}  // namespace tl
