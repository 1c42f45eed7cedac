#pragma once
// The request of --prepare-update: the file the installed application's
// updater writes into the channel root, read strictly and checked, value by
// value and path by path, before anything on disk is touched. Its target
// version, where to download it from, and the installed version it starts
// from.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "archive/app_version.h"
#include "common/result.h"

namespace tl {

// The most a request file may hold.
inline constexpr std::size_t kPrepareRequestCap = 65536;
// tar_size bounds (16 GiB) and its unit.
inline constexpr std::uint64_t kMinRequestTarSize = 1024;
inline constexpr std::uint64_t kMaxRequestTarSize = 17'179'869'184;

// The file's keys, as written.
struct PrepareUpdateRequest {
  std::uint32_t schema_version = 0;
  std::string transaction_id;
  std::string identifier;
  std::string channel;
  std::string version;
  std::string hash;  // the target's build hash
  std::string platform;
  std::string arch;
  std::string base_url;
  std::string base_hash;  // the installed version's build hash
  std::optional<std::string> tar_sha256;
  std::optional<std::uint64_t> tar_size;
  std::string channel_root;
  std::string artifact_file;
  std::string app_bundle_path;
};

// A request that passed every check, and what the checks derived from it.
struct ValidatedPrepareRequest {
  PrepareUpdateRequest request;
  std::string update_home;    // updateHomeDir of the identifier
  AppVersionInfo installed;   // app_bundle_path's Resources/version.json
  std::string bundle_name;    // the last component of app_bundle_path as spelled ("app", any case)
};

// The JSON text as a request: strict (UnknownField, DuplicateField,
// MissingField, a wrong JSON type UnexpectedToken, the reader's syntax
// errors), strings only as JSON strings, numbers only as integers. No value
// is checked.
[[nodiscard]] Result<PrepareUpdateRequest> parsePrepareRequest(std::string_view text);

// The value rules that need no disk, in their fixed order: identity and
// names, the artifact's prefix, tar_sha256 and tar_size (InvalidPrepareRequest),
// then base_url (InvalidUpdateUrl, also for a query; InsecureUpdateUrl).
[[nodiscard]] Status checkPrepareRequestValues(const PrepareUpdateRequest& request);

// The whole reading of --prepare-update's request, the first failure
// returned: the file (no link, at most kPrepareRequestCap bytes, else
// UpdateDocumentTooLarge) parsed and its values checked; every path the one
// this installation implies (InvalidUpdatePath, MissingUpdateHome); the
// installed version's identifier, channel, hash and baseUrl equal to the
// request's (InvalidUpdateIdentity). Nothing is created, changed or removed,
// and every handle is closed on return.
[[nodiscard]] Result<ValidatedPrepareRequest> readPrepareRequest(std::string_view requestPath);

}  // namespace tl
