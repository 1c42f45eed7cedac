#pragma once
// The file sink of a download: the body written to a file as it arrives.
#include "archive/pull_reader.h"
#include "common/result.h"
#include "platform/fs.h"

namespace tl {

inline constexpr std::size_t kDownloadFileChunk = 65536;

// Gathers the body into chunks of 65,536 bytes and writes each whole chunk
// at the file's current position; at the body's end writes the last partial
// chunk and syncs the file to disk. The body's errors and the file's come
// back as they are.
[[nodiscard]] Status pumpDownloadToFile(fs::File& file, PullReader& body);

}  // namespace tl
