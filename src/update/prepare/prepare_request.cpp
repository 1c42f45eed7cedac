#include "update/prepare/prepare_request.h"

#include "archive/no_follow_access.h"
#include "common/hex.h"
#include "common/json_reader.h"
#include "common/paths.h"
#include "platform/fs.h"
#include "update/download/update_url.h"
#include "update/update_names.h"
#include "update/update_paths.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {

namespace {

constexpr std::string_view kArtifactSuffix = ".tar.zst";
constexpr std::size_t kMinArtifactName = 8;

const json::Schema<PrepareUpdateRequest>& requestSchema() {
  using R = PrepareUpdateRequest;
  static const json::Schema<R> s{
      json::field<&R::schema_version, json::kRequired>("schema_version"),
      json::field<&R::transaction_id, json::kRequired>("transaction_id"),
      json::field<&R::identifier, json::kRequired>("identifier"),
      json::field<&R::channel, json::kRequired>("channel"),
      json::field<&R::version, json::kRequired>("version"),
      json::field<&R::hash, json::kRequired>("hash"),
      json::field<&R::platform, json::kRequired>("platform"),
      json::field<&R::arch, json::kRequired>("arch"),
      json::field<&R::base_url, json::kRequired>("base_url"),
      json::field<&R::base_hash, json::kRequired>("base_hash"),
      json::field<&R::tar_sha256, json::kNullable>("tar_sha256"),
      json::field<&R::tar_size, json::kNullable>("tar_size"),
      json::field<&R::channel_root, json::kRequired>("channel_root"),
      json::field<&R::artifact_file, json::kRequired>("artifact_file"),
      json::field<&R::app_bundle_path, json::kRequired>("app_bundle_path"),
  };
  return s;
}

std::string_view withoutTrailingSlashes(std::string_view url) {
  while (!url.empty() && url.back() == '/') url.remove_suffix(1);
  return url;
}

bool identityRulesHold(const PrepareUpdateRequest& r) {
  return r.schema_version == 1 && r.transaction_id.size() == 32 && isSafeFileName(r.identifier) &&
         isValidText(r.version) && isValidBuildHash(r.hash) && isValidBuildHash(r.base_hash) &&
         r.platform == "win" && r.arch == "x64" && isHexId32(r.transaction_id) && isKnownChannel(r.channel) &&
         isSafeFileName(r.artifact_file) && r.artifact_file.size() >= kMinArtifactName &&
         std::string_view(r.artifact_file).ends_with(kArtifactSuffix);
}

bool tarRulesHold(const PrepareUpdateRequest& r) {
  if (r.tar_sha256 && !isLowerHexOfLength(*r.tar_sha256, 64)) return false;
  if (r.tar_size && (*r.tar_size < kMinRequestTarSize || *r.tar_size > kMaxRequestTarSize || *r.tar_size % 512 != 0)) {
    return false;
  }
  return r.tar_sha256.has_value() == r.tar_size.has_value();
}

Status requireSamePath(std::string_view a, std::string_view b) {
  const bool same = TRY(pathsEqualIgnoreCase(a, b));
  if (!same) return Error::InvalidUpdatePath;
  return success();
}

// One of the names the installation may give its channel root: the channel,
// the application's name, or its display name (with "-<channel>" unless
// stable).
bool acceptsChannelRootName(std::string_view folder, const PrepareUpdateRequest& r, const AppVersionInfo& app) {
  if (folder == r.channel) return true;
  if (app.name && isSafeFileName(*app.name) && *app.name == folder) return true;
  if (app.displayName) {
    const std::string candidate = r.channel == "stable" ? *app.displayName : joinWithDash(*app.displayName, r.channel);
    if (isSafeFileName(candidate) && candidate == folder) return true;
  }
  return false;
}

// The request file, reached again from the update home down without
// following links, so the checks above were made on the file that is there.
Status openRequestFromHome(const ValidatedPrepareRequest& v, std::string_view requestName) {
  const fs::Dir home = TRY(fs::openDir(v.update_home));
  const fs::Dir channelRoot = TRY(fs::openDirAt(home, lastComponent(v.request.channel_root)));
  const fs::File request = TRY(openArchiveFile(channelRoot, requestName));
  return success();
}

}  // namespace

Result<PrepareUpdateRequest> parsePrepareRequest(std::string_view text) {
  TRY(json::checkSize(text, kPrepareRequestCap, Error::UpdateDocumentTooLarge));
  PrepareUpdateRequest r;
  TRY(json::readRecord(text, requestSchema(), r, {json::Mode::strict, json::Numbers::integers, json::Strings::text}));
  return r;
}

Status checkPrepareRequestValues(const PrepareUpdateRequest& r) {
  if (!identityRulesHold(r)) return Error::InvalidPrepareRequest;
  const std::string prefix = artifactPrefix(r.channel, r.platform, r.arch);
  if (!std::string_view(r.artifact_file).starts_with(prefix)) return Error::InvalidPrepareRequest;
  if (!tarRulesHold(r)) return Error::InvalidPrepareRequest;
  const UpdateUrl url = TRY(parseUpdateUrl(r.base_url));
  if (url.query) return Error::InvalidUpdateUrl;
  return success();
}

Result<ValidatedPrepareRequest> readPrepareRequest(std::string_view requestPath) {
  TRY(validatePreparePath(requestPath));
  const std::optional<std::string> requestFolder = parentPath(requestPath);
  if (!requestFolder) return Error::InvalidUpdatePath;
  const std::string_view requestName = lastComponent(requestPath);
  ValidatedPrepareRequest v;
  {
    const fs::Dir folder = TRY(fs::openDir(*requestFolder));
    const std::string text = TRY(readArchiveFile(folder, requestName, kPrepareRequestCap));
    v.request = TRY(parsePrepareRequest(text));
  }
  const PrepareUpdateRequest& r = v.request;
  TRY(checkPrepareRequestValues(r));

  TRY(validatePreparePath(requestPath));
  TRY(validatePreparePath(r.channel_root));
  TRY(validatePreparePath(r.app_bundle_path));
  v.update_home = TRY(updateHomeDir(r.identifier));
  const std::optional<std::string> channelParent = parentPath(r.channel_root);
  if (!channelParent) return Error::InvalidUpdatePath;
  TRY(requireSamePath(*channelParent, v.update_home));
  TRY(requireSamePath(*requestFolder, r.channel_root));
  if (requestName != prepareRequestFileName(r.transaction_id)) return Error::InvalidUpdatePath;
  TRY(openRequestFromHome(v, requestName));

  {
    const fs::Dir bundle = TRY(fs::openDir(r.app_bundle_path, /*noFollowLast=*/true));
    v.installed = TRY(readAppVersion(bundle));
  }
  const AppVersionInfo& app = v.installed;
  if (app.identifier != r.identifier || app.channel != r.channel || app.hash != r.base_hash || !app.baseUrl ||
      withoutTrailingSlashes(*app.baseUrl) != withoutTrailingSlashes(r.base_url)) {
    return Error::InvalidUpdateIdentity;
  }
  if (!acceptsChannelRootName(lastComponent(r.channel_root), r, app)) return Error::InvalidUpdatePath;
  TRY(requireSamePath(joinPath({r.channel_root, "app"}), r.app_bundle_path));
  v.bundle_name = std::string(lastComponent(r.app_bundle_path));
  return v;
}

}  // namespace tl
