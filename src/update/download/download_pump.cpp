#include "update/download/download_pump.h"

#include <memory>
#include <new>

namespace tl {

Status pumpDownloadToFile(fs::File& file, PullReader& body) {
  std::unique_ptr<char[]> chunk(new (std::nothrow) char[kDownloadFileChunk]);
  if (!chunk) return Error::OutOfMemory;
  for (;;) {
    std::size_t filled = 0;
    bool ended = false;
    while (filled < kDownloadFileChunk) {
      const std::size_t got = TRY(body.read(chunk.get() + filled, kDownloadFileChunk - filled));
      if (got == 0) {
        ended = true;
        break;
      }
      filled += got;
    }
    if (filled > 0) TRY(fs::writeAll(file, chunk.get(), filled));
    if (ended) return fs::syncFile(file);
  }
}

}  // namespace tl
