#include "update/update_names.h"

#include "archive/archive_path.h"
#include "common/hex.h"
#include "common/install_layout.h"
#include "common/plain_text.h"
#include "common/utf8.h"

namespace tl {

namespace {

Result<std::string> transactionName(std::string_view transactionId, std::string_view suffix) {
  if (!isHexId32(transactionId)) return Error::InvalidUpdatePlan;
  return concatStrings(concatStrings(kUpdateFilePrefix, transactionId), suffix);
}

}  // namespace

bool isValidText(std::string_view text) { return isPlainText(text, kMaxTextBytes) && isValidUtf8(text); }

bool isSafeFileName(std::string_view name) {
  // The archive path rules already refuse every reserved character, a
  // trailing space or dot and the device stems in each component; one
  // component is what remains to require.
  return name.find('/') == std::string_view::npos && validateArchivePath(name).ok();
}

std::string prepareRequestFileName(std::string_view transactionId) {
  return concatStrings(concatStrings(kPrepareRequestPrefix, transactionId), kUpdateFileSuffix);
}

std::string artifactPrefix(std::string_view channel, std::string_view platform, std::string_view arch) {
  return joinWithDash(joinWithDash(joinWithDash(channel, platform), arch), "");
}

std::string joinWithDash(std::string_view a, std::string_view b) {
  std::string out;
  out.reserve(a.size() + 1 + b.size());
  out.append(a).append(1, '-').append(b);
  return out;
}

std::string preparedDirName(std::string_view bundle, std::string_view hash) {
  return concatStrings(concatStrings(bundle, kPreparedDirInfix), hash);
}

bool isPreparedDirName(std::string_view name, std::string_view bundle, std::string_view* hash) {
  if (!name.starts_with(bundle) || !name.substr(bundle.size()).starts_with(kPreparedDirInfix)) return false;
  const std::string_view rest = name.substr(bundle.size() + kPreparedDirInfix.size());
  if (!isValidBuildHash(rest)) return false;
  if (hash) *hash = rest;
  return true;
}

std::string stageDirName(std::string_view bundle, std::string_view transactionId) {
  return concatStrings(concatStrings(bundle, kPrepareStageInfix), transactionId);
}

std::string concatStrings(std::string_view a, std::string_view b) {
  std::string out;
  out.reserve(a.size() + b.size());
  out.append(a).append(b);
  return out;
}

std::string previousPath(std::string_view appFolder) { return concatStrings(appFolder, kPreviousAppSuffix); }

Result<std::string> transactionFileName(std::string_view transactionId) {
  return transactionName(transactionId, kUpdateFileSuffix);
}

Result<std::string> transactionResultFileName(std::string_view transactionId) {
  return transactionName(transactionId, ".result.json");
}

}  // namespace tl
