#include "update/update_transaction.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "archive/pull_reader.h"
#include "archive/tar_reader.h"
#include "common/sha256.h"
#include "platform/io_context.h"
#include "platform/process_waiter.h"
#include "update/answering_waiter.h"
#include "support/eventually.h"
#include "support/tar_builder.h"
#include "update/sample_plan.h"
#include "update/update_folder_moves.h"
#include "windows_integration/integration_driver.h"
#include "windows_integration/integration_sandbox.h"

namespace tl {
namespace {

namespace stdfs = std::filesystem;

const std::string kPlanName = ".tamberlock-update-" + std::string(test::kSampleTid);
// Leaves the folder it was started in where the tests look.
const std::string kLauncher = "#!/bin/sh\npwd > \"$LAUNCH_MARK\"\n";

std::string versionJson(const std::string& version, const std::string& hash) {
  return R"({"identifier":"com.example.app","channel":"stable","name":"ExampleApp","version":")" + version +
         R"(","hash":")" + hash + R"(","displayName":"Example App"})";
}

// The payload; version is what its version.json claims.
test::TarBuilder newVersionTar(const std::string& version = "2.0") {
  test::TarBuilder t;
  t.dir("ExampleApp").dir("ExampleApp/bin").dir("ExampleApp/Resources");
  t.file("ExampleApp/bin/launcher.exe", kLauncher).file("ExampleApp/Resources/uninstall", "manager v2");
  return t.file("ExampleApp/Resources/version.json", versionJson(version, "h2"));
}

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

// com.example.app 1.0 installed and integrated in a sandbox, with a folder
// link inside it to an outside canary, and the payload of 2.0.
class UpdateTransaction : public testing::Test {
 protected:
  void SetUp() override {
    waiter_ = {};
    io().setProcessWaiter(&waiter_);
    box_.setEnv("LAUNCH_MARK", box_.host("launched"));
    stdfs::remove_all(box_.host(rel_));
    box_.makeDirs("outside/canary");
    box_.writeFile("outside/canary/keep.txt", "canary");
    box_.makeDirs(rel_ + "/app/bin");
    box_.makeDirs(rel_ + "/app/Resources");
    box_.makeDirs(rel_ + "/self-extraction");
    box_.writeFile(rel_ + "/app/bin/launcher.exe", kLauncher);
    ::chmod(host("app/bin/launcher.exe").c_str(), 0755);
    box_.writeFile(rel_ + "/app/Resources/uninstall", "manager v1");
    box_.writeFile(rel_ + "/app/Resources/version.json", versionJson("1.0", "h1"));
    ::symlink(box_.host("outside/canary").c_str(), host("app/data").c_str());
    box_.writeFile(rel_ + "/self-extraction/h2.tar", newVersionTar().end().bytes());
    box_.writeFile(rel_ + "/" + kPlanName + ".json", "{}");
    testing::internal::CaptureStderr();
    const Status s = integrateWindows(root_ + "\\app", {"com.example.app", "Example App", "stable"});
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(s.ok()) << err;
  }
  void TearDown() override {
    io().setFaultHook(nullptr);
    io().setProcessWaiter(nullptr);
  }

  std::string host(const std::string& below) const { return box_.host(rel_ + "/" + below); }

  // The plan of the schema, with its payload in place: the retained tar, or
  // a prepared folder with its recipe and record.
  UpdatePlan plan(std::uint32_t schema) const {
    UpdatePlan p = test::samplePlan(schema);
    p.app_bundle_path = root_ + "\\app";
    p.channel_root = root_;
    p.result_path = root_ + "\\" + kPlanName + ".result.json";
    if (schema == 1) {
      p.retained_tar_path = root_ + "\\self-extraction\\h2.tar";
      return p;
    }
    box_.makeDirs(rel_ + "/app.prepared-h2");
    const std::string tar = newVersionTar().end().bytes();
    MemoryPullReader reader(tar);
    const fs::Dir folder = fs::openDir(root_ + "\\app.prepared-h2").take();
    ArchiveDestination dest(folder);
    StringWriter recipe;
    EXPECT_TRUE(stringifyRecipe(extractTarArchive(reader, std::nullopt, &dest)->recipe, recipe).ok());
    box_.writeFile(rel_ + "/self-extraction/h2.recipe.json", recipe.str());
    p.staging_path = root_ + "\\app.prepared-h2";
    p.recipe_path = root_ + "\\self-extraction\\h2.recipe.json";
    p.recipe_sha256 = sha256Hex(recipe.str());
    const PreparedUpdate record{2, p.identifier, p.channel, p.platform, p.arch, p.version, p.hash,
                                *p.staging_path, *p.recipe_path, *p.recipe_sha256, "artifact"};
    box_.writeFile(rel_ + "/self-extraction/.tamberlock-prepared-update.json", stringifyPreparedUpdate(record));
    return p;
  }

  // The plan check, then the transaction, as the apply driver runs them.
  Outcome apply(const UpdatePlan& p) const {
    Outcome out;
    PlanCheckProgress progress;
    const Result<ResolvedUpdatePlan> resolved = resolveUpdatePlan(p, root_ + "\\" + kPlanName + ".json", progress);
    if (!resolved) return {"plan check: " + std::string(errorName(resolved.error()))};
    testing::internal::CaptureStderr();
    ParentProcess parent(p.parent_pid);
    parent.open();
    const Result<std::string> r = applyPreparedUpdate(p, *resolved, parent, out.phase, out.parentExited);
    out.err = testing::internal::GetCapturedStderr();
    out.result = r ? "ok" : std::string(errorName(r.error()));
    EXPECT_EQ(r ? *r : "", r ? root_ + "\\app.previous" : "");
    return out;
  }

  // The versions whole in app and app.previous ("-" missing, "partial" not
  // whole), then any stage left beside them.
  std::string state() const {
    std::string out = versionIn("app") + " " + versionIn("app.previous");
    for (const auto& e : stdfs::directory_iterator(box_.host(rel_))) {
      const std::string name = e.path().filename();
      if (name.starts_with("app.") && name != "app.previous") out += " " + name;
    }
    return out;
  }
  std::string versionIn(const std::string& folder) const {
    if (!box_.exists(rel_ + "/" + folder)) return "-";
    const std::string json = box_.readFile(rel_ + "/" + folder + "/Resources/version.json");
    const std::size_t at = json.find(R"("version":")") + 11;
    if (!box_.exists(rel_ + "/" + folder + "/bin/launcher.exe") || at < 11) return "partial";
    return json.substr(at, json.find('"', at) - at);
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
        if (op == faults[i].op && path.ends_with(faults[i].pathEnd) && (*seen)[i]++ >= faults[i].skip) {
          return Error::AccessDenied;
        }
      }
      return success();
    });
  }

  test::IntegrationSandbox box_;
  test::AnsweringWaiter waiter_;
  std::string rel_ = box_.userRel("AppData/Local/com.example.app/stable");
  std::string root_ = box_.win(rel_);
};

// The faults of the rows: each rename by its source, the launch and the
// integration (its reg.exe) by the program started.
const Fault kMoveAside{FsOp::Rename, "\\app"};
const Fault kMoveIn{FsOp::Rename, "\\ExampleApp"};
const Fault kPutBack{FsOp::Rename, "\\app.previous"};
const Fault kLaunch{FsOp::Spawn, "launcher.exe"};
const Fault kIntegration{FsOp::Spawn, "reg.exe"};
// leftover: an earlier update's previous folder; killed: a stage that a
// killed run of another transaction left
enum Before { installed, interrupted, leftover, killed };
const std::string kRollbackFailed = "ERROR: Update rollback failed after ";
struct FaultRow {
  const char* name;
  std::uint32_t schema;
  Before before;
  std::vector<Fault> faults;
  const char* result;
  const char* phase;
  const char* state;  // as state() tells it
  std::string line;
};

// One row a fault (or pair of faults), each run as a test of its own.
const FaultRow kFaultRows[] = {
    {"crash between the renames, repaired", 2, interrupted, {}, "ok", "launching", "2.0 1.0", ""},
    {"interrupted swap not put back", 1, interrupted, {kPutBack}, "AccessDenied", "validating", "- 1.0", ""},
    {"leftover previous not deleted", 1, leftover, {{FsOp::DeleteDir, "\\app.previous"}}, "AccessDenied",
     "swapping", "1.0 partial", ""},
    {"installed version not moved aside", 2, installed, {kMoveAside}, "AccessDenied", "swapping", "1.0 -", ""},
    {"staged version not moved in", 1, installed, {kMoveIn}, "AccessDenied", "swapping", "1.0 -", ""},
    {"integration fails, also for the restored version", 2, installed, {kIntegration}, "AccessDenied",
     "integrating", "1.0 -", "Warning: Could not restore previous uninstall integration: error.AccessDenied\n"},
    {"launch fails", 1, installed, {kLaunch}, "AccessDenied", "launching", "1.0 -", ""},
    {"failed version not deleted after the rollback", 2, installed, {kLaunch, {FsOp::DeleteDir, "\\ExampleApp"}},
     "AccessDenied", "launching", "1.0 -", ""},
    {"swap error, previous not put back", 1, installed, {kMoveIn, kPutBack}, "UpdateRollbackFailed", "swapping",
     "- 1.0", kRollbackFailed + "swap error: error.AccessDenied\n"},
    {"integration error, failed version not moved aside", 1, installed, {kIntegration, {FsOp::Rename, "\\app", 1}},
     "UpdateRollbackFailed", "integrating", "2.0 1.0", kRollbackFailed + "integration error: error.AccessDenied\n"},
    {"launch error, previous not put back", 2, installed, {kLaunch, kPutBack}, "UpdateRollbackFailed", "launching",
     "- 1.0", kRollbackFailed + "launch error: error.AccessDenied\n"},
};

class SwapFault : public UpdateTransaction, public testing::WithParamInterface<std::size_t> {};

TEST_P(SwapFault, LeavesAWholeVersionAndTheNextRunWorks) {
  const FaultRow& row = kFaultRows[GetParam()];
  SCOPED_TRACE(row.name);
  if (row.before == interrupted) stdfs::rename(host("app"), host("app.previous"));
  if (row.before == leftover) box_.makeDirs(rel_ + "/app.previous/stale");
  inject(row.faults);
  const Outcome first = apply(plan(row.schema));
  io().setFaultHook(nullptr);
  EXPECT_EQ(first.result, row.result);
  EXPECT_EQ(updatePhaseName(first.phase), row.phase);
  EXPECT_EQ(state(), row.state);
  const std::size_t line =
      std::min(first.err.find(kRollbackFailed), first.err.find("Warning: Could not restore previous"));
  EXPECT_EQ(line == std::string::npos ? "" : first.err.substr(line), row.line);
  EXPECT_TRUE(canaryWhole());

  // The next run, with a parent id that names no process (the host's
  // waiter), ends with the new version started from its bin folder.
  io().setProcessWaiter(nullptr);
  stdfs::remove(box_.host("launched"));
  UpdatePlan p = plan(row.schema);
  p.parent_pid = 4194305;  // above the largest pid_max
  const Outcome next = apply(p);
  EXPECT_EQ(next.result + " " + std::string(updatePhaseName(next.phase)), "ok launching") << next.err;
  EXPECT_TRUE(next.parentExited);
  EXPECT_EQ(versionIn("app"), "2.0");
  EXPECT_TRUE(registered());
  EXPECT_TRUE(test::eventually([&] { return box_.readFile("launched") == host("app/bin") + "\n"; }));
  deleteTreeIfDirectory(root_ + "\\app.previous");  // the driver's clean-up
  EXPECT_TRUE(canaryWhole());
}

INSTANTIATE_TEST_SUITE_P(UpdateTransaction, SwapFault, testing::Range<std::size_t>(0, std::size(kFaultRows)));

TEST_F(UpdateTransaction, AParentThatRunsOnOrABadPayloadStopsBeforeAnythingMoves) {
  const struct {
    const char* name;
    std::uint32_t schema;
    process::ProcessWait parent;
    const char* file;  // rewritten below the channel root once the payload is made
    std::string bytes;
    const char* result;
    const char* phase;
    Before before = installed;
  } rows[] = {
      {"parent never exits", 1, {true, process::kWaitTimeout}, nullptr, "", "ParentProcessWaitTimedOut",
       "waiting_for_parent"},
      {"parent never exits, a killed run's stage beside", 2, {true, process::kWaitTimeout}, nullptr, "",
       "ParentProcessWaitTimedOut", "waiting_for_parent", killed},
      {"parent cannot be opened", 2, {false, process::kErrorGenFailure}, nullptr, "", "ParentProcessWaitFailed",
       "waiting_for_parent"},
      {"stray file beside the root", 1, {}, "self-extraction/h2.tar", newVersionTar().file("x", "").end().bytes(),
       "InvalidUpdateArchive", "extracting"},
      {"one changed byte in the prepared tree", 2, {}, "app.prepared-h2/ExampleApp/Resources/uninstall",
       "manager v3", "FileHashMismatch", "extracting"},
      {"payload of another version", 1, {}, "self-extraction/h2.tar", newVersionTar("2.1").end().bytes(),
       "InvalidUpdateIdentity", "validating_payload"},
      {"archive cut short after a swap that stopped between its renames", 1, {}, "self-extraction/h2.tar",
       newVersionTar().end().bytes().substr(0, 1000), "UnexpectedEndOfStream", "extracting", interrupted},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    waiter_.answer = row.parent;
    const UpdatePlan p = plan(row.schema);
    if (row.file) box_.writeFile(rel_ + "/" + row.file, row.bytes);
    if (row.before == interrupted) stdfs::rename(host("app"), host("app.previous"));
    if (row.before == killed) box_.makeDirs(rel_ + "/app.update-" + std::string(32, 'e') + "/ExampleApp/bin");
    const Outcome out = apply(p);
    EXPECT_EQ(out.result, row.result);
    EXPECT_EQ(updatePhaseName(out.phase), row.phase);
    EXPECT_FALSE(out.parentExited);
    EXPECT_EQ(waiter_.lastTimeout, row.file || !row.parent.opened ? 0u : 120000u);
    EXPECT_EQ(state(), "1.0 -");
    EXPECT_TRUE(canaryWhole());
  }
}

}  // namespace
}  // namespace tl
