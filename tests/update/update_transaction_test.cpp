#include "update/update_transaction.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "archive/pull_reader.h"
#include "archive/tar_extraction.h"
#include "archive/tar_reader.h"
#include "archive/update_recipe.h"
#include "common/sha256.h"
#include "platform/fs.h"
#include "platform/io_context.h"
#include "platform/process_waiter.h"
#include "support/eventually.h"
#include "support/tar_builder.h"
#include "update/prepared_update.h"
#include "update/sample_plan.h"
#include "update/update_folder_moves.h"
#include "windows_integration/integration_driver.h"
#include "windows_integration/integration_sandbox.h"

namespace tl {
namespace {

namespace stdfs = std::filesystem;

const std::string kTid = test::kSampleTid;
// Leaves the folder it was started in where the tests look.
const std::string kLauncher = "#!/bin/sh\npwd > \"$LAUNCH_MARK\"\n";

std::string versionJson(const std::string& version, const std::string& hash) {
  return R"({"identifier":"com.example.app","channel":"stable","name":"ExampleApp","version":")" + version +
         R"(","hash":")" + hash + R"(","displayName":"Example App"})";
}

test::TarBuilder newVersionTar(const std::string& version = "2.0") {
  // (the version the payload's version.json claims)
  test::TarBuilder t;
  t.dir("ExampleApp").dir("ExampleApp/bin").dir("ExampleApp/Resources");
  t.file("ExampleApp/bin/launcher.exe", kLauncher, 0755).file("ExampleApp/Resources/uninstall", "manager v2");
  t.file("ExampleApp/Resources/version.json", versionJson(version, "h2"));
  return t;
}

class AnsweringWaiter final : public process::ProcessWaiter {
 public:
  process::ProcessWait waitForExit(std::uint32_t, std::uint32_t timeoutMs) override {
    ++calls;
    lastTimeout = timeoutMs;
    return answer;
  }
  process::ProcessWait answer{false, process::kErrorInvalidParameter};
  int calls = 0;
  std::uint32_t lastTimeout = 0;
};

// A file operation that fails with AccessDenied once `skip` earlier ones of
// its kind on a path with this ending have passed.
struct Fault {
  FsOp op;
  std::string pathEnd;
  int skip = 0;
};

struct Outcome {
  std::string result;  // "ok" or the error's name
  UpdatePhase phase = UpdatePhase::validating;
  bool parentExited = false;
  std::string err;
};

// com.example.app 1.0 installed and integrated in a sandbox, a folder link
// inside it pointing at an outside canary, and the payload of 2.0 ready for
// a plan of either schema.
class UpdateTransaction : public testing::Test {
 protected:
  void SetUp() override {
    io().setProcessWaiter(&waiter_);
    box_.setEnv("LAUNCH_MARK", box_.host("launched"));
    rel_ = box_.userRel("AppData/Local/com.example.app/stable");
    root_ = box_.win(rel_);
    stdfs::remove_all(box_.host(rel_));  // a fresh installation for every row
    box_.makeDirs("outside/canary");
    box_.writeFile("outside/canary/keep.txt", "canary");
    box_.makeDirs(rel_ + "/app/bin");
    box_.makeDirs(rel_ + "/app/Resources");
    writeScript(rel_ + "/app/bin/launcher.exe");
    box_.writeFile(rel_ + "/app/Resources/uninstall", "manager v1");
    box_.writeFile(rel_ + "/app/Resources/version.json", versionJson("1.0", "h1"));
    ::symlink(box_.host("outside/canary").c_str(), host("app/data").c_str());
    testing::internal::CaptureStderr();
    const Status s = integrateWindows(root_ + "\\app", {"com.example.app", "Example App", "stable"});
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(s.ok()) << err;
    box_.makeDirs(rel_ + "/self-extraction");
    box_.writeFile(rel_ + "/self-extraction/h2.tar", newVersionTar().end().bytes());
    box_.writeFile(rel_ + "/.tamberlock-update-" + kTid + ".json", "{}");
  }
  void TearDown() override {
    io().setFaultHook(nullptr);
    io().setProcessWaiter(nullptr);
  }

  std::string host(const std::string& below) const { return box_.host(rel_ + "/" + below); }
  void writeScript(const std::string& rel) const {
    box_.writeFile(rel, kLauncher);
    ::chmod(box_.host(rel).c_str(), 0755);
  }

  // The plan of the schema, with its payload in place: the retained tar, or
  // a prepared folder with its recipe and record.
  UpdatePlan plan(std::uint32_t schema) const {
    UpdatePlan p = test::samplePlan(schema);
    p.app_bundle_path = root_ + "\\app";
    p.channel_root = root_;
    p.result_path = root_ + "\\.tamberlock-update-" + kTid + ".result.json";
    if (schema == 1) {
      p.retained_tar_path = root_ + "\\self-extraction\\h2.tar";
      return p;
    }
    box_.makeDirs(rel_ + "/app.prepared-h2");
    const std::string tar = newVersionTar().end().bytes();
    MemoryPullReader reader(tar);
    const fs::Dir folder = fs::openDir(root_ + "\\app.prepared-h2").take();
    ArchiveDestination dest(folder);
    const UpdateRecipe recipe = extractTarArchive(reader, std::nullopt, &dest).take().recipe;
    StringWriter text;
    EXPECT_TRUE(stringifyRecipe(recipe, text).ok());
    box_.writeFile(rel_ + "/self-extraction/h2.recipe.json", text.str());
    p.staging_path = root_ + "\\app.prepared-h2";
    p.recipe_path = root_ + "\\self-extraction\\h2.recipe.json";
    p.recipe_sha256 = sha256Hex(text.str());
    const PreparedUpdate record{2, p.identifier, p.channel, p.platform, p.arch, p.version, p.hash,
                                *p.staging_path, *p.recipe_path, *p.recipe_sha256, "artifact"};
    box_.writeFile(rel_ + "/self-extraction/.tamberlock-prepared-update.json", stringifyPreparedUpdate(record));
    return p;
  }

  // The plan check, then the transaction, as the apply driver runs them.
  Outcome apply(const UpdatePlan& p) const {
    Outcome out;
    PlanCheckProgress progress;
    const Result<ResolvedUpdatePlan> resolved =
        resolveUpdatePlan(p, root_ + "\\.tamberlock-update-" + kTid + ".json", progress);
    if (!resolved) return {"plan check: " + std::string(errorName(resolved.error()))};
    testing::internal::CaptureStderr();
    const Result<std::string> r = applyPreparedUpdate(p, *resolved, out.phase, out.parentExited);
    out.err = testing::internal::GetCapturedStderr();
    out.result = r ? "ok" : std::string(errorName(r.error()));
    if (r) {
      EXPECT_EQ(*r, root_ + "\\app.previous");
    }
    return out;
  }

  // "-" when missing, the version of a whole application, else "partial".
  std::string versionIn(const std::string& folder) const {
    if (!box_.exists(rel_ + "/" + folder)) return "-";
    const std::string json = box_.readFile(rel_ + "/" + folder + "/Resources/version.json");
    const bool whole = box_.exists(rel_ + "/" + folder + "/bin/launcher.exe") &&
                       box_.exists(rel_ + "/" + folder + "/Resources/uninstall");
    const std::size_t at = json.find(R"("version":")");
    if (!whole || at == std::string::npos) return "partial";
    return json.substr(at + 11, json.find('"', at + 11) - at - 11);
  }
  std::string stages() const {
    std::string out;
    for (const auto& e : stdfs::directory_iterator(box_.host(rel_))) {
      const std::string name = e.path().filename();
      if (name.rfind("app.", 0) == 0 && name != "app.previous") out += name + " ";
    }
    return out;
  }
  bool canaryWhole() const { return box_.readFile("outside/canary/keep.txt") == "canary"; }
  bool registered() const {
    return box_.regQuery("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\com.example.app.stable")
               .find("QuietUninstallString") != std::string::npos;
  }

  void inject(const std::vector<Fault>& faults) const {
    auto seen = std::make_shared<std::vector<int>>(faults.size(), 0);
    io().setFaultHook([faults, seen](FsOp op, std::string_view path) -> Status {
      for (std::size_t i = 0; i < faults.size(); ++i) {
        const Fault& f = faults[i];
        if (op != f.op || !path.ends_with(f.pathEnd)) continue;
        if ((*seen)[i]++ >= f.skip) return Error::AccessDenied;
      }
      return success();
    });
  }

  test::IntegrationSandbox box_;
  AnsweringWaiter waiter_;
  std::string rel_;
  std::string root_;
};

TEST_F(UpdateTransaction, EveryFaultOfTheSwapAndRollbackLeavesAWholeVersion) {
  const Fault moveAside{FsOp::Rename, "\\app"};
  const Fault moveIn{FsOp::Rename, "\\ExampleApp"};
  const Fault putBack{FsOp::Rename, "\\app.previous"};
  const Fault launch{FsOp::Spawn, "launcher.exe"};
  struct Row {
    const char* name;
    bool interrupted;  // the app folder stands renamed to app.previous
    bool leftover;     // a previous folder of an earlier update is there
    bool registryFails;
    std::vector<Fault> faults;
    const char* result;
    UpdatePhase phase;
    const char* app;
    const char* previous;
    const char* line;
  };
  const Row rows[] = {
      {"crash between the renames, repaired", true, false, false, {}, "ok", UpdatePhase::launching, "2.0", "1.0", ""},
      {"interrupted swap not put back", true, false, false, {putBack}, "AccessDenied", UpdatePhase::swapping, "-",
       "1.0", ""},
      {"leftover previous not deleted", false, true, false, {{FsOp::DeleteDir, "\\app.previous"}}, "AccessDenied",
       UpdatePhase::swapping, "1.0", "partial", ""},
      {"installed version not moved aside", false, false, false, {moveAside}, "AccessDenied", UpdatePhase::swapping,
       "1.0", "-", ""},
      {"staged version not moved in", false, false, false, {moveIn}, "AccessDenied", UpdatePhase::swapping, "1.0",
       "-", ""},
      {"integration fails", false, false, true, {}, "WindowsCommandFailed", UpdatePhase::integrating, "1.0", "-", ""},
      {"launch fails", false, false, false, {launch}, "AccessDenied", UpdatePhase::launching, "1.0", "-", ""},
      {"failed version not deleted after the rollback", false, false, false,
       {launch, {FsOp::DeleteDir, "\\ExampleApp"}}, "AccessDenied", UpdatePhase::launching, "1.0", "-", ""},
      {"swap error, previous not put back", false, false, false, {moveIn, putBack}, "UpdateRollbackFailed",
       UpdatePhase::swapping, "-", "1.0", "ERROR: Update rollback failed after swap error: error.AccessDenied\n"},
      {"integration error, failed version not moved aside", false, false, true, {{FsOp::Rename, "\\app", 1}},
       "UpdateRollbackFailed", UpdatePhase::integrating, "2.0", "1.0",
       "ERROR: Update rollback failed after integration error: error.AccessDenied\n"},
      {"launch error, previous not put back", false, false, false, {launch, putBack}, "UpdateRollbackFailed",
       UpdatePhase::launching, "-", "1.0", "ERROR: Update rollback failed after launch error: error.AccessDenied\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    if (row.interrupted) stdfs::rename(host("app"), host("app.previous"));
    if (row.leftover) box_.makeDirs(rel_ + "/app.previous/stale");
    if (row.registryFails) box_.addFault("reg.exe add * /v InstallLocation * => exit 1 times 1");
    inject(row.faults);
    const Outcome first = apply(plan(1));
    io().setFaultHook(nullptr);
    EXPECT_EQ(first.result, row.result);
    EXPECT_EQ(updatePhaseName(first.phase), updatePhaseName(row.phase));
    EXPECT_EQ(versionIn("app"), row.app);
    EXPECT_EQ(versionIn("app.previous"), row.previous);
    const std::size_t line = first.err.find("ERROR: Update rollback");
    EXPECT_EQ(line == std::string::npos ? "" : first.err.substr(line), row.line);
    EXPECT_EQ(stages(), "");
    EXPECT_TRUE(canaryWhole());
    if (std::string(row.app) == "1.0") {
      EXPECT_TRUE(registered());
    }

    // The next run ends with the new version working.
    const Outcome next = apply(plan(1));
    EXPECT_EQ(next.result, "ok") << next.err;
    EXPECT_EQ(versionIn("app"), "2.0");
    EXPECT_TRUE(registered());
    deleteTreeIfDirectory(root_ + "\\app.previous");  // the driver's clean-up
    EXPECT_TRUE(canaryWhole());
  }
}

}  // namespace
}  // namespace tl

namespace tl {
namespace {

TEST_F(UpdateTransaction, BothSchemasSwapAndStartTheNewVersionFromItsBinFolder) {
  for (std::uint32_t schema : {1u, 2u}) {
    SCOPED_TRACE(schema);
    TearDown();
    SetUp();
    stdfs::remove(box_.host("launched"));
    const Outcome out = apply(plan(schema));
    EXPECT_EQ(out.result, "ok") << out.err;
    EXPECT_EQ(updatePhaseName(out.phase), "launching");
    EXPECT_TRUE(out.parentExited);
    EXPECT_EQ(versionIn("app") + " " + versionIn("app.previous") + " " + stages(), "2.0 1.0 ");
    EXPECT_TRUE(registered());
    EXPECT_TRUE(test::eventually([&] { return box_.readFile("launched") == host("app/bin") + "\n"; }));
    deleteTreeIfDirectory(root_ + "\\app.previous");
    EXPECT_TRUE(canaryWhole());
  }
}

TEST_F(UpdateTransaction, ParentWaitDecidesBeforeAnythingMoves) {
  const struct {
    const char* name;
    process::ProcessWait answer;
    bool realWaiter;  // the host's waiter, for a process id that names nothing
    const char* result;
  } rows[] = {
      {"never exits", {true, process::kWaitTimeout}, false, "ParentProcessWaitTimedOut"},
      {"cannot be opened", {false, process::kErrorGenFailure}, false, "ParentProcessWaitFailed"},
      {"wait fails", {true, process::kWaitFailed}, false, "ParentProcessWaitFailed"},
      {"has ended", {true, process::kWaitObject0}, false, "ok"},
      {"does not exist", {}, true, "ok"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    waiter_.answer = row.answer;
    UpdatePlan p = plan(1);
    if (row.realWaiter) {
      io().setProcessWaiter(nullptr);
      p.parent_pid = 4194305;  // above the largest pid_max
    }
    const Outcome out = apply(p);
    EXPECT_EQ(out.result, row.result);
    EXPECT_EQ(out.parentExited, out.result == "ok");
    if (!row.realWaiter) {
      EXPECT_EQ(waiter_.lastTimeout, 120000u);
    }
    if (out.result != "ok") {
      EXPECT_EQ(updatePhaseName(out.phase), "waiting_for_parent");
      EXPECT_EQ(versionIn("app") + " " + versionIn("app.previous") + " " + stages(), "1.0 - ");
    }
  }
}

TEST_F(UpdateTransaction, ABadPayloadIsRefusedBeforeAnythingMoves) {
  const std::string stray = newVersionTar().file("stray", "x").end().bytes();
  const std::string otherVersion = newVersionTar("2.1").end().bytes();
  const struct {
    const char* name;
    std::uint32_t schema;
    const char* file;  // rewritten below the channel root after the payload is made
    std::string bytes;
    const char* result;
    const char* phase;
  } rows[] = {
      {"stray file beside the root", 1, "self-extraction/h2.tar", stray, "InvalidUpdateArchive", "extracting"},
      {"one changed byte in the prepared tree", 2, "app.prepared-h2/ExampleApp/Resources/uninstall", "manager v3",
       "FileHashMismatch", "extracting"},
      {"recipe changed after the plan", 2, "self-extraction/h2.recipe.json", "{}", "UpdateRecipeHashMismatch",
       "extracting"},
      {"payload of another version", 1, "self-extraction/h2.tar", otherVersion, "InvalidUpdateIdentity",
       "validating_payload"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    const UpdatePlan p = plan(row.schema);
    box_.writeFile(rel_ + "/" + row.file, row.bytes);
    const Outcome out = apply(p);
    EXPECT_EQ(out.result, row.result);
    EXPECT_EQ(updatePhaseName(out.phase), row.phase);
    EXPECT_EQ(waiter_.calls, 0);
    EXPECT_EQ(versionIn("app") + " " + versionIn("app.previous") + " " + stages(), "1.0 - ");
    EXPECT_TRUE(canaryWhole());
  }
}

}  // namespace
}  // namespace tl
