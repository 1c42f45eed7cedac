#include "update/update_plan_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "update/prepared_update.h"
#include "update/sample_plan.h"
#include "windows_integration/integration_driver.h"
#include "windows_integration/integration_sandbox.h"

namespace tl {
namespace {

namespace stdfs = std::filesystem;

constexpr const char* kId = "com.example.app";
constexpr const char* kTid = test::kSampleTid;
constexpr const char* kVersionJson =
    R"({"identifier":"com.example.app","channel":"stable","name":"ExampleApp","version":"1.0",)"
    R"("displayName":"Example App","hash":"h1"})";

template <class R>
std::string outcome(const R& r) {
  return r.ok() ? "ok" : std::string(errorName(r.error()));
}

TEST(UpdatePlan, ReadStrictly) {
  const std::string base =
      R"("transaction_id":"t","identifier":"i","channel":"c","platform":"p","arch":"a","version":"v","hash":"h",)"
      R"("app_bundle_path":"A","channel_root":"C","result_path":"R")";
  auto plan = [&](std::string extra) { return "{" + base + "," + extra + "}"; };
  struct {
    std::string text;
    const char* result;
  } cases[] = {
      {plan(R"("schema_version":1,"parent_pid":2)"), "ok"},
      {plan(R"("schema_version":1.0,"parent_pid":2e3,"staging_path":null,"retained_tar_path":"x")"), "ok"},
      {plan(R"("schema_version":1,"parent_pid":4294967295)"), "ok"},
      {plan(R"("schema_version":1,"parent_pid":4294967296)"), "Overflow"},
      {plan(R"("schema_version":1,"parent_pid":1.5)"), "InvalidNumber"},
      {plan(R"("schema_version":"1","parent_pid":2)"), "UnexpectedToken"},
      {plan(R"("schema_version":1,"parent_pid":2,"retained_tar_path":null)"), "UnexpectedToken"},
      {plan(R"("schema_version":1,"parent_pid":2,"extra":0)"), "UnknownField"},
      {plan(R"("schema_version":1,"parent_pid":2,"hash":"h")"), "DuplicateField"},
      {plan(R"("schema_version":1)"), "MissingField"},
      {plan(R"("schema_version":1,"parent_pid":2,"version":")" + std::string(65536, 'v') + "\""), "InvalidUpdatePlan"},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(parseUpdatePlan(c.text)), c.result) << c.text.substr(0, 300);
  const UpdatePlan p = parseUpdatePlan(plan(R"("schema_version":2e0,"parent_pid":7,"recipe_sha256":"d")")).take();
  EXPECT_EQ(p.schema_version, 2u);
  EXPECT_EQ(p.parent_pid, 7u);
  EXPECT_EQ(p.recipe_sha256, "d");
  EXPECT_FALSE(p.staging_path);
}

TEST(UpdatePlan, ChannelFolderRule) {
  struct {
    const char* folder;
    const char* channel;
    bool matches;
  } cases[] = {
      {"foo-STABLE", "stable", true}, {"Stable", "stable", true},      {"FOO", "stable", true},
      {"Foo-canary", "canary", false}, {"foo-stable", "dev", false},   {"CANARY", "canary", true},
      {"foo-", "stable", false},
  };
  for (const auto& c : cases) EXPECT_EQ(channelFolderMatches(c.folder, c.channel, "Foo"), c.matches) << c.folder;
}

// An installation of com.example.app in the sandbox, made afresh with
// everything a plan of the given schema names in place, and that plan.
struct Installation {
  Installation(test::IntegrationSandbox& sandbox, int schema, const std::string& folder = "stable") : box(sandbox) {
    stdfs::remove_all(box.host(box.userRel("AppData/Local/" + std::string(kId))));
    stdfs::remove_all(box.host("moved"));
    stdfs::remove_all(box.host("elsewhere"));
    root = box.win(box.userRel("AppData/Local/" + std::string(kId) + "/" + folder));
    box.makeApp(kId, folder, kVersionJson);
    rel = box.userRel("AppData/Local/" + std::string(kId) + "/" + folder);
    box.makeDirs(rel + "/self-extraction");
    box.writeFile(rel + "/self-extraction/h2.tar", "tar");
    box.writeFile(rel + "/self-extraction/h2.recipe.json", "{}");
    box.writeFile(rel + "/.tamberlock-update-" + std::string(kTid) + ".json", "{}");
    planPath = root + "\\.tamberlock-update-" + kTid + ".json";

    plan = test::samplePlan(static_cast<std::uint32_t>(schema));
    plan.app_bundle_path = root + "\\app";
    plan.channel_root = root;
    plan.result_path = root + "\\.tamberlock-update-" + kTid + ".result.json";
    if (schema == 1) {
      plan.retained_tar_path = root + "\\self-extraction\\h2.tar";
    } else {
      box.makeDirs(rel + "/app.prepared-h2");
      plan.staging_path = root + "\\app.prepared-h2";
      plan.recipe_path = root + "\\self-extraction\\h2.recipe.json";
      plan.recipe_sha256 = std::string(64, 'd');
      writeRecord(plan);
    }
  }

  void writeRecord(const UpdatePlan& p) const {
    const PreparedUpdate record{2, p.identifier, p.channel, p.platform, p.arch, p.version, p.hash,
                                p.staging_path.value_or(""), p.recipe_path.value_or(""),
                                p.recipe_sha256.value_or(""), "artifact"};
    box.writeFile(rel + "/self-extraction/.tamberlock-prepared-update.json", stringifyPreparedUpdate(record));
  }
  std::string host(const std::string& below) const { return box.host(below.empty() ? rel : rel + "/" + below); }
  void moveAway(const std::string& below) const {
    stdfs::rename(host(below), box.host("moved"));
    ::symlink(box.host("moved").c_str(), host(below).c_str());
  }

  test::IntegrationSandbox& box;
  std::string rel;
  std::string root;
  std::string planPath;
  UpdatePlan plan;
};

TEST(UpdatePlanCheck, EachCheckInItsOrder) {
  using Change = std::function<void(Installation&)>;
  const std::string upper = "0123456789ABCDEF0123456789abcdef";
  struct {
    const char* name;
    int schemas;  // 1, 2, or 3 for both
    Change change;
    const char* result;
    bool planVerified;
    bool resultVerified;
  } cases[] = {
      {"good plan", 3, [](Installation&) {}, "ok", true, true},
      // 1: field values
      {"upper-case id", 3, [&](Installation& i) { i.plan.transaction_id = upper; }, "InvalidUpdatePlan", false, false},
      {"schema 3", 3, [](Installation& i) { i.plan.schema_version = 3; }, "InvalidUpdatePlan", false, false},
      {"version with a line end", 3, [](Installation& i) { i.plan.version = "2\n"; }, "InvalidUpdatePlan", false,
       false},
      {"hash in capitals", 3, [](Installation& i) { i.plan.hash = "H2"; }, "InvalidUpdatePlan", false, false},
      {"no parent", 3, [](Installation& i) { i.plan.parent_pid = 0; }, "InvalidUpdatePlan", false, false},
      {"arm", 3, [](Installation& i) { i.plan.arch = "arm64"; }, "InvalidUpdatePlan", false, false},
      // 2: home folder
      {"identifier with a colon", 3, [](Installation& i) { i.plan.identifier = "a:b"; }, "InvalidUpdateIdentity",
       false, false},
      // 3: channel root
      {"root ending in a dot", 3, [](Installation& i) { i.plan.channel_root += "\\."; }, "InvalidUpdatePath", false,
       false},
      {"root through ..", 3, [](Installation& i) { i.plan.channel_root += "\\..\\stable"; }, "InvalidUpdatePath",
       false, false},
      {"root of another identifier", 3,
       [](Installation& i) { i.plan.channel_root = i.box.win(i.box.userRel("AppData/Local/other/stable")); },
       "InvalidUpdatePath", false, false},
      // 4: the plan's own path
      {"plan elsewhere", 3,
       [](Installation& i) {
         i.box.makeDirs("elsewhere");
         i.box.writeFile("elsewhere/.tamberlock-update-" + std::string(kTid) + ".json", "{}");
         i.planPath = i.box.win("elsewhere\\.tamberlock-update-" + std::string(kTid) + ".json");
       },
       "InvalidUpdatePath", false, false},
      {"plan name in capitals", 3,
       [](Installation& i) { i.planPath = i.root + "\\.TAMBERLOCK-update-" + kTid + ".json"; }, "InvalidUpdatePath",
       false, false},
      {"plan folder in capitals", 3,
       [](Installation& i) { i.planPath = i.box.win(i.box.userRel("AppData/LOCAL/com.example.app/STABLE")) +
                                          "\\.tamberlock-update-" + kTid + ".json"; },
       "ok", true, true},
      {"plan a link", 3,
       [](Installation& i) { i.moveAway(".tamberlock-update-" + std::string(kTid) + ".json"); },
       "InvalidUpdatePath", false, false},
      // 5: result path
      {"result named otherwise", 3, [](Installation& i) { i.plan.result_path = i.root + "\\result.json"; },
       "InvalidUpdatePath", true, false},
      {"result a folder", 3,
       [](Installation& i) { i.box.makeDirs(i.rel + "/.tamberlock-update-" + kTid + ".result.json"); },
       "InvalidUpdatePath", true, false},
      {"result left from before", 3,
       [](Installation& i) { i.box.writeFile(i.rel + "/.tamberlock-update-" + kTid + ".result.json", "{}"); },
       "ok", true, true},
      // 7: schema rules
      {"schema 1 with a stage", 1, [](Installation& i) { i.plan.staging_path = "x"; }, "InvalidUpdatePlan", true,
       true},
      {"schema 1 without its tar", 1, [](Installation& i) { i.plan.retained_tar_path.clear(); }, "InvalidUpdatePlan",
       true, true},
      {"schema 2 with a tar", 2, [](Installation& i) { i.plan.retained_tar_path = "x"; }, "InvalidUpdatePlan", true,
       true},
      {"schema 2 digest in capitals", 2,
       [](Installation& i) { i.plan.recipe_sha256 = std::string(63, 'd') + "D"; }, "InvalidUpdatePlan", true, true},
      // 8: payload source
      {"another version's payload", 1,
       [](Installation& i) { i.plan.retained_tar_path = i.root + "\\self-extraction\\h1.tar"; },
       "InvalidUpdatePath", true, true},
      {"payload beside self-extraction", 2,
       [](Installation& i) { i.plan.recipe_path = i.root + "\\h2.recipe.json"; }, "InvalidUpdatePath", true, true},
      // 9: prepared stage and record
      {"stage of another hash", 2,
       [](Installation& i) {
         i.box.makeDirs(i.rel + "/app.prepared-h3");
         i.plan.staging_path = i.root + "\\app.prepared-h3";
       },
       "InvalidUpdatePath", true, true},
      {"stage missing", 2, [](Installation& i) { stdfs::remove(i.host("app.prepared-h2")); }, "InvalidUpdatePath",
       true, true},
      {"record missing", 2, [](Installation& i) { stdfs::remove(i.host("self-extraction/.tamberlock-prepared-update.json")); },
       "InvalidPreparedUpdate", true, true},
      {"record of another version", 2,
       [](Installation& i) {
         UpdatePlan other = i.plan;
         other.version = "3.0";
         i.writeRecord(other);
       },
       "InvalidPreparedUpdate", true, true},
      // 10: layout
      {"root behind a link", 3, [](Installation& i) { i.moveAway(""); }, "InvalidUninstallLocation", true, true},
      {"app folder named otherwise", 1, [](Installation& i) { i.plan.app_bundle_path = i.root + "\\app2"; },
       "InvalidUpdatePath", true, true},
      // 11 and 12: manifest and version.json
      {"manifest unreadable", 3, [](Installation& i) { i.box.writeFile(i.rel + "/.tamberlock-uninstall.json", "{}"); },
       "MissingField", true, true},
      {"version.json of another channel", 3,
       [](Installation& i) {
         i.box.writeFile(i.rel + "/app/Resources/version.json",
                         R"({"identifier":"com.example.app","channel":"dev","name":"N","version":"1"})");
       },
       "InvalidUpdateIdentity", true, true},
      {"version.json without a name", 3,
       [](Installation& i) {
         i.box.writeFile(i.rel + "/app/Resources/version.json",
                         R"({"identifier":"com.example.app","channel":"stable","version":"1"})");
       },
       "MissingField", true, true},
      // 13: the channel folder rule, below.
      // 14: self-extraction and payload in place
      {"self-extraction a link", 3, [](Installation& i) { i.moveAway("self-extraction"); }, "InvalidUpdatePath", true,
       true},
      {"payload missing", 3,
       [](Installation& i) {
         stdfs::remove(i.host("self-extraction/h2.tar"));
         stdfs::remove(i.host("self-extraction/h2.recipe.json"));
       },
       "InvalidUpdatePath", true, true},
      // 15: app folder
      {"app folder a link", 3, [](Installation& i) { i.moveAway("app"); }, "InvalidUpdatePath", true, true},
      {"app folder gone", 3, [](Installation& i) { stdfs::remove_all(i.host("app")); }, "FileNotFound", true, true},
      {"app folder gone, previous kept", 3, [](Installation& i) { stdfs::rename(i.host("app"), i.host("app.previous")); },
       "ok", true, true},
      {"app folder gone, previous a link", 3,
       [](Installation& i) {
         stdfs::rename(i.host("app"), i.host("app.previous"));
         i.moveAway("app.previous");
       },
       "FileNotFound", true, true},
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
      EXPECT_EQ(progress.planPathVerified, c.planVerified) << label;
      EXPECT_EQ(progress.resultPathVerified, c.resultVerified) << label;
      if (r.ok()) {
        EXPECT_EQ(r->displayName, "Example App") << label;
        EXPECT_EQ(r->channelFolderName, "stable") << label;
        EXPECT_FALSE(r->hasUninstallManifest) << label;
      }
    }
  }
}

TEST(UpdatePlanCheck, ChannelFolderAndNames) {
  // The folder may carry the application's name; without displayName the
  // name is shown.
  test::IntegrationSandbox box;
  Installation in(box, 1, "exampleapp-STABLE");
  in.box.writeFile(in.rel + "/app/Resources/version.json",
                   R"({"identifier":"com.example.app","channel":"stable","name":"ExampleApp","version":"1"})");
  PlanCheckProgress progress;
  const Result<ResolvedUpdatePlan> r = resolveUpdatePlan(in.plan, in.planPath, progress);
  ASSERT_EQ(outcome(r), "ok");
  EXPECT_EQ(r->displayName, "ExampleApp");
  EXPECT_EQ(r->channelFolderName, "exampleapp-STABLE");

  Installation other(box, 1, "Other");
  EXPECT_EQ(outcome(resolveUpdatePlan(other.plan, other.planPath, progress)), "InvalidUpdatePath");
}

TEST(UpdatePlanCheck, NameFromTheUninstallManifest) {
  test::IntegrationSandbox box;
  Installation in(box, 2);
  IntegrationIdentity id{kId, "Integrated Name", "stable", std::nullopt, std::nullopt};
  testing::internal::CaptureStderr();
  const Status integrated = integrateWindows(in.plan.app_bundle_path, id);
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(integrated.ok());
  PlanCheckProgress progress;
  Result<ResolvedUpdatePlan> r = resolveUpdatePlan(in.plan, in.planPath, progress);
  ASSERT_EQ(outcome(r), "ok");
  EXPECT_EQ(r->displayName, "Integrated Name");
  EXPECT_TRUE(r->hasUninstallManifest);

  in.box.writeFile(in.rel + "/app/Resources/version.json",
                   R"({"identifier":"com.example.app","channel":"stable","name":"","version":"1"})");
  EXPECT_EQ(outcome(resolveUpdatePlan(in.plan, in.planPath, progress)), "InvalidUpdateIdentity");
}

}  // namespace
}  // namespace tl
