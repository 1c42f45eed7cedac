#include "update/patch/patch_format.h"

#include <cstring>

namespace tl {

namespace {

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

}  // namespace

std::int64_t decodeSignMagnitude(const unsigned char* word) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | word[i];
  const auto magnitude = static_cast<std::int64_t>(v & ~kSignBit);
  return (v & kSignBit) ? -magnitude : magnitude;
}

Result<PatchFileHeader> readPatchFileHeader(fs::File& file, std::uint64_t fileSize) {
  if (fileSize < kPatchHeaderSize) return Error::CorruptPatch;
  unsigned char raw[kPatchHeaderSize];
  std::size_t got = 0;
  while (got < kPatchHeaderSize) {
    const std::size_t n = TRY(fs::pread(file, raw + got, kPatchHeaderSize - got, got));
    if (n == 0) return Error::CorruptPatch;
    got += n;
  }
  if (std::memcmp(raw, "TRDI", 4) != 0 || std::memcmp(raw + 4, "FF10", 4) != 0) return Error::CorruptPatch;
  const std::int64_t control = decodeSignMagnitude(raw + 8);
  const std::int64_t diff = decodeSignMagnitude(raw + 16);
  const std::int64_t newSize = decodeSignMagnitude(raw + 24);
  if (control < 0 || diff < 0 || newSize < 0) return Error::CorruptPatch;
  PatchFileHeader header{static_cast<std::uint64_t>(control), static_cast<std::uint64_t>(diff),
                         static_cast<std::uint64_t>(newSize)};
  const std::uint64_t blocks = fileSize - kPatchHeaderSize;
  if (header.controlLength > blocks || header.diffLength > blocks - header.controlLength) return Error::CorruptPatch;
  return header;
}

Result<PatchContext> openPatchFile(fs::File& file, std::uint64_t fileSize) {
  PatchContext patch;
  patch.header = TRY(readPatchFileHeader(file, fileSize));
  const std::uint64_t diffAt = kPatchHeaderSize + patch.header.controlLength;
  const std::uint64_t extraAt = diffAt + patch.header.diffLength;
  patch.control = TRY(openPatchBlock(file, kPatchHeaderSize, patch.header.controlLength));
  patch.diff = TRY(openPatchBlock(file, diffAt, patch.header.diffLength));
  patch.extra = TRY(openPatchBlock(file, extraAt, fileSize - extraAt));
  if (patch.header.newSize > kMaxPatchedArchiveSize) return Error::UpdateArchiveTooLarge;
  return patch;
}

void freePatchStreams(PatchContext& patch) {
  for (PatchBlockDecoder* block : {&patch.control, &patch.diff, &patch.extra}) {
    if (block->allocated()) block->release();
  }
}

}  // namespace tl
