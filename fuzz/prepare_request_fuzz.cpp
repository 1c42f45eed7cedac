// The prepare request is written by a caller outside the system: reading it
// must never crash, and a request that passes the value rules must hold what
// the rest of the preparation relies on without checking again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/hex.h"
#include "update/prepare/prepare_request.h"
#include "update/update_names.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tl::Result<tl::PrepareUpdateRequest> parsed = tl::parsePrepareRequest(text);
  if (!parsed || !tl::checkPrepareRequestValues(*parsed).ok()) return 0;
  const tl::PrepareUpdateRequest& r = *parsed;
  // Names built from these land in file names and URLs.
  if (!tl::isHexId32(r.transaction_id) || !tl::isValidBuildHash(r.hash) || !tl::isValidBuildHash(r.base_hash) ||
      !tl::isSafeFileName(r.identifier) || !tl::isSafeFileName(r.artifact_file) ||
      !std::string_view(r.artifact_file).starts_with(tl::artifactPrefix(r.channel, r.platform, r.arch)) ||
      r.tar_size.has_value() != r.tar_sha256.has_value() || (r.tar_size && *r.tar_size % 512 != 0)) {
    std::abort();
  }
  return 0;
}
