// Feeds arbitrary bytes to the tar reader: it must end with a result or a
// named error, never crash, hang or read out of bounds. What it accepts must
// describe the stream: the spans lay out the consumed bytes again (literals
// as read, file spans at their entries' offsets with their digests), and the
// written recipe reads back.
//
// The first input byte chooses the mode: bit 0 repairs the checksum of every
// non-zero 512-byte block (so inputs get past the header check and reach the
// deeper rules), bit 1 passes the input's length as the expected size, bit 2
// unpacks into a scratch folder. Unpacking must write nothing beside the
// destination and create no link that leads out of the root folder, and an
// accepted archive must rebuild from its tree and verify against it.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "archive/archive_rebuild.h"
#include "archive/staged_tree.h"
#include "archive/tar_reader.h"
#include "common/sha256.h"
#include "scratch_folder.h"

namespace {

namespace stdfs = std::filesystem;

void repairChecksums(std::string& tar) {
  for (std::size_t at = 0; at + 512 <= tar.size(); at += 512) {
    std::uint32_t sum = 0;
    bool zero = true;
    for (std::size_t i = 0; i < 512; ++i) {
      const auto b = static_cast<unsigned char>(tar[at + i]);
      zero = zero && b == 0;
      sum += (i >= 148 && i < 156) ? 0x20u : b;
    }
    if (zero) continue;
    for (int i = 5; i >= 0; --i) {
      tar[at + 148 + static_cast<std::size_t>(i)] = static_cast<char>('0' + (sum & 7));
      sum >>= 3;
    }
    tar[at + 154] = '\0';
    tar[at + 155] = ' ';
  }
}

void checkSpans(const tl::UpdateRecipe& recipe, const std::string& tar) {
  if (recipe.archive_size > tar.size()) __builtin_trap();
  const std::string_view stream(tar.data(), static_cast<std::size_t>(recipe.archive_size));
  if (tl::sha256Hex(stream) != recipe.archive_sha256) __builtin_trap();

  std::unordered_map<std::string_view, const tl::RecipeEntry*> entries;
  for (const tl::RecipeEntry& e : recipe.entries) entries.emplace(e.path, &e);
  std::uint64_t at = 0;
  for (const tl::RecipeSpan& span : recipe.spans) {
    const std::string_view bytes = stream.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(span.size));
    if (bytes.size() != span.size) __builtin_trap();
    if (span.literal_hex) {
      if (*span.literal_hex != tl::toLowerHex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())) {
        __builtin_trap();
      }
    } else {
      const tl::RecipeEntry* e = entries.at(*span.path);
      if (e->tar_offset != at || !e->sha256 || *e->sha256 != tl::sha256Hex(bytes)) __builtin_trap();
    }
    at += span.size;
  }
  if (at != recipe.archive_size) __builtin_trap();

  tl::StringWriter written;
  if (!tl::stringifyRecipe(recipe, written).ok() || !tl::parseRecipe(written.str()).ok()) __builtin_trap();
}

// The scratch folder holds only "dest".
const stdfs::path& scratch() { return tl::fuzz::scratchFolder("tl-tar-fuzz"); }

void unpack(const std::string& tar, std::optional<std::uint64_t> expected) {
  const stdfs::path dest = scratch() / "dest";
  stdfs::remove_all(dest);
  stdfs::create_directory(dest);
  auto folder = tl::fs::openDir(tl::fs::windowsPath(dest.string()));
  if (!folder.ok()) __builtin_trap();
  tl::ArchiveDestination destination(*folder);
  tl::MemoryPullReader reader(tar);
  auto result = tl::extractTarArchive(reader, expected, &destination);

  for (const auto& e : stdfs::directory_iterator(scratch())) {
    if (e.path().filename() != "dest") __builtin_trap();
  }
  if (!result.ok()) return;
  checkSpans(result->recipe, tar);

  // Every link resolves inside the root folder, or to nothing at all.
  const stdfs::path root = stdfs::canonical(dest / result->recipe.root);
  for (auto it = stdfs::recursive_directory_iterator(root); it != stdfs::recursive_directory_iterator(); ++it) {
    if (!it->is_symlink()) continue;
    std::error_code ec;
    const stdfs::path resolved = stdfs::canonical(it->path(), ec);
    if (ec) continue;
    const std::string r = resolved.string();
    if (r != root.string() && r.rfind(root.string() + "/", 0) != 0) __builtin_trap();
  }

  tl::CountingWriter rebuilt;
  if (!tl::rebuildArchiveFromRecipe(result->recipe, destination.root, rebuilt).ok()) __builtin_trap();
  if (rebuilt.count() != result->recipe.archive_size) __builtin_trap();
  if (!tl::verifyStagedTree(result->recipe, destination.root).ok()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  std::string tar(reinterpret_cast<const char*>(data + 1), size - 1);
  if (mode & 1) repairChecksums(tar);
  std::optional<std::uint64_t> expected;
  if (mode & 2) expected = tar.size();
  if (mode & 4) {
    unpack(tar, expected);
    return 0;
  }
  tl::MemoryPullReader reader(tar);
  auto result = tl::extractTarArchive(reader, expected, nullptr);
  if (result.ok()) checkSpans(result->recipe, tar);
  return 0;
}
