#include "update/apply/staged_payload.h"

#include <optional>
#include <vector>

#include "archive/app_version.h"
#include "archive/no_follow_access.h"
#include "archive/staged_tree.h"
#include "archive/update_recipe.h"
#include "common/json_reader.h"
#include "common/paths.h"
#include "common/sha256.h"
#include "platform/fs.h"
#include "update/apply/retained_archive_unpacker.h"
#include "update/apply/update_launch.h"
#include "update/update_paths.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {

namespace {

bool isMissing(Error e) { return e == Error::FileNotFound || e == Error::NotDir; }

// A stage left by an earlier run of the same transaction goes first.
Status makeFreshStage(std::string_view stage) {
  const Result<fs::FileStat> st = fs::statNoFollow(stage);
  if (st) {
    if (st->kind != fs::FileKind::Directory) return Error::InvalidUpdatePath;
    TRY(fs::deleteTree(stage));
  } else if (!isMissing(st.error())) {
    return st.error();
  }
  return fs::makeDir(stage);
}

Result<std::string> readRecipeFile(std::string_view path) {
  const Result<fs::FileStat> st = fs::statNoFollow(path);
  const std::optional<std::string> folder = parentPath(path);
  if (!st || st->kind != fs::FileKind::File || !folder) return Error::InvalidUpdatePath;
  const fs::Dir dir = TRY(fs::openDir(*folder));
  return readArchiveFile(dir, lastComponent(path), kMaxRecipeText);
}

// The recipe the plan names, by its digest.
Result<UpdateRecipe> readPlanRecipe(const UpdatePlan& plan) {
  if (!plan.recipe_path) return Error::InvalidUpdatePlan;
  const std::string text = TRY(readRecipeFile(*plan.recipe_path));
  if (!plan.recipe_sha256) return Error::InvalidUpdatePlan;
  if (sha256Hex(text) != *plan.recipe_sha256) return Error::UpdateRecipeHashMismatch;
  return parseRecipe(text);
}

Status checkAgainstRecipe(const UpdatePlan& plan, const fs::Dir& stage, std::string_view rootName) {
  const UpdateRecipe recipe = TRY(readPlanRecipe(plan));
  if (recipe.root != rootName) return Error::InvalidUpdateIdentity;
  const fs::Dir root = TRY(fs::openDirAt(stage, rootName));
  return verifyStagedTree(recipe, root);
}

struct StagedIdentity {
  std::string hash;
  std::string identifier;
  std::string version;
  std::string displayName;
  std::string channel;
};

const json::Schema<StagedIdentity>& stagedIdentitySchema() {
  using S = StagedIdentity;
  static const json::Schema<S> s{
      json::field<&S::hash, json::kRequired>("hash"),
      json::field<&S::identifier, json::kRequired>("identifier"),
      json::field<&S::version, json::kRequired>("version"),
      json::field<&S::displayName, json::kRequired>("displayName"),
      json::field<&S::channel, json::kRequired>("channel"),
  };
  return s;
}

Result<StagedIdentity> readStagedIdentity(std::string_view stagedRoot) {
  const fs::Dir root = TRY(fs::openDir(stagedRoot, true));
  const std::string text = TRY(readArchiveFile(root, "Resources/version.json", kMaxVersionFileBytes));
  StagedIdentity v;
  TRY(json::readRecord(text, stagedIdentitySchema(), v,
                       {json::Mode::lenient, json::Numbers::integers, json::Strings::text}));
  return v;
}

bool namesPlanBuild(const StagedIdentity& v, const UpdatePlan& plan) {
  return v.identifier == plan.identifier && v.channel == plan.channel && v.version == plan.version &&
         v.hash == plan.hash;
}

}  // namespace

Result<std::string> stagePayload(const UpdatePlan& plan, std::string_view stage) {
  if (plan.schema_version == 1) {
    TRY(makeFreshStage(stage));
    const fs::Dir made = TRY(fs::openDir(stage, true));
    TRY(unpackRetainedArchive(plan.retained_tar_path, made));
  }
  const fs::Dir dir = TRY(fs::openDir(stage, true));
  const std::vector<fs::DirEntry> entries = TRY(fs::listDir(dir));
  if (entries.size() != 1 || entries[0].kind != fs::FileKind::Directory) return Error::InvalidUpdateArchive;
  const std::string& rootName = entries[0].name;
  if (plan.schema_version == 2) TRY(checkAgainstRecipe(plan, dir, rootName));
  return joinPath({stage, rootName});
}

Result<std::string> validateStagedPayload(const UpdatePlan& plan, std::string_view stage,
                                          std::string_view stagedRoot) {
  TRY(requireDirectory(stagedRoot));
  TRY(requirePathWithin(stage, stagedRoot, PathKind::directory));
  const std::string resources = joinPath({stagedRoot, "Resources"});
  const std::string versionFile = joinPath({resources, "version.json"});
  TRY(requirePathWithin(stagedRoot, resources, PathKind::directory));
  TRY(requirePathWithin(resources, versionFile, PathKind::regularFile));

  StagedIdentity v = TRY(readStagedIdentity(stagedRoot));
  if (!namesPlanBuild(v, plan) || !isValidAppName(v.displayName)) return Error::InvalidUpdateIdentity;

  const std::string bin = joinPath({stagedRoot, "bin"});
  TRY(requirePathWithin(stagedRoot, bin, PathKind::directory));
  TRY(requirePathWithin(bin, launcherPath(stagedRoot), PathKind::regularFile));
  TRY(requirePathWithin(resources, joinPath({resources, "uninstall"}), PathKind::regularFile));
  return std::move(v.displayName);
}

Result<std::string> validateAppliedPayload(const UpdatePlan& plan, std::string_view appFolder) {
  const std::optional<std::string> parent = parentPath(appFolder);
  if (!parent) return Error::InvalidUpdatePath;
  std::string displayName = TRY(validateStagedPayload(plan, *parent, appFolder));
  if (plan.schema_version == 2) {
    const UpdateRecipe recipe = TRY(readPlanRecipe(plan));
    const fs::Dir root = TRY(fs::openDir(appFolder, true));
    TRY(verifyStagedTree(recipe, root));
  }
  return displayName;
}

bool holdsPlanBuild(const UpdatePlan& plan, std::string_view appFolder) {
  const Result<StagedIdentity> v = readStagedIdentity(appFolder);
  return v && namesPlanBuild(*v, plan);
}

}  // namespace tl
