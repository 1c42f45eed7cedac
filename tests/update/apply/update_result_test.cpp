#include "update/apply/update_result.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/io_context.h"
#include "support/temp_dir.h"
#include "update/apply/sample_plan.h"

namespace tl {
namespace {

namespace stdfs = std::filesystem;

using test::samplePlan;

std::string readHost(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

TEST(UpdateResult, ExactText) {
  EXPECT_EQ(formatUpdateResult(samplePlan(), true, UpdatePhase::complete, kUpdateSuccessMessage),
            "{\n"
            "  \"schema_version\": 1,\n"
            "  \"transaction_id\": \"0123456789abcdef0123456789abcdef\",\n"
            "  \"success\": true,\n"
            "  \"phase\": \"complete\",\n"
            "  \"message\": \"Update applied successfully.\",\n"
            "  \"identifier\": \"com.example.app\",\n"
            "  \"channel\": \"stable\",\n"
            "  \"version\": \"2.0\",\n"
            "  \"hash\": \"h2\"\n"
            "}");

  // Failures in each phase: the value's phase name and the bare error name.
  const char* names[] = {"validating", "waiting_for_parent", "extracting", "validating_payload",
                         "swapping",   "integrating",        "launching",  "complete", "validating"};
  for (unsigned phase = 0; phase < 9; ++phase) {
    const std::string text = formatUpdateResult(samplePlan(), false, static_cast<UpdatePhase>(phase), "Streaming");
    EXPECT_NE(text.find(std::string("  \"success\": false,\n  \"phase\": \"") + names[phase] +
                        "\",\n  \"message\": \"Streaming\",\n"),
              std::string::npos)
        << phase;
  }

  // Values are the plan's bytes as read: escaped where JSON requires it,
  // UTF-8 as it is.
  UpdatePlan odd = samplePlan();
  odd.version = "2 \"b\\\x01\xc3\xa9";
  EXPECT_NE(formatUpdateResult(odd, false, UpdatePhase::swapping, "E").find("\"version\": \"2 \\\"b\\\\\\u0001\xc3\xa9\""),
            std::string::npos);
}

TEST(UpdateResult, PublishedWhole) {
  test::TempDir tmp;
  const std::string path = tmp.win(".tamberlock-update-x.result.json");
  ASSERT_TRUE(writeUpdateResult(path, samplePlan(), false, UpdatePhase::extracting, "Streaming").ok());
  EXPECT_EQ(readHost(tmp.host(".tamberlock-update-x.result.json")),
            formatUpdateResult(samplePlan(), false, UpdatePhase::extracting, "Streaming"));

  // A failed rename keeps the old file and leaves no temporary one behind.
  io().setFaultHook([](FsOp op, std::string_view) -> Status {
    if (op == FsOp::Rename) return Error::AccessDenied;
    return success();
  });
  EXPECT_EQ(writeUpdateResult(path, samplePlan(), true, UpdatePhase::complete, kUpdateSuccessMessage).error(),
            Error::AccessDenied);
  io().setFaultHook(nullptr);
  EXPECT_EQ(std::distance(stdfs::directory_iterator(tmp.hostPath()), stdfs::directory_iterator()), 1);
  EXPECT_NE(readHost(tmp.host(".tamberlock-update-x.result.json")).find("Streaming"), std::string::npos);
}

}  // namespace
}  // namespace tl
