#pragma once
// The archive a delta patch starts from, rebuilt byte for byte in memory from
// an unpacked tree and its recipe: a patch reads its old archive at any
// position, so the whole of it is held, in one buffer taken from the system
// up front.
#include "archive/update_recipe.h"
#include "common/result.h"
#include "platform/fs.h"
#include "platform/memory.h"

namespace tl {

// Rebuilds the archive of `recipe` from `root` (the archive's root folder)
// into a buffer of exactly archive_size bytes. OutOfMemory when the system
// cannot commit that much now (the delta road then gives way to the full
// download instead of the process being killed later); ArchiveSizeMismatch
// when the spans add up to another length; the rebuild's own errors (every
// file and the whole archive checked against the recipe's digests).
[[nodiscard]] Result<platform::CommittedBuffer> rebuildArchiveInMemory(const UpdateRecipe& recipe,
                                                                       const fs::Dir& root);

}  // namespace tl
