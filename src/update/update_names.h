#pragma once
// The name rules and name builders that preparing and applying an update
// share: text and file-name checks on what outside callers write, and the
// fixed names of the request, plan and result files and of the prepared
// folder. Build hashes and the names in self-extraction come with
// self_extraction_names.h.
#include <cstddef>
#include <string>
#include <string_view>

#include "common/result.h"
#include "common/self_extraction_names.h"

namespace tl {

inline constexpr std::size_t kMaxTextBytes = 256;

// 1 to 256 bytes of valid UTF-8 without control bytes or DEL.
bool isValidText(std::string_view text);
// A single archive-path component with no Windows-reserved character, no
// trailing space or dot, and no device stem (con, prn, aux, nul, com1-9,
// lpt1-9, letters folded).
bool isSafeFileName(std::string_view name);

// ".tamberlock-prepare-" + id + ".json"
std::string prepareRequestFileName(std::string_view transactionId);
// channel + "-" + platform + "-" + arch + "-"
std::string artifactPrefix(std::string_view channel, std::string_view platform, std::string_view arch);
// a + "-" + b
std::string joinWithDash(std::string_view a, std::string_view b);
// a + ".prepared-" + b: the bundle folder name and a build hash.
std::string preparedDirName(std::string_view bundle, std::string_view hash);
// Whether `name` is exactly bundle + ".prepared-" + a valid build hash, the
// bundle matched byte for byte; the hash is given back through `hash`.
bool isPreparedDirName(std::string_view name, std::string_view bundle, std::string_view* hash = nullptr);
// a + ".prepare-" + b: the bundle folder name and a transaction id, the
// stage folder of one preparation.
std::string stageDirName(std::string_view bundle, std::string_view transactionId);
std::string concatStrings(std::string_view a, std::string_view b);
// appFolder + ".previous": where the installed version waits during a swap.
std::string previousPath(std::string_view appFolder);

// ".tamberlock-update-" + id + ".json" and + ".result.json"; an id that is
// not 32 lowercase hexadecimal digits is InvalidUpdatePlan.
[[nodiscard]] Result<std::string> transactionFileName(std::string_view transactionId);
[[nodiscard]] Result<std::string> transactionResultFileName(std::string_view transactionId);

}  // namespace tl
