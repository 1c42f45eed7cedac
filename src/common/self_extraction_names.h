#pragma once
// The names of the files in an installation's self-extraction folder, built
// and recognised in one place: the installer writes there, the preparation
// caches and downloads there, and the application side cleans up after both.
// Names are compared byte for byte. (The temporaries that an atomic write
// leaves when it is killed, <name>.tmp-<16 hex> and the bare 16 hex of
// earlier versions, are atomic_write.h's.)
#include <cstddef>
#include <string>
#include <string_view>

namespace tl {

// An application build hash as the update road takes it: 1 to 13 of 0-9, a-z.
bool isValidBuildHash(std::string_view hash);

// hash + ".recipe.json": the recipe of an installed or prepared build.
std::string recipeFileName(std::string_view hash);
// The recipe an installer without a build hash writes.
inline constexpr std::string_view kCurrentRecipeFileName = "current.recipe.json";

// hash + ".tar": the cached archive of an installed build.
std::string cachedArchiveFileName(std::string_view hash);
// A valid build hash + ".tar"; the hash is given back through `hash`.
bool isCachedArchiveName(std::string_view name, std::string_view* hash = nullptr);

// The record of the prepared update.
inline constexpr std::string_view kPreparedUpdateFileName = ".tamberlock-prepared-update.json";
// The record, its ".previous" copy, or a copy of it ending in ".partial"
// (".tamberlock-prepared-update.json.*.partial").
bool isPreparedRecordName(std::string_view name);

// ".patch-" + transaction id + "-" + chain index + ".partial": one patch of a
// delta chain while it downloads.
std::string patchFileName(std::string_view transactionId, std::size_t index);
// Exactly ".patch-" + 32 of 0-9, a-f + "-" + a chain index (decimal, at most
// two digits, no leading zero) + ".partial".
bool isPatchFileName(std::string_view name);

// What a preparation for build `hash` downloads or leaves half-written (X 32
// lowercase hexadecimal digits): hash + ".tar.previous", hash + ".tar." + X +
// ".partial", "." + hash + "." + X + ".tar.zst" and the same + ".partial".
bool isPayloadStateName(std::string_view name, std::string_view hash);

// What a committed update leaves stale: the prepared record or any name that
// starts with it and a dot, or a name ending in ".tar", ".recipe.json",
// ".tar.previous", ".tar.zst" or ".partial".
bool isStaleUpdateStateName(std::string_view name);

}  // namespace tl
