#include "common/self_extraction_names.h"

#include "common/hex.h"

namespace tl {

namespace {

constexpr std::size_t kMaxBuildHashBytes = 13;
constexpr std::size_t kIdLength = 32;
constexpr std::string_view kRecipeSuffix = ".recipe.json";
constexpr std::string_view kTarSuffix = ".tar";
constexpr std::string_view kPartialSuffix = ".partial";
constexpr std::string_view kPatchPrefix = ".patch-";
constexpr std::string_view kStaleSuffixes[] = {".tar", ".recipe.json", ".tar.previous", ".tar.zst", ".partial"};

std::string concat(std::string_view a, std::string_view b) {
  std::string out;
  out.reserve(a.size() + b.size());
  out.append(a).append(b);
  return out;
}

// Takes `prefix` off the front of `text`.
bool takePrefix(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  text.remove_prefix(prefix.size());
  return true;
}

// Takes a 32-hex id off the front of `text`.
bool takeId(std::string_view& text) {
  if (!isHexId32(text.substr(0, kIdLength))) return false;
  text.remove_prefix(kIdLength);
  return true;
}

}  // namespace

bool isValidBuildHash(std::string_view hash) {
  if (hash.empty() || hash.size() > kMaxBuildHashBytes) return false;
  for (char c : hash) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

std::string recipeFileName(std::string_view hash) { return concat(hash, kRecipeSuffix); }

std::string cachedArchiveFileName(std::string_view hash) { return concat(hash, kTarSuffix); }

bool isCachedArchiveName(std::string_view name, std::string_view* hash) {
  if (name.size() <= kTarSuffix.size() || !name.ends_with(kTarSuffix)) return false;
  const std::string_view stem = name.substr(0, name.size() - kTarSuffix.size());
  if (!isValidBuildHash(stem)) return false;
  if (hash) *hash = stem;
  return true;
}

bool isPreparedRecordName(std::string_view name) {
  if (name == kPreparedUpdateFileName) return true;
  std::string_view rest = name;
  if (!takePrefix(rest, kPreparedUpdateFileName) || !takePrefix(rest, ".")) return false;
  return rest == "previous" || name.ends_with(kPartialSuffix);
}

std::string patchFileName(std::string_view transactionId, std::size_t index) {
  return concat(concat(concat(kPatchPrefix, transactionId), concat("-", std::to_string(index))), kPartialSuffix);
}

bool isPatchFileName(std::string_view name) {
  if (!takePrefix(name, kPatchPrefix) || !name.ends_with(kPartialSuffix)) return false;
  name.remove_suffix(kPartialSuffix.size());
  if (!takeId(name) || !takePrefix(name, "-")) return false;
  const std::string_view index = name;
  if (index.empty() || index.size() > 2 || (index.size() > 1 && index[0] == '0')) return false;
  for (char c : index) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool isPayloadStateName(std::string_view name, std::string_view hash) {
  std::string_view rest = name;
  if (takePrefix(rest, hash) && takePrefix(rest, ".tar.")) {
    return rest == "previous" || (takeId(rest) && rest == kPartialSuffix);
  }
  rest = name;
  if (takePrefix(rest, ".") && takePrefix(rest, hash) && takePrefix(rest, ".") && takeId(rest)) {
    return rest == ".tar.zst" || rest == ".tar.zst.partial";
  }
  return false;
}

bool isStaleUpdateStateName(std::string_view name) {
  if (name.starts_with(kPreparedUpdateFileName)) {
    const std::string_view rest = name.substr(kPreparedUpdateFileName.size());
    if (rest.empty() || rest.starts_with('.')) return true;
  }
  for (std::string_view suffix : kStaleSuffixes) {
    if (name.ends_with(suffix)) return true;
  }
  return false;
}

}  // namespace tl
