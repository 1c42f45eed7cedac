#include "installer/installer_archive_unpacking.h"

#include <new>

#include "archive/buffered_file_writer.h"
#include "archive/prefetching_pull_reader.h"
#include "archive/tar_reader.h"
#include "archive/update_recipe.h"
#include "archive/zstd_pull_reader.h"
#include "common/self_extraction_names.h"
#include "platform/fs.h"

namespace tl {

namespace {

bool isHashByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// An exclusive create, not an atomic replace: the folder is new, so nothing
// earlier is replaced.
Status writeNewRecipeFile(const fs::Dir& folder, std::string_view name, const UpdateRecipe& recipe) {
  fs::File file = TRY(fs::createFileAt(folder, name, true, false));
  BufferedFileWriter writer(file);
  TRY(writer.init());
  TRY(stringifyRecipe(recipe, writer));
  TRY(writer.flush());
  TRY(fs::syncFile(file));
  return success();
}

}  // namespace

bool isValidArchiveHash(std::string_view hash) {
  if (hash.empty()) return false;
  for (char c : hash) {
    if (!isHashByte(c)) return false;
  }
  return true;
}

Result<std::string> installerRecipeFileName(std::optional<std::string_view> buildHash) {
  if (!buildHash) return std::string(kCurrentRecipeFileName);
  if (!isValidArchiveHash(*buildHash)) return Error::InvalidArchiveHash;
  return recipeFileName(*buildHash);
}

Status unpackInstallerArchive(PullReader& compressed, std::string_view extractionFolder,
                              std::optional<std::string_view> buildHash) {
  try {
    const std::string recipeName = TRY(installerRecipeFileName(buildHash));
    const fs::Dir folder = TRY(fs::openDir(extractionFolder, true));

    ZstdPullReader tarStream(compressed);
    TRY(tarStream.init());
    ArchiveDestination destination(folder);
    // Decompression runs ahead on its own thread while the tar reader hashes
    // and writes.
    PrefetchingPullReader prefetched(tarStream);
    Result<ExtractedArchive> extracted = extractTarArchive(prefetched, std::nullopt, &destination);
    prefetched.stop();  // the decoder's failure may be read only once it rests
    if (!extracted) {
      // The tar reader names every failed pull ReadFailed; the decoder and
      // the file below it know what actually went wrong.
      if (extracted.error() == Error::ReadFailed && tarStream.failure()) return *tarStream.failure();
      return extracted.error();
    }
    destination.root.close();

    TRY(checkRecipeSize(extracted->recipe));
    TRY(writeNewRecipeFile(folder, recipeName, extracted->recipe));
    return success();
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
}

}  // namespace tl
