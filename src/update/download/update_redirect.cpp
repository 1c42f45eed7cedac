#include "update/download/update_redirect.h"

#include "common/ascii_case.h"
#include "update/download/uri_reference.h"

namespace tl {

namespace {

// The resolved URL is written out in a buffer of this size.
constexpr std::size_t kResolvedUrlBuffer = 24576;

}  // namespace

bool isUpdateRedirectStatus(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

Result<UpdateUrl> followUpdateRedirect(const UpdateUrl& current, const std::optional<std::string>& location) {
  if (!location) return Error::UpdateRedirectLocationMissing;
  const std::string& value = *location;
  if (value.empty() || value.size() > kMaxRedirectLocationLength || hasForbiddenUrlByte(value)) {
    return Error::InvalidUpdateRedirect;
  }
  const std::optional<UriReference> ref = parseUriReference(value);
  if (!ref) return Error::InvalidUpdateRedirect;
  UriReference base;
  base.scheme = current.scheme;
  base.authority = TRY(updateUrlAuthority(current));
  base.path = current.path;
  base.query = current.query;
  const std::string target = recomposeUri(resolveUriReference(base, *ref));
  if (target.size() > kResolvedUrlBuffer) return Error::InvalidUpdateRedirect;

  UpdateUrl next = TRY(parseUpdateUrl(target));
  if (current.scheme == "https" && next.scheme != "https") return Error::UpdateRedirectDowngrade;
  if (next.scheme == "http") {
    const std::uint16_t fromPort = current.port.value_or(80);
    const std::uint16_t toPort = next.port.value_or(80);
    if (!asciiEqualIgnoreCase(current.host, next.host) || fromPort != toPort) return Error::UnsafeUpdateRedirect;
  }
  return next;
}

}  // namespace tl
