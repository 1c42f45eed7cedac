#pragma once
// The redirect policy of update downloads. The HTTP client follows no
// redirect itself: each one comes back here, is checked, and the download
// starts over with the URL it leads to.
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "update/download/update_url.h"

namespace tl {

inline constexpr int kMaxUpdateRedirects = 5;
inline constexpr std::size_t kMaxRedirectLocationLength = 8192;

// Whether a response status is a redirect (304, 305 and 306 are not).
bool isUpdateRedirectStatus(long status);

// The URL that a redirect from `current` with the given Location value leads
// to: UpdateRedirectLocationMissing without one; InvalidUpdateRedirect for an
// empty or overlong value, a forbidden byte, or one that does not resolve
// against `current`; the errors of parseUpdateUrl for the result;
// UpdateRedirectDowngrade from https to anything else; UnsafeUpdateRedirect
// for http to another host or port.
[[nodiscard]] Result<UpdateUrl> followUpdateRedirect(const UpdateUrl& current,
                                                     const std::optional<std::string>& location);

}  // namespace tl
