#pragma once
// The window preview: the installer's progress window and final page, and
// for "all" the uninstall choice, with nothing on disk changed.
#include "common/result.h"

namespace tl {

// errorVariant: the failure page ("error") instead of the success page and
// the uninstall choice ("all").
[[nodiscard]] Status runInstallerUiPreview(bool errorVariant);

}  // namespace tl
