#include "archive/no_follow_access.h"

#include <new>

#include "archive/archive_path.h"
#include "common/regular_file_at.h"

namespace tl {

Status descendNoFollow(fs::Dir& current, std::string_view component, bool create) {
  if (create) {
    const Status made = fs::makeDirAt(current, component);
    if (!made && made.error() != Error::PathAlreadyExists) return made.error();
  }
  current = TRY(fs::openDirAt(current, component));
  return success();
}

Result<fs::Dir> openArchiveParentDir(const fs::Dir& root, std::string_view path, bool create) {
  TRY(validateArchivePath(path));
  // A handle of our own, so the caller's root stays open whatever happens.
  fs::Dir current = TRY(fs::openDirAt(root, "."));
  std::string_view rest = archiveParentPath(path);
  while (!rest.empty()) {
    const auto slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    TRY(descendNoFollow(current, component, create));
  }
  return current;
}

Result<fs::File> openArchiveFile(const fs::Dir& root, std::string_view path) {
  const fs::Dir parent = TRY(openArchiveParentDir(root, path, false));
  return openRegularFileAt(parent, lastArchiveComponent(path), Error::NotRegularFile);
}

Result<std::string> readArchiveFile(const fs::Dir& root, std::string_view path, std::size_t cap) {
  fs::File file = TRY(openArchiveFile(root, path));
  const fs::FileStat st = TRY(fs::statFile(file));
  if (st.size > cap) return Error::UpdateDocumentTooLarge;

  std::string content;
  try {
    content.reserve(static_cast<std::size_t>(st.size));
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
  char buffer[4096];
  for (;;) {
    Result<std::size_t> got = fs::read(file, buffer, sizeof buffer);
    if (!got) return got.error() == Error::Canceled ? Error::Canceled : Error::ReadFailed;
    if (*got == 0) break;
    // The file may have grown since its size was taken.
    if (*got > cap - content.size()) return Error::StreamTooLong;
    try {
      content.append(buffer, *got);
    } catch (const std::bad_alloc&) {
      return Error::OutOfMemory;
    }
  }
  return content;
}

}  // namespace tl
