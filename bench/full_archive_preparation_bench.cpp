// The full road of --prepare-update over a 300 MiB application: the
// compressed archive downloaded from the loopback test server and, as it
// streams in, decoded and unpacked into the stage, then the staged
// application checked. Compared with `curl -s URL | zstd -dc | tar -x`
// followed by `sync`, each in a process of its own: wall time, CPU time and
// peak memory, as ratios. The road runs again over an archive a third the
// size, to show that its memory does not grow with the archive.
//
//   full_archive_preparation_bench [folder] [MiB]
//
// The folder defaults to /tmp (a disk: the road syncs what it writes), the
// application to 300 MiB: 10,000 small files and the rest in files of
// 4 MiB, half of their bytes pseudo-random, compressed by `zstd -3`.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "../tests/update/http_test_server.h"
#include "child_run.h"
#include "platform/io_context.h"
#include "support/tar_builder.h"
#include "update/download/http_transfer.h"
#include "update/prepare/full_archive_preparation.h"

namespace {

using tl::bench::ChildRun;
using tl::bench::runChild;

namespace stdfs = std::filesystem;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr const char* kId = "com.example.bench";

// DemoApp as the road expects it (version.json of build h2, a launcher),
// 10,000 files of up to 16 KiB (about 80 MiB) and files of 4 MiB up to
// `bytes`: archives of any size have the same number of small files, so
// the recipe, which grows with the entries, is the same size.
void makeArchive(std::uint64_t bytes, const std::string& path) {
  std::mt19937_64 rng(42);
  tl::test::TarBuilder t;
  t.dir("DemoApp").dir("DemoApp/bin").file("DemoApp/bin/launcher.exe", "launcher", 0755).dir("DemoApp/Resources");
  t.file("DemoApp/Resources/version.json", std::string("{\"identifier\":\"") + kId +
                                               "\",\"channel\":\"stable\",\"version\":\"2\",\"hash\":\"h2\"}");
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < 10000 || total < bytes; ++i) {
    const std::string folder = "DemoApp/d" + std::to_string(i % 50);
    if (i < 50) t.dir(folder);
    std::string data(i < 10000 ? rng() % 16384 : 4u << 20, '\0');
    for (std::size_t k = 0; k < data.size(); k += 2) data[k] = static_cast<char>(rng());
    total += data.size();
    t.file(folder + "/f" + std::to_string(i), data);
  }
  std::ofstream(path, std::ios::binary) << t.end().bytes();
}

int fullRoad(const std::string& channel, const std::string& baseUrl, const std::string& artifact) {
  tl::IoContext ctx;
  tl::setIo(&ctx);
  tl::initHttpClient();
  tl::PreparationState st;
  tl::PrepareUpdateRequest& r = st.request.request;
  r.transaction_id = "0123456789abcdef0123456789abcdef";
  r.identifier = kId;
  r.channel = "stable";
  r.version = "2";
  r.hash = "h2";
  r.base_url = baseUrl;
  r.artifact_file = artifact;
  st.stageName = "app.prepare-" + r.transaction_id;
  auto parent = tl::fs::openDir(tl::fs::windowsPath(channel));
  if (!parent.ok()) return 2;
  st.bundleParent = parent.take();
  auto staged = tl::prepareFullArchive(st);
  if (!staged.ok()) {
    std::printf("full road: %s\n", std::string(tl::errorName(staged.error())).c_str());
    return 3;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--make") {
    makeArchive(std::stoull(argv[2]), argv[3]);
    return 0;
  }
  if (argc == 5 && std::string(argv[1]) == "--full") return fullRoad(argv[2], argv[3], argv[4]);
  const std::string base = argc > 1 ? argv[1] : "/tmp";
  const std::uint64_t mib = argc > 2 ? std::stoull(argv[2]) : 300;
  std::string templ = base + "/tl-full-bench-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const stdfs::path dir = templ;
  const std::string self = stdfs::canonical("/proc/self/exe").string();
  const std::string source(__FILE__);
  tl::test::HttpTestServer server(source.substr(0, source.rfind("/bench/")) + "/tests/update/http_test_server.py");
  const std::string url = "http://127.0.0.1:" + server.port("http") + "/files";

  // Two sizes; the archives are made by a child so that this process stays small.
  struct Size {
    std::uint64_t mib;
    std::string artifact;
    double tarMiB = 0;
    ChildRun ours;
  } sizes[] = {{mib / 3, "stable-win-x64-small.tar.zst"}, {mib, "stable-win-x64-2.tar.zst"}};
  for (Size& s : sizes) {
    const std::string tar = (dir / "app.tar").string(), served = server.filesFolder() + "/" + s.artifact;
    if (runChild({self, "--make", std::to_string(s.mib << 20), tar}).status != 0 ||
        runChild({"zstd", "-q", "-q", "-f", "-3", "-T0", tar, "-o", served}).status != 0) {
      std::printf("making the archive failed\n");
      return 1;
    }
    s.tarMiB = static_cast<double>(stdfs::file_size(tar)) / kMiB;
    stdfs::remove(tar);
    const stdfs::path channel = dir / ("channel-" + std::to_string(s.mib));
    stdfs::create_directories(channel);
    runChild({"sync"});
    s.ours = runChild({self, "--full", channel.string(), url, s.artifact});
    if (s.ours.status != 0) return 1;
  }
  const Size& big = sizes[1];
  const stdfs::path plain = dir / "plain";
  stdfs::create_directories(plain);
  runChild({"sync"});
  // The test server answers only the request headers the road sends.
  const std::string curl = "curl -s -f -H 'Accept:' -H 'accept-encoding: identity' -H 'connection: close' ";
  const ChildRun theirs = runChild({"sh", "-c",
                                    curl + "'" + url + "/" + big.artifact + "' | zstd -q -d -c | tar -x -f - -C '" +
                                        plain.string() + "' && sync"});
  if (theirs.status != 0) {
    std::printf("curl | zstd | tar failed (%d)\n", theirs.status);
    return 1;
  }
  std::printf("archive %.1f MiB (compressed %.1f MiB)\n", big.tarMiB,
              static_cast<double>(stdfs::file_size(server.filesFolder() + "/" + big.artifact)) / kMiB);
  const char* line = "%-28s %.2f s (CPU %.2f s), %.0f MiB/s of archive, peak %.1f MiB%s\n";
  std::printf(line, "full road:", big.ours.seconds, big.ours.cpuSeconds, big.tarMiB / big.ours.seconds,
              big.ours.peakMiB, "");
  std::printf(line, "curl | zstd -dc | tar; sync:", theirs.seconds, theirs.cpuSeconds, big.tarMiB / theirs.seconds,
              theirs.peakMiB, " (its largest process)");
  std::printf("ratios (full road / plain tools): time %.2f, CPU %.2f\n", big.ours.seconds / theirs.seconds,
              big.ours.cpuSeconds / theirs.cpuSeconds);
  std::printf("peak memory of the road: %.1f MiB for %.0f MiB of archive, %.1f MiB for %.0f MiB (ratio %.2f)\n",
              sizes[0].ours.peakMiB, sizes[0].tarMiB, big.ours.peakMiB, big.tarMiB,
              big.ours.peakMiB / sizes[0].ours.peakMiB);
  std::error_code ec;
  stdfs::remove_all(dir, ec);
  return 0;
}
