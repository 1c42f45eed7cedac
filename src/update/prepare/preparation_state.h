#pragma once
// What one run of --prepare-update holds from the request's check to its
// end: the request, the open folders of the installation, the stage's name
// and the flag that says whether this run made the stage (and so may delete
// it). The driver owns the record; the delta and full roads work in it.
#include <string>

#include "archive/app_version.h"
#include "archive/update_recipe.h"
#include "platform/fs.h"
#include "update/prepare/prepare_request.h"

namespace tl {

struct PreparationState {
  ValidatedPrepareRequest request;
  fs::Dir channelRoot;
  fs::File lockFile;
  fs::Dir selfExtraction;
  // The parent of app_bundle_path, where the stage and the prepared folder lie.
  fs::Dir bundleParent;
  std::string stageName;  // bundle + ".prepare-" + transaction id
  std::string stagePath;
  std::string preparedName;  // bundle + ".prepared-" + hash
  std::string preparedPath;
  // Set when this run created the stage folder; cleared once the stage has
  // been deleted or moved to its prepared name. Only while it is set may
  // clean-up delete the stage.
  bool stageOwned = false;
};

// What a road that produced the new version in the stage hands to publishing.
struct StagedUpdate {
  UpdateRecipe recipe;    // of the new archive, built from the bytes as they were unpacked
  AppVersionInfo version;  // the staged application's Resources/version.json
};

}  // namespace tl
