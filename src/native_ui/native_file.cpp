#include "native_ui/native_file.h"

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "common/atomic_write.h"
#include "common/paths.h"
#include "platform/fs.h"
#include "platform/process.h"

namespace tl {

namespace {

std::atomic<std::uint64_t> tempCounter{0};

// Each call gets its own name, so concurrent replacements never share one.
std::string temporaryName(std::string_view destination) {
  return copyTemporaryName(destination, process::currentProcessId(), tempCounter.fetch_add(1) + 1);
}

bool isFolderOrLink(fs::FileKind kind) {
  return kind == fs::FileKind::Directory || kind == fs::FileKind::SymLink;
}

// Copy, flush, move, flush the folder: the replacement survives a crash
// either whole or not at all.
Status copyAndMove(std::string_view source, std::string_view temporary, std::string_view destination) {
  TRY(fs::copyFile(source, temporary, true));
  fs::File copy = TRY(fs::openFileRead(temporary));
  TRY(syncAndRename(copy, [&] { return fs::rename(temporary, destination); }));
  const std::optional<std::string> folder = parentPath(destination);
  if (folder) {
    const fs::Dir dir = TRY(fs::openDir(*folder));
    TRY(fs::syncDir(dir));
  }
  return success();
}

}  // namespace

bool replaceFileAtomically(std::string_view source, std::string_view destination) {
  // Like the system call it stands for, it fails rather than throw.
  try {
    if (source.empty() || destination.empty()) return false;
    const std::string temporary = temporaryName(destination);

    // A source that is not a regular file (a pipe, a device) could block the
    // copy or copy nothing sensible.
    const Result<fs::FileStat> src = fs::statNoFollow(source);
    if (!src || src->kind != fs::FileKind::File) return false;
    const Result<fs::FileStat> dst = fs::statNoFollow(destination);
    if (dst ? isFolderOrLink(dst->kind) : dst.error() != Error::FileNotFound) return false;

    if (copyAndMove(source, temporary, destination)) return true;
    (void)fs::deleteFile(temporary);  // a missing copy counts as removed
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool readFileExact(std::string_view path, void* buffer, std::size_t length) {
  // Like the system call it stands for, it fails rather than throw.
  try {
    if (path.empty() || length > kReadFileExactMax || (buffer == nullptr && length != 0)) return false;
    const Result<fs::FileStat> st = fs::statNoFollow(path);
    if (!st || isFolderOrLink(st->kind)) return false;

    Result<fs::File> file = fs::openFileRead(path);
    if (!file) return false;
    // Checked again on the handle: the name may have been swapped for a link
    // or a pipe since.
    const Result<fs::FileStat> opened = fs::statFile(*file);
    if (!opened || opened->kind != fs::FileKind::File) return false;

    auto* out = static_cast<char*>(buffer);
    std::size_t got = 0;
    while (got < length) {
      const Result<std::size_t> n = fs::read(*file, out + got, length - got);
      if (!n || *n == 0) return false;  // shorter than expected
      got += *n;
    }
    char extra;
    const Result<std::size_t> more = fs::read(*file, &extra, 1);
    return more && *more == 0;  // anything more: longer than expected
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace tl
