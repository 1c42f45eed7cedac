// The whole delta road over a 300 MiB installed application: the installed
// archive rebuilt in memory from the unpacked files and their recipe, the
// patch downloaded from the loopback test server, the new archive streamed
// through the patched reader into the tar unpacker and the stage. Compared
// with `zstd -d --patch-from` piped into `tar -x` on the same archive pair,
// each in a process of its own: MiB/s of new archive and peak memory.
//
//   delta_preparation_bench [folder] [MiB]
//
// The folder defaults to /tmp, the installed archive to 300 MiB: a few large
// files and many small ones of pseudo-random (incompressible) bytes. The new
// version edits a few bytes of the large files, replaces and adds some small
// ones and drops others. The patch is made by build/make_patch, the zstd one
// by `zstd --patch-from`. Memory should stay near the old archive's size
// plus fixed buffers. --rebuild times the in-memory rebuild alone.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../tests/update/http_test_server.h"
#include "archive/file_pull_reader.h"
#include "archive/tar_reader.h"
#include "child_run.h"
#include "platform/fs.h"
#include "platform/io_context.h"
#include "pseudo_random.h"
#include "support/tar_builder.h"
#include "update/download/http_transfer.h"
#include "update/patch/base_archive.h"
#include "update/prepare/delta_preparation.h"
#include "update/prepare/update_recipe_file.h"

namespace {

using tl::bench::ChildRun;
using tl::bench::runChild;

namespace stdfs = std::filesystem;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr const char* kRoot = "DemoApp";
constexpr const char* kId = "com.example.bench";

std::string versionJson(int k) {
  return std::string("{\"identifier\":\"") + kId + "\",\"channel\":\"stable\",\"version\":\"" + std::to_string(k) +
         "\",\"hash\":\"h" + std::to_string(k) + "\",\"baseUrl\":\"http://127.0.0.1/\"}";
}

std::string archiveOf(int k, const std::vector<std::pair<std::string, std::string>>& files) {
  tl::test::TarBuilder t;
  const std::string root = kRoot;
  t.dir(root).dir(root + "/bin").file(root + "/bin/launcher.exe", "launcher", 0755).dir(root + "/Resources");
  t.file(root + "/Resources/version.json", versionJson(k)).dir(root + "/data").dir(root + "/big");
  for (const auto& [name, bytes] : files) t.file(root + "/" + name, bytes);
  return t.end().bytes();
}

// Three quarters of the bytes in a few large files, the rest in small ones.
void makePair(std::uint64_t bytes, const std::string& oldPath, const std::string& newPath) {
  tl::bench::PseudoRandom rng;
  std::vector<std::pair<std::string, std::string>> files;
  const std::uint64_t large = bytes * 3 / 4 / 4;
  for (int i = 0; i < 4; ++i) files.emplace_back("big/part" + std::to_string(i) + ".pak", rng.bytes(large));
  std::uint64_t total = 4 * large;
  for (int i = 0; total < bytes; ++i) {
    std::string f = rng.bytes(1024 + rng.below(64 * 1024));
    total += f.size();
    files.emplace_back("data/f" + std::to_string(i) + ".bin", std::move(f));
  }
  std::ofstream(oldPath, std::ios::binary) << archiveOf(1, files);
  std::vector<std::pair<std::string, std::string>> next;
  int added = 0;
  for (auto& [name, f] : files) {
    const std::uint64_t roll = rng.below(100);
    if (name.starts_with("big/")) {
      for (int k = 0; k < 64; ++k) f[rng.below(f.size())] ^= 0x5A;
    } else if (roll < 3) {
      continue;  // dropped
    } else if (roll < 8) {
      f = rng.bytes(f.size());  // replaced
    } else if (roll < 10) {
      next.emplace_back("data/new" + std::to_string(added++) + ".bin", rng.bytes(1024 + rng.below(64 * 1024)));
    }
    next.emplace_back(name, std::move(f));
  }
  std::ofstream(newPath, std::ios::binary) << archiveOf(2, next);
}

std::string win(const stdfs::path& p) { return tl::fs::windowsPath(p.string()); }

// The old version unpacked as an installation: <channel>\app and its recipe
// in <channel>\self-extraction.
int install(const stdfs::path& channel, const std::string& oldPath) {
  tl::IoContext ctx;
  tl::setIo(&ctx);
  stdfs::create_directories(channel / "self-extraction");
  auto folder = tl::fs::openDir(win(channel));
  auto tar = tl::fs::openFileRead(win(oldPath));
  if (!folder.ok() || !tar.ok()) return 2;
  tl::FilePullReader reader(*tar);
  tl::ArchiveDestination dest(*folder);
  auto extracted = tl::extractTarArchive(reader, stdfs::file_size(oldPath), &dest);
  if (!extracted.ok()) return 3;
  dest.root.close();
  stdfs::rename(channel / kRoot, channel / "app");
  auto selfExtraction = tl::fs::openDir(win(channel / "self-extraction"));
  if (!selfExtraction.ok()) return 4;
  return tl::writeRecipeFileAtomically(*selfExtraction, "h1.recipe.json", extracted->recipe).ok() ? 0 : 5;
}

tl::Result<tl::UpdateRecipe> installedRecipe(const stdfs::path& channel) {
  auto selfExtraction = TRY(tl::fs::openDir(win(channel / "self-extraction")));
  std::string text(stdfs::file_size(channel / "self-extraction/h1.recipe.json"), '\0');
  std::ifstream(channel / "self-extraction/h1.recipe.json", std::ios::binary).read(text.data(), text.size());
  return tl::parseRecipe(text);
}

int rebuildOnly(const stdfs::path& channel) {
  tl::IoContext ctx;
  tl::setIo(&ctx);
  auto recipe = installedRecipe(channel);
  auto app = tl::fs::openDir(win(channel / "app"));
  if (!recipe.ok() || !app.ok()) return 2;
  const auto start = std::chrono::steady_clock::now();
  auto buffer = tl::rebuildArchiveInMemory(*recipe, *app);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!buffer.ok()) return 3;
  std::printf("  (rebuild alone: %.2f s, %.0f MiB/s of old archive)\n", s, buffer->size() / kMiB / s);
  return 0;
}

int delta(const stdfs::path& channel, const std::string& baseUrl, const std::string& expectedSha) {
  tl::IoContext ctx;
  tl::setIo(&ctx);
  tl::initHttpClient();
  tl::PreparationState st;
  tl::PrepareUpdateRequest& r = st.request.request;
  r.schema_version = 1;
  r.transaction_id = "0123456789abcdef0123456789abcdef";
  r.identifier = kId;
  r.channel = "stable";
  r.platform = "win";
  r.arch = "x64";
  r.version = "2";
  r.hash = "h2";
  r.base_hash = "h1";
  r.base_url = baseUrl;
  st.request.bundle_name = "app";
  st.stageName = "app.prepare-" + r.transaction_id;
  auto selfExtraction = tl::fs::openDir(win(channel / "self-extraction"));
  auto parent = tl::fs::openDir(win(channel));
  if (!selfExtraction.ok() || !parent.ok()) return 2;
  st.selfExtraction = selfExtraction.take();
  st.bundleParent = parent.take();
  auto staged = tl::buildUpdatedArchive(st);
  if (!staged.ok()) {
    std::printf("delta road: %s\n", std::string(tl::errorName(staged.error())).c_str());
    return 3;
  }
  return staged->recipe.archive_sha256 == expectedSha ? 0 : 4;
}

std::string sha256Of(const std::string& path) {
  std::string text(stdfs::file_size(path), '\0');
  std::ifstream(path, std::ios::binary).read(text.data(), text.size());
  return tl::sha256Hex(text);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--make-pair") {
    makePair(std::stoull(argv[2]), argv[3], argv[4]);
    return 0;
  }
  if (argc == 4 && std::string(argv[1]) == "--install") return install(argv[2], argv[3]);
  if (argc == 3 && std::string(argv[1]) == "--rebuild") return rebuildOnly(argv[2]);
  if (argc == 5 && std::string(argv[1]) == "--delta") return delta(argv[2], argv[3], argv[4]);
  const std::string base = argc > 1 ? argv[1] : "/tmp";
  const std::uint64_t mib = argc > 2 ? std::stoull(argv[2]) : 300;
  std::string templ = base + "/tl-delta-bench-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const stdfs::path dir = templ;
  const std::string oldPath = dir / "old.tar", newPath = dir / "new.tar", zstdPath = dir / "new.tar.zst";
  const stdfs::path channel = dir / "channel", plain = dir / "plain";
  const std::string self = stdfs::canonical("/proc/self/exe").string();
  const std::string maker = (stdfs::path(self).parent_path() / "make_patch").string();
  const std::string source(__FILE__);
  tl::test::HttpTestServer server(source.substr(0, source.rfind("/bench/")) + "/tests/update/http_test_server.py");
  const std::string patchPath = server.filesFolder() + "/stable-win-x64-h1.patch";

  // Children started by a process with a large peak would report it as
  // their own, so this one stays small: the pair is made by a child too.
  if (runChild({self, "--make-pair", std::to_string(mib << 20), oldPath, newPath}).status != 0) return 1;
  const double newMiB = static_cast<double>(stdfs::file_size(newPath)) / kMiB;
  const double oldMiB = static_cast<double>(stdfs::file_size(oldPath)) / kMiB;
  const ChildRun made = runChild({maker, oldPath, newPath, patchPath});
  const ChildRun zmade = runChild({"zstd", "-q", "-q", "-f", "--patch-from=" + oldPath, newPath, "-o", zstdPath});
  if (made.status != 0 || zmade.status != 0 || runChild({self, "--install", channel, oldPath}).status != 0) {
    std::printf("setting up failed (make_patch %d, zstd %d)\n", made.status, zmade.status);
    return 1;
  }
  std::printf("old %.1f MiB, new %.1f MiB; patch %.2f MiB, zstd --patch-from %.2f MiB\n", oldMiB, newMiB,
              static_cast<double>(stdfs::file_size(patchPath)) / kMiB,
              static_cast<double>(stdfs::file_size(zstdPath)) / kMiB);
  runChild({self, "--rebuild", channel});

  const std::string url = "http://127.0.0.1:" + server.port("http") + "/files";
  const ChildRun ours = runChild({self, "--delta", channel, url, sha256Of(newPath)});
  stdfs::create_directories(plain);
  const ChildRun theirs = runChild({"sh", "-c",
                                   "zstd -q -q -d -c --long=31 --patch-from='" + oldPath + "' '" + zstdPath +
                                       "' | tar -x -f - -C '" + plain.string() + "'"});
  if (ours.status != 0 || theirs.status != 0) {
    std::printf("failed (delta road %d, zstd | tar %d)\n", ours.status, theirs.status);
    return 1;
  }
  std::printf(
      "delta road:                  %.2f s (CPU %.2f s), %.0f MiB/s of new archive, peak %.1f MiB (old archive %.1f + "
      "%.1f)\n",
      ours.seconds, ours.cpuSeconds, newMiB / ours.seconds, ours.peakMiB, oldMiB, ours.peakMiB - oldMiB);
  std::printf("zstd -d --patch-from | tar:  %.2f s (CPU %.2f s), %.0f MiB/s of new archive, peak %.1f MiB\n",
              theirs.seconds, theirs.cpuSeconds, newMiB / theirs.seconds, theirs.peakMiB);
  std::printf("ratios (delta road / plain tools): time %.2f, CPU %.2f, throughput %.2f, peak memory %.2f\n",
              ours.seconds / theirs.seconds, ours.cpuSeconds / theirs.cpuSeconds, theirs.seconds / ours.seconds,
              ours.peakMiB / theirs.peakMiB);
  std::error_code ec;
  stdfs::remove_all(dir, ec);
  return 0;
}
