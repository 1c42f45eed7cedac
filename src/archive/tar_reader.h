#pragma once
// The reader of application archives: an uncompressed tar stream (ustar with
// pax and GNU long-name headers, nothing else) read once, forward only. It
// builds the archive's recipe on the way and, given a destination, unpacks
// the archive there.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "archive/pull_reader.h"
#include "archive/tar_extraction.h"
#include "archive/tar_format.h"
#include "archive/update_recipe.h"
#include "common/result.h"
#include "common/sha256.h"

namespace tl {

inline constexpr std::size_t kTarPieceSize = 65536;
inline constexpr std::uint64_t kMaxTarExtensionSize = 65536;
inline constexpr std::size_t kMaxTarEntries = 100000;
inline constexpr std::uint64_t kMaxTarLiteralBytes = 64ull * 1024 * 1024;

// The running state of one read.
struct TarStreamState {
  TarStreamState(PullReader& r, std::optional<std::uint64_t> expected)
      : reader(r), expectedSize(expected), readerHashes(r.hashesDelivered()) {}

  PullReader& reader;
  std::optional<std::uint64_t> expectedSize;
  std::uint64_t consumed = 0;
  // Every byte read is consumed, so a reader that hashes what it delivers
  // gives the archive's hash; else it is taken here.
  bool readerHashes;
  Sha256 archiveSha;
  // Literal bytes not yet turned into a span, and all literal bytes so far.
  std::string pendingLiteral;
  std::uint64_t literalTotal = 0;
};

struct ExtractedArchive {
  UpdateRecipe recipe;
};

// Reads up to n bytes (fewer only at the end of the stream), counts and
// hashes them, and keeps them as literal bytes when `literal` is set.
[[nodiscard]] Result<std::size_t> readTarBlock(TarStreamState& state, void* buf, std::size_t n, bool literal);

// A header number field: octal text, or base-256 when the first byte has its
// top bit set.
[[nodiscard]] Result<std::uint64_t> parseTarNumber(std::string_view field);

// Reads the whole stream and returns its recipe. With an expected size the
// stream must be exactly that long. With a destination the archive's root
// folder is created in it (it must not exist yet) and every entry unpacked
// below it; links are made only after the recipe has been validated. A
// failure of the pull reader is ReadFailed: a reader that needs its own error
// reported keeps it and the caller asks it.
[[nodiscard]] Result<ExtractedArchive> extractTarArchive(PullReader& reader,
                                                         std::optional<std::uint64_t> expectedSize,
                                                         ArchiveDestination* destination);

}  // namespace tl
