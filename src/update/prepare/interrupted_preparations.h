#pragma once
// What killed or cut-off preparations leave in self-extraction besides
// their stages (interrupted_stages.h): downloaded patch files
// (.patch-<32 lowercase hexadecimal digits>-<chain index>.partial) and the
// temporary files of atomic writes (<name>.tmp-<16 lowercase hexadecimal
// digits>, or the bare 16 digits that earlier versions wrote).
#include <string_view>

#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Deletes every regular file in self-extraction named as a patch download
// or as the temporary file of an atomic write (a run killed mid-chain or
// mid-write would leave it for good; only preparations, under their lock,
// write there). Other kinds under such a name are left alone; a failed
// listing or delete comes back as it is.
[[nodiscard]] Status removeInterruptedFiles(const fs::Dir& selfExtraction);

}  // namespace tl
