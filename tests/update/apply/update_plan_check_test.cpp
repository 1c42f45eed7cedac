#include "update/apply/update_plan_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "support/outcome.h"
#include "update/apply/sample_plan.h"
#include "update/prepared_update.h"
#include "windows_integration/integration_driver.h"
#include "windows_integration/integration_sandbox.h"

namespace tl {
namespace {

namespace stdfs = std::filesystem;

const std::string kTid = test::kSampleTid;
const std::string kPlanName = ".tamberlock-update-" + kTid + ".json";

using test::outcome;

TEST(UpdatePlan, ReadStrictly) {
  const std::string base = R"({"transaction_id":"t","identifier":"i","channel":"c","platform":"p","arch":"a",)"
                           R"("version":"v","hash":"h","app_bundle_path":"A","channel_root":"C","result_path":"R",)";
  const std::pair<std::string, const char*> cases[] = {
      {R"("schema_version":1.0,"parent_pid":2e3,"staging_path":null})", "ok"},
      {R"("schema_version":"1","parent_pid":2})", "UnexpectedToken"},
      {R"("schema_version":1,"parent_pid":4294967296})", "Overflow"},
      {R"("schema_version":1,"parent_pid":2,"retained_tar_path":null})", "UnexpectedToken"},
      {R"("schema_version":1,"parent_pid":2,"extra":0})", "UnknownField"},
      {R"("schema_version":1,"parent_pid":2,"x":")" + std::string(65536, 'v') + "\"}", "InvalidUpdatePlan"},
  };
  for (const auto& [tail, result] : cases) EXPECT_EQ(outcome(parseUpdatePlan(base + tail)), result) << tail.size();
}

TEST(UpdatePlan, ChannelFolderRule) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"foo-STABLE", "stable", true}, {"Stable", "stable", true}, {"FOO", "stable", true},
      {"Foo-canary", "canary", false}, {"foo-stable", "dev", false},
  };
  for (const auto& [folder, channel, ok] : cases) EXPECT_EQ(channelFolderMatches(folder, channel, "Foo"), ok) << folder;
}

// com.example.app installed afresh in the sandbox with everything a plan of
// the schema names in place, and that plan.
struct Installation {
  Installation(test::IntegrationSandbox& sandbox, int schema, const std::string& folder = "stable") : box(sandbox) {
    for (const char* old : {"Users/user/AppData/Local/com.example.app", "moved", "elsewhere"}) {
      stdfs::remove_all(box.host(old));
    }
    rel = box.userRel("AppData/Local/com.example.app/" + folder);
    root = box.win(rel);
    box.makeApp("com.example.app", folder,
                R"({"identifier":"com.example.app","channel":"stable","name":"ExampleApp","version":"1.0",)"
                R"("displayName":"Example App"})");
    box.makeDirs(rel + "/self-extraction");
    for (const char* name : {"self-extraction/h2.tar", "self-extraction/h2.recipe.json", kPlanName.c_str()}) {
      box.writeFile(rel + "/" + name, "{}");
    }
    planPath = root + "\\" + kPlanName;
    plan = test::samplePlan(static_cast<std::uint32_t>(schema));
    plan.app_bundle_path = root + "\\app";
    plan.channel_root = root;
    plan.result_path = root + "\\.tamberlock-update-" + kTid + ".result.json";
    if (schema == 1) {
      plan.retained_tar_path = root + "\\self-extraction\\h2.tar";
      return;
    }
    box.makeDirs(rel + "/app.prepared-h2");
    plan.staging_path = root + "\\app.prepared-h2";
    plan.recipe_path = root + "\\self-extraction\\h2.recipe.json";
    plan.recipe_sha256 = std::string(64, 'd');
    writeRecord(plan.version);
  }

  void writeRecord(const std::string& version) const {
    const UpdatePlan& p = plan;
    const PreparedUpdate r{2, p.identifier, p.channel, p.platform, p.arch, version, p.hash, *p.staging_path,
                           *p.recipe_path, *p.recipe_sha256, "artifact"};
    box.writeFile(rel + "/self-extraction/.tamberlock-prepared-update.json", stringifyPreparedUpdate(r));
  }
  std::string host(const std::string& below) const { return box.host(below.empty() ? rel : rel + "/" + below); }
  // Moves the entry away and leaves a link to it in its place.
  void linkAway(const std::string& below) const {
    stdfs::rename(host(below), box.host("moved"));
    ::symlink(box.host("moved").c_str(), host(below).c_str());
  }

  test::IntegrationSandbox& box;
  std::string rel, root, planPath;
  UpdatePlan plan;
};

TEST(UpdatePlanCheck, EachCheckInItsOrder) {
  using I = Installation&;
  struct {
    const char* name;
    int schemas;  // 1, 2, or 3 for both
    std::function<void(I)> change;
    const char* result;
    const char* verified;  // "P" plan path, "R" result path
  } cases[] = {
      {"good plan", 3, [](I) {}, "ok", "PR"},
      {"upper-case id", 3, [](I i) { i.plan.transaction_id[10] = 'A'; }, "InvalidUpdatePlan", ""},
      {"another platform", 3, [](I i) { i.plan.platform = "linux"; }, "InvalidUpdatePlan", ""},
      {"another arch", 3, [](I i) { i.plan.arch = "arm64"; }, "InvalidUpdatePlan", ""},
      {"no parent to wait for", 3, [](I i) { i.plan.parent_pid = 0; }, "InvalidUpdatePlan", ""},
      {"identifier with a colon", 3, [](I i) { i.plan.identifier = "a:b"; }, "InvalidUpdateIdentity", ""},
      {"root ending in a dot", 3, [](I i) { i.plan.channel_root += "\\."; }, "InvalidUpdatePath", ""},
      {"plan elsewhere", 3,
       [](I i) {
         i.box.makeDirs("elsewhere");
         i.box.writeFile("elsewhere/" + kPlanName, "{}");
         i.planPath = i.box.win("elsewhere\\" + kPlanName);
       },
       "InvalidUpdatePath", ""},
      {"plan name in capitals", 3, [](I i) { i.planPath = i.root + "\\.TAMBERLOCK" + kPlanName.substr(11); },
       "InvalidUpdatePath", ""},
      {"plan folder in capitals", 3,
       [](I i) { i.planPath = i.box.win("Users/user/AppData/LOCAL/com.example.app/STABLE/" + kPlanName); }, "ok",
       "PR"},
      {"result a folder", 3, [](I i) { i.box.makeDirs(i.rel + "/.tamberlock-update-" + kTid + ".result.json"); },
       "InvalidUpdatePath", "P"},
      {"schema 1 with a stage", 1, [](I i) { i.plan.staging_path = "x"; }, "InvalidUpdatePlan", "PR"},
      {"schema 2 digest in capitals", 2, [](I i) { (*i.plan.recipe_sha256)[0] = 'D'; }, "InvalidUpdatePlan", "PR"},
      {"another version's tar", 1,
       [](I i) {
         i.box.writeFile(i.rel + "/self-extraction/h1.tar", "{}");
         i.plan.retained_tar_path = i.root + "\\self-extraction\\h1.tar";
       },
       "InvalidUpdatePath", "PR"},
      {"stage missing", 2, [](I i) { stdfs::remove(i.host("app.prepared-h2")); }, "InvalidUpdatePath", "PR"},
      {"record of another version", 2, [](I i) { i.writeRecord("3.0"); }, "InvalidPreparedUpdate", "PR"},
      {"root behind a link", 3, [](I i) { i.linkAway(""); }, "InvalidUninstallLocation", "PR"},
      {"app folder named otherwise", 1, [](I i) { i.plan.app_bundle_path = i.root + "\\app2"; },
       "InvalidUpdatePath", "PR"},
      {"manifest unreadable", 3, [](I i) { i.box.writeFile(i.rel + "/.tamberlock-uninstall.json", "{}"); },
       "MissingField", "PR"},
      {"version.json of another channel", 3,
       [](I i) {
         i.box.writeFile(i.rel + "/app/Resources/version.json",
                         R"({"identifier":"com.example.app","channel":"dev","name":"N","version":"1"})");
       },
       "InvalidUpdateIdentity", "PR"},
      {"self-extraction a link", 3, [](I i) { i.linkAway("self-extraction"); }, "InvalidUpdatePath", "PR"},
      {"app folder a link", 3, [](I i) { i.linkAway("app"); }, "InvalidUpdatePath", "PR"},
      {"app folder gone", 3, [](I i) { stdfs::remove_all(i.host("app")); }, "FileNotFound", "PR"},
      {"app folder gone, previous kept", 3, [](I i) { stdfs::rename(i.host("app"), i.host("app.previous")); }, "ok",
       "PR"},
  };
  test::IntegrationSandbox box;
  for (int schema : {1, 2}) {
    for (const auto& c : cases) {
      if ((c.schemas & schema) == 0) continue;
      Installation in(box, schema);
      c.change(in);
      PlanCheckProgress progress;
      const Result<ResolvedUpdatePlan> r = resolveUpdatePlan(in.plan, in.planPath, progress);
      const std::string label = std::string(c.name) + ", schema " + std::to_string(schema);
      EXPECT_EQ(outcome(r), c.result) << label;
      EXPECT_EQ(std::string(progress.planPathVerified ? "P" : "") + (progress.resultPathVerified ? "R" : ""),
                c.verified)
          << label;
      const std::string names = r ? r->displayName + "," + r->channelFolderName : "";
      EXPECT_EQ(names, r ? "Example App,stable" : "") << label;
    }
  }
}

TEST(UpdatePlanCheck, NameFromTheManifestOrTheApp) {
  test::IntegrationSandbox box;
  PlanCheckProgress progress;
  Installation in(box, 2);
  in.box.writeFile(in.rel + "/app/Resources/version.json",
                   R"({"identifier":"com.example.app","channel":"stable","name":"ExampleApp","version":"1"})");
  EXPECT_EQ(resolveUpdatePlan(in.plan, in.planPath, progress)->displayName, "ExampleApp");
  testing::internal::CaptureStderr();
  const Status integrated = integrateWindows(in.plan.app_bundle_path, {"com.example.app", "Integrated", "stable"});
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(integrated.ok());
  const Result<ResolvedUpdatePlan> r = resolveUpdatePlan(in.plan, in.planPath, progress);
  ASSERT_EQ(outcome(r), "ok");
  EXPECT_EQ(r->displayName, "Integrated");
  EXPECT_TRUE(r->hasUninstallManifest);
}

}  // namespace
}  // namespace tl
