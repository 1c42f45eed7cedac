#pragma once
// Standard error as the diagnostics need it: unbuffered writes and whether
// the stream is a console that takes colour escapes.
#include <string_view>

#include "common/result.h"

namespace tl::console {

[[nodiscard]] Status writeStderr(std::string_view bytes);
bool stderrTakesColour();
// Makes standard error unbuffered and flushes every stream at exit.
void setupStandardStreams();

}  // namespace tl::console
