#include "platform/tls_roots.h"

#include <sys/stat.h>

#include <new>
#include <optional>
#include <string_view>

#include "platform/env.h"

namespace tl::platform {

namespace {

// Debian's bundle first; the others are where other distributions keep it.
constexpr std::string_view kSystemBundles[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/cert.pem",
};

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

Result<std::string> trustedRootBundle() {
  try {
    // The variable's value is a host path, as for OpenSSL itself; a named
    // bundle that is missing is not replaced by the system's.
    if (std::optional<std::string> named = env::get("SSL_CERT_FILE")) {
      if (named->empty() || !isRegularFile(*named)) return Error::TlsRootsUnavailable;
      return *named;
    }
    for (std::string_view candidate : kSystemBundles) {
      std::string path(candidate);
      if (isRegularFile(path)) return path;
    }
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
  return Error::TlsRootsUnavailable;
}

}  // namespace tl::platform
