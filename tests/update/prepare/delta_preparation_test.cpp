// The delta road end to end in-process: version 1 installed by the installer
// itself, patches served over loopback HTTP, and the chain's outcomes in one
// table. A successful road must leave in the stage exactly what the
// installer would unpack from the target archive, with the same recipe.
#include "update/prepare/delta_preparation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/pull_reader.h"
#include "common/self_extraction_names.h"
#include "common/sha256.h"
#include "installer/app_installation.h"
#include "installer/installer_archive_unpacking.h"
#include "platform/env.h"
#include "platform/io_context.h"
#include "support/patch_maker.h"
#include "update/http_test_server.h"
#include "update/prepare/prepare_driver.h"
#include "update/prepare/prepare_fixture.h"
#include "update/prepare/update_recipe_file.h"

namespace tl {
namespace {

using test::jsonText;

class DeltaPreparation;

struct ChainCase {
  std::string name;
  std::vector<std::pair<int, int>> patches;  // served: from version -> to version
  int target = 2;
  std::optional<Error> expected;  // nullopt: the target is staged
  std::function<void(DeltaPreparation&)> setup;
  bool throughDriver = false;  // the whole preparation, not the delta road alone
};
void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }

// What a served version may get wrong about itself.
struct Flaws {
  std::string identifier = test::kAppId;
  std::string channel = "stable";
  bool launcher = true;
};

class DeltaPreparation : public testing::TestWithParam<ChainCase> {
 public:
  static void SetUpTestSuite() { server_ = new test::HttpTestServer(TL_SOURCE_DIR "/tests/update/http_test_server.py"); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  // Version k: build h<k>, version text "<k>", a data file that changes a
  // little from one version to the next, and a file of its own.
  std::string versionTar(int k, const Flaws& flaws = {}) const {
    std::string data(48 * 1024, '\0');
    std::uint32_t x = 12345;
    for (char& c : data) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
    for (int i = 0; i < 8; ++i) data[(k * 977 + i * 4099) % data.size()] ^= static_cast<char>(k);
    const std::string root = "DemoApp";
    test::TarBuilder tar;
    tar.dir(root).dir(root + "/bin");
    if (flaws.launcher) tar.file(root + "/bin/launcher.exe", "launcher", 0755);
    return tar.dir(root + "/Resources")
        .file(root + "/Resources/uninstall", "manager bytes")
        .file(root + "/Resources/version.json",
              "{\"identifier\":\"" + flaws.identifier + "\",\"channel\":\"" + flaws.channel + "\",\"version\":\"" +
                  std::to_string(k) + "\",\"hash\":\"h" + std::to_string(k) + "\",\"baseUrl\":\"" + baseUrl() +
                  "/\"}")
        .file(root + "/Resources/data.bin", data)
        .file(root + "/Resources/marker.txt", "marker-content-" + std::to_string(k))
        .end()
        .bytes();
  }
  static std::string baseUrl() { return "http://127.0.0.1:" + server_->port("http") + "/files"; }
  static std::string patchName(int from) { return "stable-win-x64-h" + std::to_string(from) + ".patch"; }
  void serve(const std::string& name, const std::string& bytes) const {
    std::ofstream(server_->filesFolder() + "/" + name, std::ios::binary) << bytes;
  }
  // A patch that copies the whole new archive from its extra block.
  std::string allNewPatch(int to, const test::FrameSpec& shape) const {
    const std::string tar = versionTar(to);
    return test::patchFile(test::zstdFrame(test::controlBytes({{0, tar.size(), 0}}), shape), test::zstdFrame("", shape),
                           test::zstdFrame(tar, shape), tar.size());
  }

  std::string channelRel(std::string_view rel = "") const { return sb_.channelRel(rel); }

  void SetUp() override {
    std::filesystem::remove_all(server_->filesFolder());
    std::filesystem::create_directories(server_->filesFolder());
    ProgressReporter reporter;
    testing::internal::CaptureStderr();
    const Status installed = extractAndInstallApp(InstallerArchiveSource::appended(test::zstdCompress(versionTar(1))),
                                                  test::demoMetadata("h1"), sb_.selfExtractionDir(), sb_.appDir(),
                                                  reporter);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(installed.ok()) << err;
    baseRecipe_ = sb_.box.readFile(channelRel("self-extraction/h1.recipe.json"));
    members_ = test::requestMembers(sb_.win(""), baseUrl(), "h1", "h" + std::to_string(GetParam().target),
                                    std::to_string(GetParam().target));
  }

  Result<StagedUpdate> prepare() {
    sb_.box.writeFile(channelRel(test::requestFileName()), test::requestText(members_));
    const ValidatedPrepareRequest request = TRY(readPrepareRequest(sb_.win(test::requestFileName())));
    state_.request = request;
    state_.channelRoot = TRY(fs::openDir(sb_.win("")));
    state_.selfExtraction = TRY(fs::openDirAt(state_.channelRoot, "self-extraction"));
    state_.bundleParent = TRY(fs::openDir(sb_.win("")));
    state_.stageName = std::string("app.prepare-") + test::kTransactionId;
    return buildUpdatedArchive(state_);
  }

  // The preparation is canceled once the patch of its first step is deleted,
  // under an I/O context of the test's own.
  void cancelAfterFirstStep() {
    ownIo_ = std::make_unique<IoContext>();
    scopedIo_.emplace(*ownIo_);
    io().setFaultHook([](FsOp op, std::string_view name) {
      if (op == FsOp::DeleteFile && name.find(".patch-") != std::string_view::npos) io().cancel();
      return success();
    });
  }

  static test::HttpTestServer* server_;
  std::unique_ptr<IoContext> ownIo_;
  std::optional<ScopedIo> scopedIo_;
  test::InstallerSandbox sb_;
  std::map<std::string, std::string> members_;
  PreparationState state_;
  std::string baseRecipe_;  // as the installer wrote it
};

test::HttpTestServer* DeltaPreparation::server_ = nullptr;

TEST_P(DeltaPreparation, ChainOutcome) {
  const ChainCase& c = GetParam();
  for (const auto& [from, to] : c.patches) serve(patchName(from), test::makePatch(versionTar(from), versionTar(to)));
  if (c.setup) c.setup(*this);
  const auto installedBefore = test::snapshot(sb_.host("app"));

  if (c.throughDriver) {
    sb_.box.writeFile(channelRel(test::requestFileName()), test::requestText(members_));
    testing::internal::CaptureStderr();
    const Status run = runPrepareUpdate(sb_.win(test::requestFileName()));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errorName(run.ok() ? Error::Unexpected : run.error()), errorName(c.expected.value()));
    EXPECT_EQ(err.find("Delta preparation unavailable"), std::string::npos) << err;
    EXPECT_EQ(test::snapshot(sb_.host("app")), installedBefore);
    return;
  }
  Result<StagedUpdate> got = prepare();

  EXPECT_EQ(test::snapshot(sb_.host("app")), installedBefore);
  for (const std::string& name : test::treeOf(sb_.host("self-extraction"))) {
    EXPECT_EQ(name.find(".patch-"), std::string::npos) << name;
  }
  // A stage is there exactly when the road says it made one (a failure
  // before the first patch, such as a tampered installed file, makes none).
  EXPECT_EQ(sb_.box.exists(channelRel(state_.stageName)), state_.stageOwned);
  if (c.expected) {
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(errorName(got.error()), errorName(*c.expected));
    return;
  }
  ASSERT_TRUE(got.ok()) << errorName(got.error());
  EXPECT_TRUE(state_.stageOwned);
  // The base recipe is kept as a file, the same the installer wrote, and no
  // cached archive is left.
  EXPECT_TRUE(sb_.box.readFile(channelRel("self-extraction/h1.recipe.json")) == baseRecipe_);
  EXPECT_FALSE(sb_.box.exists(channelRel("self-extraction/h1.tar")));
  EXPECT_EQ(got->version.hash, "h" + std::to_string(c.target));

  // What the installer makes of the same archive: the tree and the recipe.
  test::TempDir installer;
  const std::string archive = test::zstdCompress(versionTar(c.target));
  MemoryPullReader compressed(archive);
  const std::string hash = "h" + std::to_string(c.target);
  const Status unpacked = unpackInstallerArchive(compressed, installer.win(""), hash);
  ASSERT_TRUE(unpacked.ok()) << errorName(unpacked.error());
  const auto staged = test::snapshot(sb_.host(std::string("app.prepare-") + test::kTransactionId + "/DemoApp"));
  const auto expected = test::snapshot(installer.host("DemoApp"));
  EXPECT_EQ(staged.size(), expected.size());
  for (const auto& [path, bytes] : expected) EXPECT_TRUE(staged.count(path) && staged.at(path) == bytes) << path;
  ASSERT_TRUE(writeRecipeFileAtomically(state_.selfExtraction, recipeFileName(hash), got->recipe).ok());
  EXPECT_TRUE(sb_.box.readFile(channelRel("self-extraction/" + recipeFileName(hash))) ==
              test::IntegrationSandbox::readHost(installer.host(recipeFileName(hash))));
}

std::vector<std::pair<int, int>> chain(int from, int to) {
  std::vector<std::pair<int, int>> out;
  for (int k = from; k < to; ++k) out.emplace_back(k, k + 1);
  return out;
}

// The served patch of version 1 replaced by one made by hand.
std::function<void(DeltaPreparation&)> hostile(std::function<std::string(const DeltaPreparation&)> make) {
  return [make](DeltaPreparation& t) { t.serve(DeltaPreparation::patchName(1), make(t)); };
}
std::function<void(DeltaPreparation&)> member(std::string key, std::string value) {
  return [key, value](DeltaPreparation& t) { t.members_[key] = value; };
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeltaPreparation,
    testing::Values(
        ChainCase{"OnePatch", chain(1, 2), 2},
        ChainCase{"ChainOfThree", chain(1, 4), 4},
        ChainCase{"ChainOf64", chain(1, 65), 65},
        ChainCase{"ChainOf65", chain(1, 66), 66, Error::UpdatePatchChainTooLong},
        ChainCase{"Cycle", {{1, 2}, {2, 1}}, 3, Error::UpdatePatchCycle},
        ChainCase{"MissingPatch", {}, 2, Error::UpdateArtifactNotFound},
        ChainCase{"NotAPatch", {}, 2, Error::CorruptPatch, hostile([](auto&) { return std::string(64, 'x'); })},
        ChainCase{"Dictionary", {}, 2, Error::UnsupportedPatchDictionary,
                  hostile([](const DeltaPreparation& t) {
                    return t.allNewPatch(2, {.blocks = test::FrameBlocks::Raw, .dictionaryId = 7});
                  })},
        ChainCase{"WindowTooLarge", {}, 2, Error::PatchWindowTooLarge,
                  hostile([](const DeltaPreparation& t) {
                    return t.allNewPatch(2, {.blocks = test::FrameBlocks::Raw, .windowLog = 24});
                  })},
        ChainCase{"ChecksumMismatch", {}, 2, Error::PatchChecksumMismatch,
                  hostile([](const DeltaPreparation& t) {
                    std::string p = t.allNewPatch(2, {.blocks = test::FrameBlocks::Raw});
                    p[p.find("marker-content-2")] ^= 1;
                    return p;
                  })},
        ChainCase{"ShortOfItsSize", {}, 2, Error::CorruptPatch,
                  hostile([](const DeltaPreparation& t) {
                    std::string p = t.allNewPatch(2, {});
                    const std::string longer = test::signMagnitudeWord(t.versionTar(2).size() + 512);
                    return p.replace(24, 8, longer);
                  })},
        ChainCase{"NewSizeTooLarge", {}, 2, Error::UpdateArchiveTooLarge,
                  hostile([](const DeltaPreparation& t) {
                    std::string p = t.allNewPatch(2, {});
                    return p.replace(24, 8, test::signMagnitudeWord((16ll << 30) + 512));
                  })},
        // The staged application itself: its identity and its launcher.
        ChainCase{"StagedForAnotherApplication", {}, 2, Error::InvalidUpdateIdentity,
                  hostile([](const DeltaPreparation& t) {
                    return test::makePatch(t.versionTar(1), t.versionTar(2, {.identifier = "com.example.other"}));
                  })},
        ChainCase{"StagedForAnotherChannel", {}, 2, Error::InvalidUpdateIdentity,
                  hostile([](const DeltaPreparation& t) {
                    return test::makePatch(t.versionTar(1), t.versionTar(2, {.channel = "beta"}));
                  })},
        ChainCase{"StagedWithoutLauncher", {}, 2, Error::FileNotFound,
                  hostile([](const DeltaPreparation& t) {
                    return test::makePatch(t.versionTar(1), t.versionTar(2, {.launcher = false}));
                  })},
        // A patch longer than the archive it makes stops at tar_size, even
        // when its answer has no length.
        ChainCase{"PatchBeyondTarSizeWithoutLength", {}, 2, Error::UpdateDownloadTooLarge,
                  [](DeltaPreparation& t) {
                    t.members_["tar_size"] = std::to_string(t.versionTar(2).size());
                    t.members_["tar_sha256"] = jsonText(sha256Hex(t.versionTar(2)));
                    t.serve(DeltaPreparation::patchName(1), t.allNewPatch(2, {.blocks = test::FrameBlocks::Raw}));
                    t.serve(DeltaPreparation::patchName(1) + ".unsized", "");
                  }},
        ChainCase{"TamperedInstalledByte", chain(1, 2), 2, Error::FileHashMismatch,
                  [](DeltaPreparation& t) {
                    std::string data = t.sb_.box.readFile(t.channelRel("app/Resources/data.bin"));
                    data[100] ^= 1;
                    t.sb_.box.writeFile(t.channelRel("app/Resources/data.bin"), data);
                  }},
        ChainCase{"OtherVersionText", chain(1, 2), 2, Error::InvalidUpdateIdentity,
                  member("version", jsonText("2.0"))},
        ChainCase{"TarSizeDiffers", chain(1, 2), 2, Error::ArchiveSizeMismatch,
                  [](DeltaPreparation& t) {
                    t.members_["tar_size"] = "1024";
                    t.members_["tar_sha256"] = jsonText(sha256Hex(t.versionTar(2)));
                  }},
        ChainCase{"TarHashDiffers", chain(1, 2), 2, Error::ArchiveHashMismatch,
                  [](DeltaPreparation& t) {
                    t.members_["tar_size"] = std::to_string(t.versionTar(2).size());
                    t.members_["tar_sha256"] = jsonText(std::string(64, '0'));
                  }},
        ChainCase{"TarAsRequested", chain(1, 2), 2, std::nullopt,
                  [](DeltaPreparation& t) {
                    t.members_["tar_size"] = std::to_string(t.versionTar(2).size());
                    t.members_["tar_sha256"] = jsonText(sha256Hex(t.versionTar(2)));
                  }},
        ChainCase{"RecipeFromCachedArchive", chain(1, 2), 2, std::nullopt,
                  [](DeltaPreparation& t) {
                    std::filesystem::remove(t.sb_.host("self-extraction/h1.recipe.json"));
                    t.sb_.box.writeFile(t.channelRel("self-extraction/h1.tar"), t.versionTar(1));
                  }},
        ChainCase{"NoBaseRecipe", chain(1, 2), 2, Error::FileNotFound,
                  [](DeltaPreparation& t) { std::filesystem::remove(t.sb_.host("self-extraction/h1.recipe.json")); }},
        ChainCase{"OwnedStageReplaced", chain(1, 2), 2, std::nullopt,
                  [](DeltaPreparation& t) {
                    t.sb_.box.makeDirs(t.channelRel(std::string("app.prepare-") + test::kTransactionId + "/old"));
                    t.state_.stageOwned = true;
                  }},
        // A patch back to the installed version: without the cancel, the
        // next step would be a cycle.
        ChainCase{"CanceledBetweenSteps", {{1, 1}}, 2, Error::Canceled,
                  [](DeltaPreparation& t) { t.cancelAfterFirstStep(); }},
        ChainCase{"CanceledDoesNotFallBack", {{1, 1}}, 2, Error::Canceled,
                  [](DeltaPreparation& t) { t.cancelAfterFirstStep(); }, /*throughDriver=*/true},
        ChainCase{"OwnedStageIsAFile", chain(1, 2), 2, Error::InvalidUpdateStage,
                  [](DeltaPreparation& t) {
                    t.sb_.box.writeFile(t.channelRel(std::string("app.prepare-") + test::kTransactionId), "x");
                    t.state_.stageOwned = true;
                  }}),
    [](const testing::TestParamInfo<ChainCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tl
