#pragma once
// Where the TLS client finds the roots it trusts for server authentication.
#include <string>

#include "common/result.h"

namespace tl::platform {

// The bundle of trusted root certificates (PEM), named as the TLS library
// opens it: the file that SSL_CERT_FILE names, else the system's bundle.
// TlsRootsUnavailable when that file is not there.
[[nodiscard]] Result<std::string> trustedRootBundle();

}  // namespace tl::platform
