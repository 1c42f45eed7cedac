#include "update/apply/retained_archive_unpacker.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/file_flusher.h"
#include "archive/no_follow_access.h"
#include "archive/tar_format.h"
#include "common/diagnostics.h"
#include "common/paths.h"

namespace tl {

namespace {

// Unread bytes move to the window's front once a header starts past this.
constexpr std::size_t kCompactAfter = 3072;
constexpr std::size_t kMaxLinkTarget = 1024;

constexpr std::size_t kSizeOffset = 124, kSizeLength = 12;
constexpr std::size_t kTypeOffset = 156;
constexpr std::size_t kMagicOffset = 257;
constexpr std::size_t kPrefixOffset = 345, kPrefixLength = 155;
constexpr std::size_t kNameLength = 100;

using Header = std::array<char, kTarBlockSize>;

std::uint64_t paddingAfter(std::uint64_t size) { return (kTarBlockSize - size % kTarBlockSize) % kTarBlockSize; }

std::string_view textField(const Header& h, std::size_t offset, std::size_t length) {
  const char* begin = h.data() + offset;
  const void* nul = std::memchr(begin, 0, length);
  return {begin, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - begin) : length};
}

// Octal text: leading '0's skipped, trailing NUL and space ignored, nothing
// left meaning 0.
Result<std::uint64_t> parseSize(const Header& h) {
  std::string_view field(h.data() + kSizeOffset, kSizeLength);
  while (!field.empty() && field.front() == '0') field.remove_prefix(1);
  while (!field.empty() && (field.back() == '\0' || field.back() == ' ')) field.remove_suffix(1);
  if (field.empty()) return std::uint64_t{0};
  return parseTarIntegerText(field, 8);
}

// The name, or prefix/name for a POSIX ustar header with a prefix. A GNU
// header ("ustar " and " ") has no prefix field.
std::string entryPath(const Header& h) {
  const std::string_view name = textField(h, 0, kNameLength);
  const bool ustar = std::string_view(h.data() + kMagicOffset, 6) == std::string_view("ustar\0", 6);
  const std::string_view prefix = textField(h, kPrefixOffset, kPrefixLength);
  if (!ustar || prefix.empty()) return std::string(name);
  std::string path(prefix);
  path += '/';
  path += name;
  return path;
}

// A checked path has no root, so the path helpers below take it as relative.
Status checkPath(std::string_view path) {
  if (!path.empty() && isPathSeparator(path[0])) return Error::PathTraversal;
  if (path.size() >= 2 && path[1] == ':') return Error::PathTraversal;
  bool climbs = false;
  forEachPathComponent(path, [&](std::string_view c) { climbs = climbs || c == ".."; });
  if (climbs) return Error::PathTraversal;
  return success();
}

// A handle of the folder at `path` below the stage, made with its missing
// ancestors. Empty and "." components name the folder they are in.
Result<fs::Dir> makeFolders(const fs::Dir& stage, std::string_view path) {
  fs::Dir current = TRY(fs::openDirAt(stage, "."));
  Status status = success();
  forEachPathComponent(path, [&](std::string_view c) {
    if (status.ok() && !c.empty() && c != ".") status = descendNoFollow(current, c, true);
  });
  if (!status) return status.error();
  return current;
}

// The archive file read forward in large pieces, so that topping up the
// small window costs no system call most of the time.
class BufferedFileReader final : public PullReader {
 public:
  explicit BufferedFileReader(fs::File& file) : file_(file), buffer_(kRetainedArchiveReadBuffer) {}

  Result<std::size_t> read(void* out, std::size_t n) override {
    if (pos_ == end_) {
      pos_ = 0;
      end_ = TRY(fs::read(file_, buffer_.data(), buffer_.size()));
    }
    const std::size_t take = std::min(n, end_ - pos_);
    if (take > 0) std::memcpy(out, buffer_.data() + pos_, take);
    pos_ += take;
    return take;
  }

 private:
  fs::File& file_;
  std::vector<char> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
};

// The bytes between the reader and the unpacker: [start, end) is unread.
class Window {
 public:
  explicit Window(PullReader& source) : source_(source) {}

  std::size_t position() const { return start_; }
  std::size_t available() const { return end_ - start_; }
  const char* data() const { return bytes_.data() + start_; }
  void consume(std::size_t n) { start_ += n; }

  void compact() {
    std::memmove(bytes_.data(), bytes_.data() + start_, available());
    end_ -= start_;
    start_ = 0;
  }

  // Fills the free space at the back until it is full or the source ends.
  Status topUp() {
    while (end_ < bytes_.size()) {
      const std::size_t got = TRY(source_.read(bytes_.data() + end_, bytes_.size() - end_));
      if (got == 0) break;
      end_ += got;
    }
    return success();
  }

  // Up to `want` unread bytes, refilling an empty window first; empty only
  // when the source has ended.
  Result<std::string_view> take(std::uint64_t want) {
    if (available() == 0) {
      start_ = end_ = 0;
      TRY(topUp());
    }
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(want, available()));
    const std::string_view out(data(), n);
    consume(n);
    return out;
  }

  // Passes over exactly n bytes; the source ending first is
  // UnexpectedEndOfStream.
  Status skip(std::uint64_t n) {
    while (n > 0) {
      const std::string_view got = TRY(take(n));
      if (got.empty()) return Error::UnexpectedEndOfStream;
      n -= got.size();
    }
    return success();
  }

 private:
  PullReader& source_;
  std::array<char, kRetainedArchiveWindow> bytes_{};
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

class RetainedArchiveUnpacker {
 public:
  RetainedArchiveUnpacker(PullReader& source, const fs::Dir& stage) : window_(source), stage_(stage) {}

  // The stage is moved into place once this returns: every file is synced
  // first. On failure what is still queued is only closed, and a failed sync
  // wins over what the reading failed at, as it came from an earlier file.
  Status run() {
    const Status unpacked = unpackEntries();
    const Status flushed = unpacked ? flusher_.finish() : flusher_.abandon();
    if (!flushed) return flushed.error();
    return unpacked;
  }

 private:
  Status unpackEntries() {
    for (;;) {
      if (window_.position() > kCompactAfter) window_.compact();
      TRY(window_.topUp());
      if (window_.available() == 0) return success();
      if (window_.available() < kTarBlockSize) return Error::UnexpectedEndOfStream;
      Header header;
      std::memcpy(header.data(), window_.data(), kTarBlockSize);
      window_.consume(kTarBlockSize);

      const std::uint64_t size = TRY(parseSize(header));
      const std::string path = entryPath(header);
      TRY(checkPath(path));
      switch (header[kTypeOffset]) {
        case '\0':
        case '0':
          if (path.empty() && size == 0) return success();
          TRY(unpackFile(path, size));
          break;
        case '5':
          if (!path.empty()) TRY(unpackFolder(path));
          // Folders carry no data; should one claim some, it is passed
          // over rather than read as headers.
          TRY(window_.skip(size + paddingAfter(size)));
          break;
        case '2':
          if (path.empty() && size == 0) return success();
          if (size != 0) TRY(skipLink(path, size));
          break;
        case 'x':
        case 'g':
          TRY(readExtension(size));
          break;
        default:
          return Error::TarUnsupportedFileType;
      }
    }
  }

  // Makes the entry's parent folder, announced unless `quiet`, and returns
  // a handle of it (of the stage when the path has no parent).
  Result<fs::Dir> parentFolder(std::string_view path, bool quiet) {
    const std::optional<std::string> parent = parentPath(path);
    if (!parent) return fs::openDirAt(stage_, ".");
    if (!quiet) diagLine({"DEBUG: Creating parent dir: '", *parent, "'"});
    Result<fs::Dir> folder = makeFolders(stage_, *parent);
    if (!folder && !quiet) diagLine({"ERROR: Failed to create parent dir '", *parent, "': ", folder.error()});
    return folder;
  }

  Status unpackFile(std::string_view path, std::uint64_t size) {
    const fs::Dir parent = TRY(parentFolder(path, false));
    diagLine({"DEBUG: Creating file: '", path, "'"});
    Result<fs::File> file = fs::createFileAt(parent, lastComponent(path), false, true);
    if (!file) {
      diagLine({"ERROR: Failed to create file '", path, "': ", file.error()});
      return file.error();
    }
    for (std::uint64_t left = size; left > 0;) {
      const std::string_view piece = TRY(window_.take(left));
      if (piece.empty()) return Error::UnexpectedEndOfStream;
      TRY(fs::writeAll(*file, piece.data(), piece.size()));
      left -= piece.size();
    }
    TRY(flusher_.handOver(std::move(*file)));
    return window_.skip(paddingAfter(size));
  }

  Status unpackFolder(std::string_view path) {
    diagLine({"DEBUG: Creating directory: '", path, "'"});
    const Result<fs::Dir> folder = makeFolders(stage_, path);
    if (!folder) {
      diagLine({"ERROR: Failed to create directory '", path, "': ", folder.error()});
      return folder.error();
    }
    return success();
  }

  // Links are not made on Windows: the target is only named.
  Status skipLink(std::string_view path, std::uint64_t size) {
    std::string target;
    const std::uint64_t targetSize = std::min<std::uint64_t>(size, kMaxLinkTarget);
    while (target.size() < targetSize) {
      const std::string_view piece = TRY(window_.take(targetSize - target.size()));
      if (piece.empty()) return Error::UnexpectedEndOfStream;
      target += piece;
    }
    (void)TRY(parentFolder(path, true));
    diagLine({"Skipping symlink creation on Windows: ", path, " -> ", target});
    return window_.skip(size - targetSize + paddingAfter(size));
  }

  // The extension's data must fit the window whole. It is compacted and
  // topped up first, so whether a header fits never depends on where it
  // happens to start.
  Status readExtension(std::uint64_t size) {
    if (size > kRetainedArchiveWindow) return Error::TarHeadersTooBig;
    const auto padded = static_cast<std::size_t>(size + paddingAfter(size));
    if (padded > kRetainedArchiveWindow) return Error::TarHeadersTooBig;
    window_.compact();
    TRY(window_.topUp());
    if (window_.available() < padded) return Error::UnexpectedEndOfStream;
    // A record that renames or resizes the member would be ignored by this
    // unpacker, which would then write the member under the wrong name or
    // read its data wrongly: such archives are refused.
    std::string_view records(window_.data(), static_cast<std::size_t>(size));
    while (!records.empty()) {
      const PaxRecord record = TRY(takePaxRecord(records));
      if (record.key == "path" || record.key == "linkpath" || record.key == "size" || isPaxSparseKey(record.key)) {
        return Error::TarUnsupportedFileType;
      }
    }
    window_.consume(padded);
    return success();
  }

  Window window_;
  const fs::Dir& stage_;
  FileFlusher flusher_;
};

}  // namespace

Status unpackRetainedTar(PullReader& source, const fs::Dir& stage) {
  RetainedArchiveUnpacker unpacker(source, stage);
  return unpacker.run();
}

Status unpackRetainedArchive(std::string_view archivePath, const fs::Dir& stage) {
  fs::File file = TRY(fs::openFileRead(archivePath));
  const fs::FileStat st = TRY(fs::statFile(file));
  if (st.kind != fs::FileKind::File) return Error::Streaming;
  BufferedFileReader reader(file);
  return unpackRetainedTar(reader, stage);
}

}  // namespace tl
