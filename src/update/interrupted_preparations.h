#pragma once
// What killed or cut-off preparations leave in self-extraction besides
// their stages (interrupted_stages.h): downloaded patch files
// (.patch-<32 lowercase hexadecimal digits>-<chain index>.partial).
#include <string_view>

#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Whether `name` is exactly ".patch-" + 32 of 0-9, a-f + "-" + a chain index
// (decimal, no leading zero) + ".partial".
bool isPatchFileName(std::string_view name);

// Deletes every regular file in self-extraction named as a patch download
// (a run of another transaction that was killed mid-chain would leave it
// for good). Other kinds under such a name are left alone; a failed listing
// or delete comes back as it is.
[[nodiscard]] Status removeInterruptedPatchFiles(const fs::Dir& selfExtraction);

}  // namespace tl
