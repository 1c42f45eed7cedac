#pragma once
// Reproduces an application archive byte for byte from an unpacked copy of
// it and its recipe, proving every file's digest and the archive's on the way.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "archive/update_recipe.h"
#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Files and literals stream through pieces of this size; memory stays
// bounded whatever the archive size.
inline constexpr std::size_t kArchivePieceSize = 64 * 1024;

// Writes the recipe's spans in order to out, from root (the archive's root
// folder). On failure part of the archive may already be written.
[[nodiscard]] Status rebuildArchiveFromRecipe(const UpdateRecipe& recipe, const fs::Dir& root,
                                              ByteWriter& out);

// Reads the first size bytes of an open file with positional reads of at most
// kArchivePieceSize into buffer (that large), handing each piece on. A file
// that ends early is FileSizeMismatch.
[[nodiscard]] Status readFilePieces(fs::File& file, std::uint64_t size, char* buffer,
                                    const std::function<Status(std::string_view)>& onPiece);

}  // namespace tl
