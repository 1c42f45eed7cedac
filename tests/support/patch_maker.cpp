#include "support/patch_maker.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <xxhash.h>
#include <zstd.h>

namespace tl::test {

namespace {

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "patch maker: %s\n", what);
  std::abort();
}

void putLittleEndian(std::string& out, std::uint64_t v, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// One frame compressed as it is fed, with its content size announced.
class Compressor {
 public:
  Compressor(const FrameSpec& shape, std::uint64_t contentSize) : ctx_(ZSTD_createCCtx()) {
    if (ctx_ == nullptr) die("no compression context");
    check(ZSTD_CCtx_setParameter(ctx_, ZSTD_c_compressionLevel, shape.level));
    check(ZSTD_CCtx_setParameter(ctx_, ZSTD_c_windowLog, static_cast<int>(shape.windowLog)));
    check(ZSTD_CCtx_setParameter(ctx_, ZSTD_c_checksumFlag, shape.checksum ? 1 : 0));
    check(ZSTD_CCtx_setParameter(ctx_, ZSTD_c_contentSizeFlag, 1));
    check(ZSTD_CCtx_setPledgedSrcSize(ctx_, contentSize));
  }
  ~Compressor() { ZSTD_freeCCtx(ctx_); }
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  void add(std::string_view bytes) { run(bytes, ZSTD_e_continue); }
  std::string finish() {
    run({}, ZSTD_e_end);
    return std::move(out_);
  }

 private:
  static void check(std::size_t r) {
    if (ZSTD_isError(r)) die(ZSTD_getErrorName(r));
  }
  void run(std::string_view bytes, ZSTD_EndDirective mode) {
    ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
    char chunk[1 << 16];
    for (;;) {
      ZSTD_outBuffer out{chunk, sizeof chunk, 0};
      const std::size_t left = ZSTD_compressStream2(ctx_, &out, &in, mode);
      check(left);
      out_.append(chunk, out.pos);
      if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size) return;
    }
  }
  ZSTD_CCtx* ctx_;
  std::string out_;
};

std::string handWrittenFrame(std::string_view content, const FrameSpec& shape) {
  std::string f;
  putLittleEndian(f, 0xFD2FB528, 4);
  unsigned contentSizeFlag = 0;
  std::size_t contentSizeBytes = 0;
  if (shape.singleSegment) {
    const std::uint64_t size = content.size();
    contentSizeFlag = size < 256 ? 0 : size < 65536 + 256 ? 1 : size <= 0xFFFFFFFFu ? 2 : 3;
    contentSizeBytes = contentSizeFlag == 0 ? 1 : std::size_t{1} << contentSizeFlag;
  }
  f += static_cast<char>(contentSizeFlag << 6 | (shape.singleSegment ? 1u : 0u) << 5 | (shape.checksum ? 1u : 0u) << 2 |
                         (shape.dictionaryId ? 3u : 0u));
  if (!shape.singleSegment) f += static_cast<char>((shape.windowLog - 10) << 3);
  if (shape.dictionaryId) putLittleEndian(f, *shape.dictionaryId, 4);
  if (contentSizeBytes > 0) putLittleEndian(f, content.size() - (contentSizeBytes == 2 ? 256 : 0), contentSizeBytes);

  std::size_t at = 0;
  do {
    const std::string_view chunk = content.substr(at, shape.blockSize);
    at += chunk.size();
    const bool last = at == content.size();
    const bool rle = shape.blocks == FrameBlocks::Rle && !chunk.empty() &&
                     chunk.find_first_not_of(chunk[0]) == std::string_view::npos;
    putLittleEndian(f, chunk.size() << 3 | (rle ? 1u : 0u) << 1 | (last ? 1u : 0u), 3);
    if (rle) {
      f += chunk[0];
    } else {
      f += chunk;
    }
  } while (at < content.size());
  if (shape.checksum) putLittleEndian(f, static_cast<std::uint32_t>(XXH64(content.data(), content.size(), 0)), 4);
  return f;
}

// --- the matcher -------------------------------------------------------------

constexpr std::size_t kHashed = 32;  // bytes a hash covers: the shortest match
constexpr std::size_t kStride = 16;  // old positions indexed
constexpr std::uint64_t kPrime = 0x100000001B3ull;

struct Match {
  std::uint64_t newAt;
  std::uint64_t oldAt;
  std::uint64_t len;
};

std::uint64_t hashOf(const unsigned char* p) {
  std::uint64_t h = 0;
  for (std::size_t i = 0; i < kHashed; ++i) h = h * kPrime + p[i];
  return h;
}

std::uint64_t outFactor() {
  std::uint64_t f = 1;
  for (std::size_t i = 1; i < kHashed; ++i) f *= kPrime;
  return f;
}

std::vector<Match> findMatches(std::string_view oldText, std::string_view newText) {
  const auto* old = reinterpret_cast<const unsigned char*>(oldText.data());
  const auto* nw = reinterpret_cast<const unsigned char*>(newText.data());
  const std::uint64_t oldN = oldText.size();
  const std::uint64_t n = newText.size();
  std::vector<Match> matches;
  if (oldN < kHashed || n < kHashed) return matches;

  unsigned bits = 10;
  while ((std::uint64_t{1} << bits) < 2 * (oldN / kStride + 1) && bits < 30) ++bits;
  std::vector<std::uint32_t> table(std::size_t{1} << bits, 0);
  const auto slot = [&](std::uint64_t h) { return static_cast<std::size_t>((h * 0x9E3779B97F4A7C15ull) >> (64 - bits)); };
  const std::uint64_t out = outFactor();
  const auto roll = [&](std::uint64_t h, unsigned char gone, unsigned char come) {
    return (h - gone * out) * kPrime + come;
  };

  std::uint64_t h = hashOf(old);
  for (std::uint64_t p = 0;; ++p) {
    if (p % kStride == 0) table[slot(h)] = static_cast<std::uint32_t>(p / kStride + 1);
    if (p + kHashed >= oldN) break;
    h = roll(h, old[p], old[p + kHashed]);
  }

  std::uint64_t i = 0;
  std::uint64_t litStart = 0;
  std::optional<std::int64_t> lastDelta;  // old offset minus new offset of the last match
  h = hashOf(nw);
  while (i + kHashed <= n) {
    std::optional<std::uint64_t> found;
    if (lastDelta) {
      const std::int64_t j = static_cast<std::int64_t>(i) + *lastDelta;
      if (j >= 0 && static_cast<std::uint64_t>(j) + kHashed <= oldN && std::memcmp(nw + i, old + j, kHashed) == 0) {
        found = static_cast<std::uint64_t>(j);
      }
    }
    if (!found) {
      const std::uint32_t e = table[slot(h)];
      const std::uint64_t j = std::uint64_t{e} * kStride - kStride;
      if (e != 0 && std::memcmp(nw + i, old + j, kHashed) == 0) found = j;
    }
    if (found) {
      std::uint64_t s = i;
      std::uint64_t t = *found;
      while (s > litStart && t > 0 && nw[s - 1] == old[t - 1]) --s, --t;
      std::uint64_t len = i - s + kHashed;
      while (s + len < n && t + len < oldN && nw[s + len] == old[t + len]) ++len;
      matches.push_back({s, t, len});
      lastDelta = static_cast<std::int64_t>(t) - static_cast<std::int64_t>(s);
      i = litStart = s + len;
      if (i + kHashed <= n) h = hashOf(nw + i);
      continue;
    }
    if (i + kHashed == n) break;
    h = roll(h, nw[i], nw[i + kHashed]);
    ++i;
  }
  return matches;
}

}  // namespace

std::string rawWord(std::uint64_t bits) {
  std::string out;
  putLittleEndian(out, bits, 8);
  return out;
}

std::string signMagnitudeWord(std::int64_t value) {
  const std::uint64_t magnitude =
      value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  return rawWord((magnitude & ~(std::uint64_t{1} << 63)) | (value < 0 ? std::uint64_t{1} << 63 : 0));
}

std::string controlBytes(const std::vector<PatchRecord>& records) {
  std::string out;
  for (const PatchRecord& r : records) {
    out += signMagnitudeWord(static_cast<std::int64_t>(r.add));
    out += signMagnitudeWord(static_cast<std::int64_t>(r.copy));
    out += signMagnitudeWord(r.seek);
  }
  return out;
}

std::string zstdFrame(std::string_view content, const FrameSpec& shape) {
  if (shape.blocks != FrameBlocks::Compressed) return handWrittenFrame(content, shape);
  Compressor c(shape, content.size());
  c.add(content);
  return c.finish();
}

std::string patchFile(std::string_view controlFrame, std::string_view diffFrame, std::string_view extraFrame,
                      std::uint64_t newSize) {
  std::string out = "TRDIFF10";
  out += signMagnitudeWord(static_cast<std::int64_t>(controlFrame.size()));
  out += signMagnitudeWord(static_cast<std::int64_t>(diffFrame.size()));
  out += signMagnitudeWord(static_cast<std::int64_t>(newSize));
  out += controlFrame;
  out += diffFrame;
  out += extraFrame;
  return out;
}

std::vector<PatchRecord> matchArchives(std::string_view oldBytes, std::string_view newBytes) {
  std::vector<Match> merged;
  for (const Match& m : findMatches(oldBytes, newBytes)) {
    if (!merged.empty() && merged.back().oldAt - merged.back().newAt == m.oldAt - m.newAt) {
      merged.back().len = m.newAt + m.len - merged.back().newAt;
    } else {
      merged.push_back(m);
    }
  }
  const std::uint64_t n = newBytes.size();
  std::vector<PatchRecord> records;
  if (n == 0) return records;
  if (merged.empty()) return {{0, n, 0}};
  if (merged[0].newAt != 0 || merged[0].oldAt != 0) {
    records.push_back({0, merged[0].newAt, static_cast<std::int64_t>(merged[0].oldAt)});
  }
  for (std::size_t k = 0; k < merged.size(); ++k) {
    const Match& m = merged[k];
    const bool more = k + 1 < merged.size();
    const std::uint64_t end = m.newAt + m.len;
    records.push_back({m.len, (more ? merged[k + 1].newAt : n) - end,
                       more ? static_cast<std::int64_t>(merged[k + 1].oldAt) - static_cast<std::int64_t>(m.oldAt + m.len)
                            : 0});
  }
  return records;
}

std::string makePatch(std::string_view oldBytes, std::string_view newBytes, int level) {
  const std::vector<PatchRecord> records = matchArchives(oldBytes, newBytes);
  std::uint64_t adds = 0;
  std::uint64_t copies = 0;
  for (const PatchRecord& r : records) {
    adds += r.add;
    copies += r.copy;
  }
  FrameSpec shape;
  shape.level = level;
  Compressor diff(shape, adds);
  Compressor extra(shape, copies);
  std::string chunk;
  std::uint64_t newAt = 0;
  std::int64_t oldAt = 0;
  for (const PatchRecord& r : records) {
    for (std::uint64_t done = 0; done < r.add;) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(r.add - done, 1 << 20));
      chunk.resize(take);
      for (std::size_t t = 0; t < take; ++t) {
        chunk[t] = static_cast<char>(newBytes[newAt + done + t] - oldBytes[static_cast<std::uint64_t>(oldAt) + done + t]);
      }
      diff.add(chunk);
      done += take;
    }
    newAt += r.add;
    oldAt += static_cast<std::int64_t>(r.add);
    extra.add(newBytes.substr(newAt, r.copy));
    newAt += r.copy;
    oldAt += r.seek;
  }
  return patchFile(zstdFrame(controlBytes(records), shape), diff.finish(), extra.finish(), newBytes.size());
}

}  // namespace tl::test
