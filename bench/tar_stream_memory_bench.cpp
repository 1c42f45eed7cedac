// Unpacks generated archives of a few large files, streamed from a generator
// that never holds the archive, and prints how far the peak resident memory
// rose with each size: the unpacking must stream, so the peak must not grow
// with the archive beyond its (small) recipe.
//
//   tar_stream_memory_bench [folder] [MiB ...]
//
// The folder defaults to /tmp; sizes default to 8, 200 and 800 MiB. Each size
// is unpacked once with a destination and read once for its recipe only.
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/tar_reader.h"
#include "platform/fs.h"
#include "platform/io_context.h"
#include "../tests/support/tar_builder.h"

namespace {

namespace stdfs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kFileSize = 64 * kMiB + 123;  // not a whole number of blocks

// The archive app/, app/f0, app/f1, ... of pseudo-random content, made as it
// is pulled: only the current header block is ever held.
class GeneratedTar final : public tl::PullReader {
 public:
  explicit GeneratedTar(std::uint64_t dataBytes) {
    header_ = dirHeader();
    for (std::uint64_t left = dataBytes; left > 0;) {
      const std::uint64_t size = std::min(left, kFileSize);
      sizes_.push_back(size);
      left -= size;
    }
  }

  tl::Result<std::size_t> read(void* buf, std::size_t n) override {
    auto* out = static_cast<unsigned char*>(buf);
    std::size_t done = 0;
    while (done < n) {
      if (headerPos_ < header_.size()) {
        const std::size_t take = std::min(n - done, header_.size() - headerPos_);
        std::memcpy(out + done, header_.data() + headerPos_, take);
        headerPos_ += take;
        done += take;
      } else if (dataLeft_ > 0) {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, dataLeft_));
        for (std::size_t i = 0; i < take; ++i) out[done + i] = nextByte();
        dataLeft_ -= take;
        done += take;
      } else if (fillLeft_ > 0) {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, fillLeft_));
        std::memset(out + done, 0, take);
        fillLeft_ -= take;
        done += take;
      } else if (!nextPart()) {
        break;
      }
    }
    return done;
  }

 private:
  static std::string dirHeader() {
    tl::test::TarHeader h;
    h.name = "app";
    h.typeflag = '5';
    h.mode = 0755;
    return tl::test::tarHeaderBlock(h);
  }

  // Moves to the next file's header, or to the end blocks; false at the end.
  bool nextPart() {
    if (ended_) return false;
    headerPos_ = 0;
    if (next_ == sizes_.size()) {
      header_.assign(2 * tl::test::kTarBlock, '\0');
      ended_ = true;
      return true;
    }
    tl::test::TarHeader h;
    h.name = "app/f" + std::to_string(next_);
    h.size = sizes_[next_];
    header_ = tl::test::tarHeaderBlock(h);
    dataLeft_ = h.size;
    fillLeft_ = tl::test::tarPadded(static_cast<std::size_t>(h.size)) - h.size;
    ++next_;
    return true;
  }

  unsigned char nextByte() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<unsigned char>(state_);
  }

  std::vector<std::uint64_t> sizes_;
  std::size_t next_ = 0;
  std::string header_;
  std::size_t headerPos_ = 0;
  std::uint64_t dataLeft_ = 0;
  std::uint64_t fillLeft_ = 0;
  bool ended_ = false;
  std::uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

double peakMiB() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

std::uint64_t recipeBytes(const tl::UpdateRecipe& recipe) {
  tl::CountingWriter counter;
  return tl::stringifyRecipe(recipe, counter).ok() ? counter.count() : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string base = argc > 1 ? argv[1] : "/tmp";
  std::vector<std::uint64_t> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::stoull(argv[i]));
  if (sizes.empty()) sizes = {8, 200, 800};
  std::string templ = base + "/tl-tar-memory-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  tl::IoContext ctx;
  tl::setIo(&ctx);

  double before = peakMiB();
  std::printf("peak resident memory at start: %.1f MiB\n", before);
  for (const std::uint64_t mib : sizes) {
    const stdfs::path work = stdfs::path(templ) / std::to_string(mib);
    stdfs::create_directories(work);
    auto dest = tl::fs::openDir(tl::fs::windowsPath(work.string()));
    if (!dest.ok()) {
      std::printf("cannot open %s\n", work.c_str());
      return 1;
    }
    tl::ArchiveDestination destination(*dest);
    GeneratedTar unpacked(mib * kMiB);
    const auto start = std::chrono::steady_clock::now();
    auto result = tl::extractTarArchive(unpacked, std::nullopt, &destination);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!result.ok()) {
      std::printf("%llu MiB: %s\n", static_cast<unsigned long long>(mib),
                  std::string(tl::errorName(result.error())).c_str());
      return 1;
    }
    const double afterUnpack = peakMiB();
    GeneratedTar readOnly(mib * kMiB);
    auto recipeOnly = tl::extractTarArchive(readOnly, std::nullopt, nullptr);
    const double afterRecipe = peakMiB();
    std::printf(
        "%5llu MiB archive (%zu files): unpacked in %.2f s (%.0f MiB/s), recipe %llu bytes; peak +%.1f MiB "
        "unpacking, +%.1f MiB recipe only (peak now %.1f MiB)\n",
        static_cast<unsigned long long>(mib), result->recipe.entries.size(), seconds,
        static_cast<double>(mib) / seconds, static_cast<unsigned long long>(recipeBytes(result->recipe)),
        afterUnpack - before, afterRecipe - afterUnpack, afterRecipe);
    if (!recipeOnly.ok()) return 1;
    before = afterRecipe;
    destination.root.close();
    stdfs::remove_all(work);
  }
  std::error_code ec;
  stdfs::remove_all(templ, ec);
  return 0;
}
