#include "platform/console.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/posix/fd_io.h"

namespace tl::console {

Status writeStderr(std::string_view bytes) {
  if (!platform::fdWriteAll(STDERR_FILENO, bytes.data(), bytes.size())) return Error::WriteFailed;
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
