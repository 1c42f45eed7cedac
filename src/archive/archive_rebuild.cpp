#include "archive/archive_rebuild.h"

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>

#include "archive/no_follow_access.h"
#include "common/hex.h"
#include "common/sha256.h"

namespace tl {

namespace {

// Decodes the literal in pieces of at most kArchivePieceSize bytes.
Status writeLiteral(std::string_view hex, char* buffer, Sha256& archiveDigest, ByteWriter& out) {
  if (hex.size() % 2 != 0) return Error::InvalidCharacter;
  while (!hex.empty()) {
    const std::size_t bytes = std::min(hex.size() / 2, kArchivePieceSize);
    for (std::size_t i = 0; i < bytes; ++i) {
      const int hi = hexDigitValue(hex[2 * i]);
      const int lo = hexDigitValue(hex[2 * i + 1]);
      if (hi < 0 || lo < 0) return Error::InvalidCharacter;
      buffer[i] = static_cast<char>((hi << 4) | lo);
    }
    const std::string_view piece(buffer, bytes);
    archiveDigest.update(piece);
    TRY(out.write(piece));
    hex.remove_prefix(2 * bytes);
  }
  return success();
}

using EntryMap = std::unordered_map<std::string_view, const RecipeEntry*>;

Status writeFileSpan(const RecipeSpan& span, const EntryMap& entries, const fs::Dir& root,
                     char* buffer, Sha256& archiveDigest, ByteWriter& out) {
  const std::string_view path = *span.path;
  fs::File file = TRY(openArchiveFile(root, path));
  const fs::FileStat st = TRY(fs::statFile(file));
  // Checked before any byte is written: a lengthened file fails cleanly.
  if (st.size != span.size) return Error::FileSizeMismatch;
  const auto found = entries.find(path);
  if (found == entries.end()) return Error::InvalidRecipe;
  const RecipeEntry& entry = *found->second;

  Sha256 fileDigest;
  TRY(readFilePieces(file, span.size, buffer, [&](std::string_view piece) -> Status {
    fileDigest.update(piece);
    archiveDigest.update(piece);
    return out.write(piece);
  }));
  if (!entry.sha256 || fileDigest.finishHex() != *entry.sha256) return Error::FileHashMismatch;
  return success();
}

}  // namespace

Status readFilePieces(fs::File& file, std::uint64_t size, char* buffer,
                      const std::function<Status(std::string_view)>& onPiece) {
  std::uint64_t offset = 0;
  while (offset < size) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, kArchivePieceSize));
    const std::size_t got = TRY(fs::pread(file, buffer, want, offset));
    if (got == 0) return Error::FileSizeMismatch;  // shrank while read
    TRY(onPiece(std::string_view(buffer, got)));
    offset += got;
  }
  return success();
}

Status rebuildArchiveFromRecipe(const UpdateRecipe& recipe, const fs::Dir& root, ByteWriter& out) {
  TRY(validateRecipe(recipe));
  const std::unique_ptr<char[]> buffer(new char[kArchivePieceSize]);
  EntryMap entries;
  entries.reserve(recipe.entries.size());
  for (const RecipeEntry& entry : recipe.entries) entries.emplace(entry.path, &entry);

  Sha256 archiveDigest;
  for (const RecipeSpan& span : recipe.spans) {
    if (span.literal_hex) {
      TRY(writeLiteral(*span.literal_hex, buffer.get(), archiveDigest, out));
    } else if (span.path) {
      TRY(writeFileSpan(span, entries, root, buffer.get(), archiveDigest, out));
    } else {
      return Error::InvalidRecipe;
    }
  }
  if (archiveDigest.finishHex() != recipe.archive_sha256) return Error::ArchiveHashMismatch;
  return success();
}

}  // namespace tl
