#include "update/patch/patch_source.h"

#include <cstring>

namespace tl {

Status readPatchSource(std::string_view oldArchive, std::uint64_t offset, void* dst, std::size_t n) {
  if (offset > oldArchive.size() || oldArchive.size() - offset < n) return Error::TruncatedPatchSource;
  if (n > 0) std::memcpy(dst, oldArchive.data() + offset, n);
  return success();
}

}  // namespace tl
