#pragma once
// The temporary files that a run killed while it wrote the manager copy
// (uninstall.exe) or the uninstall manifest leaves in the channel root.
// Nothing else would ever remove them.
#include <functional>
#include <string_view>

#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Told of each such file that could not be deleted.
using InterruptedWriteFailure = std::function<void(std::string_view name, Error error)>;

// Deletes every regular file of the channel root named as such a temporary
// (isInterruptedWriteName); a link, folder or other kind under the name
// stays, and so does every other name: the user's files lie beside them.
// The caller holds the installation mutex, under which every writer of these
// names writes, so no write in progress loses its temporary. A failed listing
// is passed over; a failed delete goes to onFailure when one is given, and
// the sweep goes on: a leftover never fails the run that meets it.
void removeInterruptedWrites(const fs::Dir& channelRoot, const InterruptedWriteFailure& onFailure = nullptr);

}  // namespace tl
