#include "update/apply/update_transaction.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>
#include <vector>

#include "archive/pull_reader.h"
#include "archive/staged_tree.h"
#include "archive/tar_reader.h"
#include "common/atomic_write.h"
#include "common/json_writer.h"
#include "common/sha256.h"
#include "platform/io_context.h"
#include "platform/process.h"
#include "platform/process_waiter.h"
#include "support/eventually.h"
#include "support/tar_builder.h"
#include "update/apply/answering_waiter.h"
#include "update/apply/apply_driver.h"
#include "update/apply/sample_plan.h"
#include "update/apply/update_folder_moves.h"
#include "update/update_locks.h"
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

// The payload; version is what its version.json claims, and the file
// named `without` (below ExampleApp) is left out.
test::TarBuilder newVersionTar(const std::string& version = "2.0", const std::string& without = "") {
  test::TarBuilder t;
  t.dir("ExampleApp").dir("ExampleApp/bin").dir("ExampleApp/Resources");
  const std::pair<std::string, std::string> files[] = {
      {"bin/launcher.exe", kLauncher},
      {"Resources/uninstall", "manager v2"},
      {"Resources/version.json", versionJson(version, "h2")},
  };
  for (const auto& [name, bytes] : files) {
    if (name != without) t.file("ExampleApp/" + name, bytes);
  }
  return t;
}

// A file operation that fails with AccessDenied once `skip` earlier ones of
// its kind on a path with this ending have passed: `times` times, or for
// good when that is 0.
struct Fault {
  FsOp op;
  std::string pathEnd;
  int skip = 0;
  int times = 0;
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
    Result<ApplyLock> lock = takeApplyLock(fs::openDir(root_).take(), p.transaction_id);
    EXPECT_TRUE(lock && lock->applying());
    const Result<std::string> r = applyPreparedUpdate(p, *resolved, parent, *lock, out.phase, out.parentExited);
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
  std::string uninstallEntry() const {
    return box_.regQuery("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\com.example.app.stable");
  }
  bool registered() const { return uninstallEntry().find("QuietUninstallString") != std::string::npos; }
  // The version the uninstall entry shows ("-" none).
  std::string registeredVersion() const {
    const std::string entry = uninstallEntry();
    const std::string value = "DisplayVersion    REG_SZ    ";
    const std::size_t at = entry.find(value);
    if (at == std::string::npos) return "-";
    return entry.substr(at + value.size(), entry.find('\r', at) - at - value.size());
  }

  // Syncs come from the flushing threads too, hence the lock.
  void inject(const std::vector<Fault>& faults) const {
    auto seen = std::make_shared<std::pair<std::mutex, std::vector<int>>>();
    seen->second.resize(faults.size());
    io().setFaultHook([faults, seen](FsOp op, std::string_view path) -> Status {
      std::lock_guard<std::mutex> lock(seen->first);
      for (std::size_t i = 0; i < faults.size(); ++i) {
        if (op != faults[i].op || !path.ends_with(faults[i].pathEnd)) continue;
        const int n = seen->second[i]++;
        if (n >= faults[i].skip && (faults[i].times == 0 || n < faults[i].skip + faults[i].times)) {
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
    {"interrupted swap put back on its third try", 1, interrupted, {{FsOp::Rename, "\\app.previous", 0, 2}}, "ok",
     "launching", "2.0 1.0", ""},
    {"installed version held open a while", 2, installed, {{FsOp::Rename, "\\app", 0, 3}}, "ok", "launching",
     "2.0 1.0", ""},
    {"interrupted swap not put back", 1, interrupted, {kPutBack}, "AccessDenied", "validating", "- 1.0", ""},
    {"leftover previous not deleted", 1, leftover, {{FsOp::DeleteDir, "\\app.previous"}}, "AccessDenied",
     "swapping", "1.0 partial", ""},
    {"installed version not moved aside", 2, installed, {kMoveAside}, "AccessDenied", "swapping", "1.0 -", ""},
    {"staged version not moved in", 1, installed, {kMoveIn}, "AccessDenied", "swapping", "1.0 -", ""},
    {"integration fails, also for the restored version", 2, installed, {kIntegration}, "AccessDenied",
     "integrating", "1.0 -", "Warning: Could not restore previous uninstall integration: error.AccessDenied\n"},
    {"launch fails", 1, installed, {kLaunch}, "AccessDenied", "launching", "1.0 -", ""},
    {"launch fails, previous put back on its third try", 2, installed,
     {kLaunch, {FsOp::Rename, "\\app.previous", 0, 2}}, "AccessDenied", "launching", "1.0 -", ""},
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
  // A version put back is registered again as itself.
  if (versionIn("app") == "1.0") {
    EXPECT_EQ(registeredVersion(), "1.0");
  }

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

// A plan file as the updater writes it.
std::string planText(const UpdatePlan& p) {
  std::string text = "{\"schema_version\":" + std::to_string(p.schema_version) +
                     ",\"parent_pid\":" + std::to_string(p.parent_pid);
  const std::pair<const char*, const std::string*> members[] = {
      {"transaction_id", &p.transaction_id}, {"identifier", &p.identifier},
      {"channel", &p.channel},               {"platform", &p.platform},
      {"arch", &p.arch},                     {"version", &p.version},
      {"hash", &p.hash},                     {"app_bundle_path", &p.app_bundle_path},
      {"channel_root", &p.channel_root},     {"result_path", &p.result_path},
      {"retained_tar_path", p.schema_version == 1 ? &p.retained_tar_path : nullptr},
      {"staging_path", p.staging_path ? &*p.staging_path : nullptr},
      {"recipe_path", p.recipe_path ? &*p.recipe_path : nullptr},
      {"recipe_sha256", p.recipe_sha256 ? &*p.recipe_sha256 : nullptr},
  };
  for (const auto& [key, value] : members) {
    if (!value) continue;
    text += ",\"" + std::string(key) + "\":";
    json::appendQuoted(text, *value);
  }
  return text + "}";
}

// A parent that ends at endsAt on the IoContext clock: a wait for it lasts
// until then.
struct ParentLivingOn final : process::ProcessWaiter {
  struct Handle final : process::ProcessHandle {
    explicit Handle(const ParentLivingOn& p) : parent(p) {}
    std::uint32_t wait(std::uint32_t timeoutMs) override {
      if (io().nowMs() < parent.endsAt) io().sleepMs(std::min<std::uint64_t>(parent.endsAt - io().nowMs(), timeoutMs));
      return io().nowMs() >= parent.endsAt ? process::kWaitObject0 : process::kWaitTimeout;
    }
    const ParentLivingOn& parent;
  };
  process::OpenedProcess open(std::uint32_t) override { return {std::make_unique<Handle>(*this), 0}; }
  std::uint64_t endsAt = 0;
};

// The whole helper run after a rejected plan or a failed update: the
// previous version starts only once the parent (living on for 40 s) has
// ended and the result is out, never for a target that fails its own
// check, and each clean-up that fails says so.
TEST_F(UpdateTransaction, TheDriverRelaunchesOnlyOnceTheParentEndedAndTheResultIsOut) {
  using Hook = std::function<Status(FsOp, std::string_view)>;
  const auto failing = [](FsOp failOp, std::function<bool(std::string_view)> matches) {
    return Hook([=](FsOp op, std::string_view path) -> Status {
      if (op == failOp && matches(path)) return Error::AccessDenied;
      return success();
    });
  };
  // Results are written under a temporary name of 16 hex digits, then renamed.
  const Hook resultRefused = failing(FsOp::Rename, [](std::string_view path) {
    return isAtomicTemporaryNameOf(path, kPlanName + ".result.json");
  });
  const Hook planKept = failing(FsOp::DeleteFile, [](std::string_view path) { return path.ends_with(".json"); });
  const Hook payloadKept =
      failing(FsOp::Open, [](std::string_view path) { return path.ends_with("\\self-extraction"); });
  const auto otherTar = [this](UpdatePlan& p) { p.retained_tar_path = root_ + "\\self-extraction\\h9.tar"; };
  const auto cutShort = [this](UpdatePlan&) {
    box_.writeFile(rel_ + "/self-extraction/h2.tar", newVersionTar().end().bytes().substr(0, 1000));
  };
  const std::string refused = "Warning: Refusing to relaunch an unvalidated update target: error.InvalidUpdatePlan\n";
  const std::string afterAll = "after the parent, result out";
  const struct {
    const char* name;
    std::function<void(UpdatePlan&)> change;
    Hook fault;
    const char* result;
    const char* published;  // phase and message of the result file, "-" none
    std::string launch;     // how the previous version's launch found things, "" none
    std::string line;       // a line standard error holds
  } rows[] = {
      {"rejected plan", otherTar, nullptr, "InvalidUpdatePath", "validating InvalidUpdatePath", afterAll, ""},
      {"another copy runs the plan", [](UpdatePlan&) { process::setOwnExecutablePathForTesting("Z:\\tmp\\x.exe"); },
       nullptr, "InvalidUpdateHelper", "validating InvalidUpdateHelper", afterAll, ""},
      {"archive cut short", cutShort, nullptr, "UnexpectedEndOfStream", "extracting UnexpectedEndOfStream", afterAll,
       ""},
      {"another platform", [](UpdatePlan& p) { p.platform = "linux"; }, nullptr, "InvalidUpdatePlan", "-", "", refused},
      {"another arch", [](UpdatePlan& p) { p.arch = "arm64"; }, nullptr, "InvalidUpdatePlan", "-", "", refused},
      {"no parent to wait for", [](UpdatePlan& p) { p.parent_pid = 0; }, nullptr, "InvalidUpdatePlan", "-", "",
       refused},
      {"rejected plan, result refused", otherTar, resultRefused, "InvalidUpdatePath", "-",
       "after the parent, no result",
       "ERROR: Could not publish update validation failure result: error.AccessDenied\n"},
      {"rejected plan, plan kept", otherTar, planKept, "InvalidUpdatePath", "validating InvalidUpdatePath", afterAll,
       "Warning: Could not remove rejected update plan: error.AccessDenied\n"},
      {"archive cut short, result refused", cutShort, resultRefused, "UnexpectedEndOfStream", "-",
       "after the parent, no result", "ERROR: Could not publish update failure result: error.AccessDenied\n"},
      {"archive cut short, payload kept", cutShort, payloadKept, "UnexpectedEndOfStream",
       "extracting UnexpectedEndOfStream", afterAll,
       "Warning: Could not invalidate failed update payload: error.AccessDenied\n"},
  };
  const std::string helperRel =
      box_.userRel("AppData/Local/Temp/tamberlock-update-" + std::string(test::kSampleTid) + ".exe");
  const std::string resultRel = rel_ + "/" + kPlanName + ".result.json";
  const auto member = [](const std::string& json, const std::string& key) {
    const std::size_t at = json.find("\"" + key + "\": \"") + key.size() + 5;
    return json.substr(at, json.find('"', at) - at);
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    ParentLivingOn parent;
    parent.endsAt = io().nowMs() + 40000;
    io().setProcessWaiter(&parent);
    box_.writeFile(helperRel, "helper");
    process::setOwnExecutablePathForTesting(box_.win(helperRel));
    UpdatePlan p = plan(1);
    row.change(p);
    box_.writeFile(rel_ + "/" + kPlanName + ".json", planText(p));
    auto launches = std::make_shared<std::string>();
    io().setFaultHook([&, launches](FsOp op, std::string_view path) -> Status {
      if (op == FsOp::Spawn && path.ends_with("launcher.exe")) {
        *launches += std::string(io().nowMs() >= parent.endsAt ? "after the parent" : "while the parent runs") +
                     (box_.exists(resultRel) ? ", result out" : ", no result");
      }
      return row.fault ? row.fault(op, path) : success();
    });
    testing::internal::CaptureStderr();
    const Status s = runApplyUpdate(root_ + "\\" + kPlanName + ".json");
    const std::string err = testing::internal::GetCapturedStderr();
    io().setFaultHook(nullptr);
    process::setOwnExecutablePathForTesting("");
    EXPECT_EQ(s ? "ok" : std::string(errorName(s.error())), row.result);
    const std::string result = box_.exists(resultRel) ? box_.readFile(resultRel) : "";
    EXPECT_EQ(result.empty() ? "-" : member(result, "phase") + " " + member(result, "message"), row.published);
    EXPECT_EQ(*launches, row.launch);
    EXPECT_NE(err.find(row.line), std::string::npos) << err;
    EXPECT_EQ(versionIn("app"), "1.0");
    EXPECT_TRUE(test::eventually([&] { return box_.cleanupScripts().empty(); }));
  }
}

// A power cut soon after the swap must find whole files in app: every file
// the retained archive unpacks is synced before the staged root moves in.
TEST_F(UpdateTransaction, UnpackedFilesAreSyncedBeforeTheStagedRootMovesIn) {
  // From the stage's making to the staged tree's first check, before which
  // nothing moves: "c" a file created, "s" a sync.
  struct Seen {
    std::mutex mutex;
    bool staging = false;
    std::string ops;
  };
  auto seen = std::make_shared<Seen>();
  io().setFaultHook([seen](FsOp op, std::string_view path) -> Status {
    std::lock_guard<std::mutex> lock(seen->mutex);
    if (op == FsOp::MakeDir && path.ends_with("\\app.update-" + std::string(test::kSampleTid))) seen->staging = true;
    if (op == FsOp::Stat && path.ends_with("\\version.json")) seen->staging = false;
    if (seen->staging && (op == FsOp::Create || op == FsOp::Sync)) seen->ops += op == FsOp::Create ? "c" : "s";
    return success();
  });
  EXPECT_EQ(apply(plan(1)).result, "ok");
  std::string ops = seen->ops;
  std::sort(ops.begin(), ops.end());
  EXPECT_EQ(ops, "cccsss") << seen->ops;
}

TEST_F(UpdateTransaction, AParentThatRunsOnOrABadPayloadStopsBeforeAnythingMoves) {
  // Writes a file below the channel root once the payload is made.
  const auto rewrite = [this](const std::string& file, const std::string& bytes) {
    return std::function<void()>([=, this] { box_.writeFile(rel_ + "/" + file, bytes); });
  };
  const std::string recipe = "self-extraction/h2.recipe.json";
  const struct {
    const char* name;
    std::uint32_t schema;
    process::ProcessWait parent;
    std::function<void()> change;  // to the payload, once it is made
    const char* result;
    const char* phase;
    Before before = installed;
    std::vector<Fault> faults = {};
  } rows[] = {
      {"parent never exits", 1, {true, process::kWaitTimeout}, nullptr, "ParentProcessWaitTimedOut",
       "waiting_for_parent"},
      {"parent never exits, a killed run's stage beside", 2, {true, process::kWaitTimeout}, nullptr,
       "ParentProcessWaitTimedOut", "waiting_for_parent", killed},
      {"parent cannot be opened", 2, {false, process::kErrorGenFailure}, nullptr, "ParentProcessWaitFailed",
       "waiting_for_parent"},
      {"stray file beside the root", 1, {},
       rewrite("self-extraction/h2.tar", newVersionTar().file("x", "").end().bytes()), "InvalidUpdateArchive",
       "extracting"},
      {"one changed byte in the prepared tree", 2, {},
       rewrite("app.prepared-h2/ExampleApp/Resources/uninstall", "manager v3"), "FileHashMismatch", "extracting"},
      {"recipe that is not the one the plan names", 2, {},
       [&] { box_.writeFile(rel_ + "/" + recipe, box_.readFile(rel_ + "/" + recipe) + "\n"); },
       "UpdateRecipeHashMismatch", "extracting"},
      {"prepared root renamed", 2, {},
       [&] { stdfs::rename(host("app.prepared-h2/ExampleApp"), host("app.prepared-h2/Other")); },
       "InvalidUpdateIdentity", "extracting"},
      {"payload of another version", 1, {}, rewrite("self-extraction/h2.tar", newVersionTar("2.1").end().bytes()),
       "InvalidUpdateIdentity", "validating_payload"},
      {"payload without its launcher", 1, {},
       rewrite("self-extraction/h2.tar", newVersionTar("2.0", "bin/launcher.exe").end().bytes()),
       "InvalidUpdatePath", "validating_payload"},
      {"payload without its uninstall manager", 1, {},
       rewrite("self-extraction/h2.tar", newVersionTar("2.0", "Resources/uninstall").end().bytes()),
       "InvalidUpdatePath", "validating_payload"},
      {"archive cut short after a swap that stopped between its renames", 1, {},
       rewrite("self-extraction/h2.tar", newVersionTar().end().bytes().substr(0, 1000)), "UnexpectedEndOfStream",
       "extracting", interrupted},
      {"last sync of an unpacked file fails", 1, {}, nullptr, "AccessDenied", "extracting", installed,
       {{FsOp::Sync, "", 2, 1}}},  // a sync names no path: the third of the three
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    waiter_.answer = row.parent;
    const UpdatePlan p = plan(row.schema);
    if (row.change) row.change();
    if (row.before == interrupted) stdfs::rename(host("app"), host("app.previous"));
    if (row.before == killed) box_.makeDirs(rel_ + "/app.update-" + std::string(32, 'e') + "/ExampleApp/bin");
    inject(row.faults);
    const Outcome out = apply(p);
    EXPECT_EQ(out.result, row.result);
    EXPECT_EQ(updatePhaseName(out.phase), row.phase);
    EXPECT_FALSE(out.parentExited);
    EXPECT_EQ(waiter_.lastTimeout, row.change || !row.parent.opened ? 0u : 120000u);
    EXPECT_EQ(state(), "1.0 -");
    EXPECT_TRUE(canaryWhole());
  }
}


// A helper killed (as by a power cut or a logoff) at each rename, deletion
// and program start of its run in turn, then started again by its task
// while its plan and copy are there: the result always agrees with app, the
// uninstall entry names the version app holds, and that version keeps the
// recipe the next update's patch is rebuilt from. Also so when the updater
// writes a new plan of the version instead. Rows: an update that applies,
// and one whose launch fails and rolls back; the kill points are dealt out
// over a few tests that run side by side.
constexpr int kKillShards = 3;
class KilledHelper : public UpdateTransaction,
                     public testing::WithParamInterface<std::tuple<bool, bool, int>> {};

TEST_P(KilledHelper, IsSettledByItsNextRun) {
  const auto [launchFails, newPlan, shard] = GetParam();
  const auto helperRel = [&](const std::string& tid) {
    return box_.userRel("AppData/Local/Temp/tamberlock-update-" + tid + ".exe");
  };
  const auto planRel = [&](const std::string& tid) { return rel_ + "/.tamberlock-update-" + tid + ".json"; };
  const std::string tid = test::kSampleTid, otherTid(32, 'e');
  constexpr int kKilled = 137;
  int kills = 0;
  for (int killAt = shard;; killAt += kKillShards) {
    SCOPED_TRACE("killed at step " + std::to_string(killAt) + (newPlan ? ", then a new plan" : ""));
    if (killAt != shard) {
      TearDown();
      SetUp();
    }
    UpdatePlan p = plan(2);
    box_.writeFile(helperRel(tid), "helper");
    process::setOwnExecutablePathForTesting(box_.win(helperRel(tid)));
    box_.writeFile(planRel(tid), planText(p));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int step = 0;
      io().setFaultHook([&](FsOp op, std::string_view path) -> Status {
        const bool launch = op == FsOp::Spawn && path.ends_with("launcher.exe");
        if (op == FsOp::Rename || op == FsOp::DeleteFile || op == FsOp::DeleteDir || launch) {
          if (step++ == killAt) ::_exit(kKilled);
        }
        if (launch && launchFails) return Error::AccessDenied;
        return success();
      });
      ::_exit(runApplyUpdate(box_.win(planRel(tid))) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const bool killed = WIFEXITED(status) && WEXITSTATUS(status) == kKilled;
    EXPECT_TRUE(test::eventually([&] { return box_.cleanupScripts().empty(); }));
    if (killed && newPlan) {
      p.transaction_id = otherTid;
      p.result_path = box_.win(rel_ + "/.tamberlock-update-" + otherTid + ".result.json");
      box_.writeFile(helperRel(otherTid), "helper");
      process::setOwnExecutablePathForTesting(box_.win(helperRel(otherTid)));
      box_.writeFile(planRel(otherTid), planText(p));
    }
    if (killed && box_.exists(planRel(p.transaction_id)) && box_.exists(helperRel(p.transaction_id))) {
      io().setFaultHook([&](FsOp op, std::string_view path) -> Status {
        if (launchFails && op == FsOp::Spawn && path.ends_with("launcher.exe")) return Error::AccessDenied;
        return success();
      });
      testing::internal::CaptureStderr();
      (void)runApplyUpdate(box_.win(planRel(p.transaction_id)));
      (void)testing::internal::GetCapturedStderr();
      io().setFaultHook(nullptr);
    }
    const std::string app = versionIn("app");
    EXPECT_EQ(app, launchFails ? "1.0" : "2.0") << state();
    const std::string resultRel = rel_ + "/.tamberlock-update-" + p.transaction_id + ".result.json";
    ASSERT_TRUE(box_.exists(resultRel)) << state();
    EXPECT_EQ(box_.readFile(resultRel).find("\"success\": true") != std::string::npos, app == "2.0");
    EXPECT_EQ(registeredVersion(), app);
    if (app == "2.0") {
      const Result<UpdateRecipe> recipe = parseRecipe(box_.readFile(rel_ + "/self-extraction/h2.recipe.json"));
      ASSERT_TRUE(recipe.ok());
      EXPECT_TRUE(verifyStagedTree(*recipe, fs::openDir(root_ + "\\app").take()).ok());
    }
    process::setOwnExecutablePathForTesting("");
    if (!killed) break;
    ++kills;
  }
  EXPECT_GE(kills, 2);
}

INSTANTIATE_TEST_SUITE_P(UpdateTransaction, KilledHelper,
                         testing::Combine(testing::Bool(), testing::Bool(), testing::Range(0, kKillShards)));

}  // namespace
}  // namespace tl
