#pragma once
// Unpacking the retained, uncompressed tar of a schema-1 update
// (self-extraction\<hash>.tar) into the update transaction's stage folder.
// Narrower than the full tar reader: ustar headers, regular files and
// folders; symbolic links are announced and never created; pax headers are
// read only to refuse those that rename or resize a member. Each entry is
// announced on standard error before it is created. Every file is synced
// (on the flushing threads of archive/file_flusher) before success is
// returned, since the stage is then renamed into place.
//
// Paths may use '/' or '\'; one that starts with a separator or a drive
// ("C:") or holds a ".." component is PathTraversal. Nothing is created through a link, so no
// entry can reach outside the stage.
//
// Errors: Streaming (the archive path is no regular file),
// UnexpectedEndOfStream (a partial header, or data shorter than its size),
// PathTraversal, TarUnsupportedFileType (a member type other than file,
// folder or symbolic link, or a pax record setting path, linkpath, size or
// GNU.sparse*), TarHeadersTooBig (extension data larger than the window),
// InvalidPaxRecord; the size field's parse errors (InvalidCharacter,
// Overflow) and the errors of reading, creating, writing and syncing pass
// unchanged.
// On failure the caller removes the stage.
#include <cstddef>
#include <string_view>

#include "archive/pull_reader.h"
#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// The archive is read through a buffer of this size into a window of the
// next: a header is always whole inside the window, file data is copied
// straight from it.
inline constexpr std::size_t kRetainedArchiveReadBuffer = 65536;
inline constexpr std::size_t kRetainedArchiveWindow = 4096;

// Opens the archive at its path and unpacks it into the open stage folder.
[[nodiscard]] Status unpackRetainedArchive(std::string_view archivePath, const fs::Dir& stage);
// The same from any byte source.
[[nodiscard]] Status unpackRetainedTar(PullReader& source, const fs::Dir& stage);

}  // namespace tl
