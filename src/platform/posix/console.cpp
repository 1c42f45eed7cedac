#include "platform/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace tl::console {

Status writeStderr(std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::WriteFailed;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return success();
}

bool stderrTakesColour() {
  if (!isatty(STDERR_FILENO)) return false;
  const char* term = std::getenv("TERM");
  return !(term && std::string_view(term) == "dumb");
}

void setupStandardStreams() {
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  std::atexit([] { std::fflush(nullptr); });
}

}  // namespace tl::console
