#include "archive/tar_reader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "archive/archive_path.h"
#include "archive/file_flusher.h"
#include "common/hex.h"
#include "platform/fs.h"

namespace tl {

namespace {

// Header field offsets and lengths.
constexpr std::size_t kNameOffset = 0, kNameLength = 100;
constexpr std::size_t kModeOffset = 100, kModeLength = 8;
constexpr std::size_t kSizeOffset = 124, kSizeLength = 12;
constexpr std::size_t kChecksumOffset = 148, kChecksumLength = 8;
constexpr std::size_t kTypeflagOffset = 156;
constexpr std::size_t kLinknameOffset = 157, kLinknameLength = 100;
constexpr std::size_t kMagicOffset = 257, kMagicLength = 6;
constexpr std::size_t kPrefixOffset = 345, kPrefixLength = 155;

constexpr std::uint32_t kDefaultRootMode = 0755;

// A text field: its bytes up to the first NUL.
std::string_view textField(const unsigned char* block, std::size_t offset, std::size_t length) {
  const auto* begin = reinterpret_cast<const char*>(block + offset);
  const void* nul = std::memchr(begin, 0, length);
  return {begin, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - begin) : length};
}

std::string_view rawField(const unsigned char* block, std::size_t offset, std::size_t length) {
  return {reinterpret_cast<const char*>(block + offset), length};
}

bool allZero(const unsigned char* bytes, std::size_t n) {
  return std::all_of(bytes, bytes + n, [](unsigned char b) { return b == 0; });
}

std::uint64_t fillAfter(std::uint64_t size) { return (kTarBlockSize - size % kTarBlockSize) % kTarBlockSize; }

struct Overrides {
  std::optional<std::string> path;
  std::optional<std::string> linkPath;
  std::optional<std::uint64_t> size;

  bool any() const { return path || linkPath || size; }
  void clear() {
    path.reset();
    linkPath.reset();
    size.reset();
  }
};

template <typename T>
const std::optional<T>& pick(const std::optional<T>& local, const std::optional<T>& global) {
  return local ? local : global;
}

Status applyPaxRecords(std::string_view data, Overrides& target) {
  while (!data.empty()) {
    const PaxRecord record = TRY(takePaxRecord(data));
    if (record.key == "path") {
      target.path = std::string(record.value);
    } else if (record.key == "linkpath") {
      target.linkPath = std::string(record.value);
    } else if (record.key == "size") {
      const Result<std::uint64_t> size = parseTarIntegerText(record.value, 10);
      if (!size) return Error::InvalidPaxRecord;
      target.size = *size;
    } else if (isPaxSparseKey(record.key)) {
      return Error::UnsupportedTarType;
    }
  }
  return success();
}

std::optional<RecipeEntryKind> entryKind(unsigned char typeflag) {
  switch (typeflag) {
    case '\0':
    case '0':
    case '7':
      return RecipeEntryKind::file;
    case '1':
      return RecipeEntryKind::hardlink;
    case '2':
      return RecipeEntryKind::symlink;
    case '5':
      return RecipeEntryKind::directory;
    default:
      return std::nullopt;
  }
}

bool isExtensionType(unsigned char typeflag) {
  return typeflag == 'x' || typeflag == 'g' || typeflag == 'L' || typeflag == 'K';
}

class TarArchiveReader {
 public:
  TarArchiveReader(PullReader& reader, std::optional<std::uint64_t> expectedSize, ArchiveDestination* dest)
      : state_(reader, expectedSize), dest_(dest), piece_(kTarPieceSize) {}

  Result<ExtractedArchive> run();

 private:
  Result<ExtractedArchive> readAll();
  // Exactly n bytes, or TruncatedTar.
  Status readExact(void* buf, std::size_t n, bool literal) {
    const std::size_t got = TRY(readTarBlock(state_, buf, n, literal));
    if (got < n) return Error::TruncatedTar;
    return success();
  }
  Status readExtension(unsigned char typeflag, std::uint64_t size);
  Status readEntry(const unsigned char* header, std::uint64_t sizeField);
  Status readFileData(const std::string& recipePath, std::uint64_t size, std::string& sha256Hex);
  Status readEnd();
  void flushLiteral();

  TarStreamState state_;
  ArchiveDestination* dest_;
  Overrides local_;
  Overrides global_;
  std::optional<std::string> root_;
  UpdateRecipe recipe_;
  std::vector<unsigned char> piece_;
  ArchiveFolderCache folders_;
  FileFlusher flusher_;
};

Result<ExtractedArchive> TarArchiveReader::run() {
  Result<ExtractedArchive> read = readAll();
  // Whatever reading failed at, a failed sync came from an earlier file.
  const Status flushed = flusher_.abandon();
  if (!read.ok() && !flushed.ok()) return flushed.error();
  return read;
}

Result<ExtractedArchive> TarArchiveReader::readAll() {
  if (state_.expectedSize && (*state_.expectedSize < 2 * kTarBlockSize || *state_.expectedSize % kTarBlockSize != 0)) {
    return Error::InvalidTarSize;
  }
  recipe_.root_mode = kDefaultRootMode;

  unsigned char header[kTarBlockSize];
  for (;;) {
    if (state_.expectedSize && state_.consumed >= *state_.expectedSize) return Error::TruncatedTar;
    TRY(readExact(header, kTarBlockSize, true));
    if (allZero(header, kTarBlockSize)) break;

    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < kTarBlockSize; ++i) {
      const bool inChecksum = i >= kChecksumOffset && i < kChecksumOffset + kChecksumLength;
      sum += inChecksum ? 0x20u : header[i];
    }
    const std::uint64_t stored = TRY(parseTarNumber(rawField(header, kChecksumOffset, kChecksumLength)));
    if (stored != sum) return Error::InvalidTarChecksum;

    const std::uint64_t sizeField = TRY(parseTarNumber(rawField(header, kSizeOffset, kSizeLength)));
    const unsigned char typeflag = header[kTypeflagOffset];
    if (isExtensionType(typeflag)) {
      TRY(readExtension(typeflag, sizeField));
    } else {
      TRY(readEntry(header, sizeField));
    }
  }

  TRY(readEnd());
  if (!root_ || local_.any()) return Error::TruncatedTar;

  flushLiteral();
  recipe_.schema_version = 1;
  recipe_.root = *root_;
  recipe_.archive_size = state_.consumed;
  recipe_.archive_sha256 =
      state_.readerHashes ? TRY(state_.reader.finishDeliveredSha256Hex()) : state_.archiveSha.finishHex();
  // Every file is on disk before anything looks at the tree or moves it.
  TRY(flusher_.finish());
  TRY(validateRecipe(recipe_));
  if (dest_ && !recipe_.entries.empty()) TRY(createArchiveLinks(*dest_, recipe_));
  return ExtractedArchive{std::move(recipe_)};
}

Status TarArchiveReader::readExtension(unsigned char typeflag, std::uint64_t size) {
  if (size > kMaxTarExtensionSize) return Error::TarExtensionTooLarge;
  const std::size_t dataSize = static_cast<std::size_t>(size);
  const std::size_t padded = dataSize + static_cast<std::size_t>(fillAfter(size));
  std::vector<unsigned char> buffer(padded);
  TRY(readExact(buffer.data(), padded, true));
  const std::string_view data(reinterpret_cast<const char*>(buffer.data()), dataSize);

  switch (typeflag) {
    case 'x':
      return applyPaxRecords(data, local_);
    case 'g':
      return applyPaxRecords(data, global_);
    default: {
      std::string_view name = data;
      while (!name.empty() && (name.back() == '\0' || name.back() == '\n')) name.remove_suffix(1);
      (typeflag == 'L' ? local_.path : local_.linkPath) = std::string(name);
      return success();
    }
  }
}

Status TarArchiveReader::readEntry(const unsigned char* header, std::uint64_t sizeField) {
  std::string path;
  if (const auto& overridden = pick(local_.path, global_.path)) {
    path = *overridden;
  } else {
    const std::string_view name = textField(header, kNameOffset, kNameLength);
    const std::string_view prefix = textField(header, kPrefixOffset, kPrefixLength);
    const bool ustar = rawField(header, kMagicOffset, kMagicLength) == std::string_view("ustar\0", 6);
    path = ustar && !prefix.empty() ? joinArchivePath(prefix, name) : std::string(name);
  }

  std::string_view normalized = path;
  while (normalized.size() >= 2 && normalized.substr(0, 2) == "./") normalized.remove_prefix(2);
  while (!normalized.empty() && normalized.back() == '/') normalized.remove_suffix(1);
  TRY(validateArchivePath(normalized));

  const std::string_view rootName = normalized.substr(0, normalized.find('/'));
  if (!root_) {
    root_ = std::string(rootName);
    if (dest_) TRY(createArchiveRoot(*dest_, rootName));
  } else if (rootName != *root_) {
    return Error::MultipleArchiveRoots;
  }

  const std::uint64_t size = pick(local_.size, global_.size).value_or(sizeField);
  const std::uint64_t mode = TRY(parseTarNumber(rawField(header, kModeOffset, kModeLength))) & 0777;
  std::string linkTarget;
  if (const auto& overridden = pick(local_.linkPath, global_.linkPath)) {
    linkTarget = *overridden;
  } else {
    linkTarget = std::string(textField(header, kLinknameOffset, kLinknameLength));
  }

  const std::optional<RecipeEntryKind> kind = entryKind(header[kTypeflagOffset]);
  if (!kind) return Error::UnsupportedTarType;
  if (*kind != RecipeEntryKind::file && size != 0) return Error::InvalidTarSize;

  if (normalized.size() == rootName.size()) {
    // The archive's top folder itself: it only lends its mode.
    if (*kind != RecipeEntryKind::directory) return Error::InvalidArchiveRoot;
    recipe_.root_mode = static_cast<std::uint32_t>(mode);
    local_.clear();
    return success();
  }

  if (recipe_.entries.size() >= kMaxTarEntries) return Error::TooManyArchiveEntries;
  RecipeEntry entry;
  entry.path = std::string(normalized.substr(rootName.size() + 1));
  entry.kind = *kind;
  entry.mode = static_cast<std::uint32_t>(mode);
  entry.size = size;
  entry.tar_offset = state_.consumed;

  switch (*kind) {
    case RecipeEntryKind::file: {
      std::string sha256;
      TRY(readFileData(entry.path, size, sha256));
      entry.sha256 = std::move(sha256);
      break;
    }
    case RecipeEntryKind::directory:
      if (dest_) TRY(createArchiveFolder(*dest_, entry.path));
      break;
    case RecipeEntryKind::symlink:
      TRY(validateLinkTarget(entry.path, linkTarget));
      entry.link_target = std::move(linkTarget);
      break;
    case RecipeEntryKind::hardlink: {
      // Hard-link names carry the root folder, as entry names do, but are
      // taken literally: no "./" is removed from them.
      const std::string_view target = linkTarget;
      if (target.size() <= rootName.size() || target.substr(0, rootName.size()) != rootName ||
          target[rootName.size()] != '/') {
        return Error::InvalidLinkTarget;
      }
      const std::string_view below = target.substr(rootName.size() + 1);
      TRY(validateArchivePath(below));
      entry.link_target = std::string(below);
      break;
    }
  }
  recipe_.entries.push_back(std::move(entry));
  local_.clear();
  return success();
}

Status TarArchiveReader::readFileData(const std::string& recipePath, std::uint64_t size, std::string& sha256Hex) {
  flushLiteral();
  RecipeSpan span;
  span.path = recipePath;
  span.size = size;
  recipe_.spans.push_back(std::move(span));

  fs::File out;
  if (dest_) out = TRY(createArchiveFile(*dest_, recipePath, folders_));

  // One piece at a time feeds the archive hash, the file hash and the file.
  Sha256 fileSha;
  std::uint64_t remaining = size;
  while (remaining > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kTarPieceSize));
    TRY(readExact(piece_.data(), n, false));
    fileSha.update(piece_.data(), n);
    if (out.valid()) TRY(fs::writeAll(out, piece_.data(), n));
    remaining -= n;
  }
  if (out.valid()) TRY(flusher_.handOver(std::move(out)));
  sha256Hex = fileSha.finishHex();

  unsigned char fill[kTarBlockSize];
  TRY(readExact(fill, static_cast<std::size_t>(fillAfter(size)), true));
  return success();
}

Status TarArchiveReader::readEnd() {
  unsigned char block[kTarBlockSize];
  TRY(readExact(block, kTarBlockSize, true));
  if (!allZero(block, kTarBlockSize)) return Error::InvalidTarTrailer;

  // Only zeros may follow, up to the end of the stream or the expected size.
  for (;;) {
    std::size_t n = kTarPieceSize;
    if (state_.expectedSize) {
      const std::uint64_t left = *state_.expectedSize - state_.consumed;
      if (left == 0) break;
      n = static_cast<std::size_t>(std::min<std::uint64_t>(left, n));
    }
    const std::size_t got = TRY(readTarBlock(state_, piece_.data(), n, true));
    if (!allZero(piece_.data(), got)) return Error::InvalidTarTrailer;
    if (got < n) break;
  }
  if (state_.expectedSize && state_.consumed < *state_.expectedSize) return Error::TruncatedTar;
  if (state_.consumed % kTarBlockSize != 0) return Error::InvalidTarSize;

  // Unpacking must see the stream end where its size said; building only a
  // recipe leaves whatever follows to the caller.
  if (dest_ && state_.expectedSize) {
    unsigned char extra = 0;
    const std::size_t got = TRY(state_.reader.read(&extra, 1));
    if (got != 0) return Error::InvalidTarTrailer;
  }
  return success();
}

void TarArchiveReader::flushLiteral() {
  if (state_.pendingLiteral.empty()) return;
  RecipeSpan span;
  span.literal_hex = toLowerHex(reinterpret_cast<const std::uint8_t*>(state_.pendingLiteral.data()),
                                state_.pendingLiteral.size());
  span.size = state_.pendingLiteral.size();
  recipe_.spans.push_back(std::move(span));
  state_.pendingLiteral.clear();
}

}  // namespace

Result<std::size_t> readTarBlock(TarStreamState& state, void* buf, std::size_t n, bool literal) {
  if (state.expectedSize && *state.expectedSize - state.consumed < n) return Error::TruncatedTar;
  auto* out = static_cast<unsigned char*>(buf);
  std::size_t got = 0;
  while (got < n) {
    const Result<std::size_t> r = state.reader.read(out + got, n - got);
    if (!r) return Error::ReadFailed;
    if (*r == 0) break;
    got += *r;
  }
  state.consumed += got;
  if (!state.readerHashes) state.archiveSha.update(out, got);
  if (literal && got > 0) {
    if (state.literalTotal + got > kMaxTarLiteralBytes) return Error::RecipeTooLarge;
    try {
      state.pendingLiteral.append(reinterpret_cast<const char*>(out), got);
    } catch (const std::bad_alloc&) {
      return Error::OutOfMemory;
    }
    state.literalTotal += got;
  }
  return got;
}

Result<std::uint64_t> parseTarNumber(std::string_view field) {
  if (!field.empty() && (static_cast<unsigned char>(field.front()) & 0x80) != 0) {
    const auto first = static_cast<unsigned char>(field.front());
    if ((first & 0x40) != 0) return Error::InvalidTarNumber;  // negative
    std::uint64_t value = first & 0x3F;
    for (std::size_t i = 1; i < field.size(); ++i) {
      if (value >> 56 != 0) return Error::Overflow;
      value = (value << 8) | static_cast<unsigned char>(field[i]);
    }
    return value;
  }
  const auto padding = [](char c) { return c == '\0' || c == ' '; };
  while (!field.empty() && padding(field.front())) field.remove_prefix(1);
  while (!field.empty() && padding(field.back())) field.remove_suffix(1);
  if (field.empty()) return std::uint64_t{0};
  const Result<std::uint64_t> value = parseTarIntegerText(field, 8);
  if (!value) return Error::InvalidTarNumber;
  return *value;
}

Result<ExtractedArchive> extractTarArchive(PullReader& reader, std::optional<std::uint64_t> expectedSize,
                                           ArchiveDestination* destination) {
  try {
    TarArchiveReader tar(reader, expectedSize, destination);
    return tar.run();
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
}

}  // namespace tl
