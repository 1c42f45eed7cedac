// Streams a large body from the loopback test server into a consumer that
// only counts, and prints how far the peak resident memory rose (it must not
// grow with the body: the body streams through a 64 KiB buffer) and the
// throughput against `curl -s URL > /dev/null` on the same server.
//
//   download_bench [MiB]        (default 1024)
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../tests/update/http_test_server.h"
#include "platform/io_context.h"
#include "update/download/http_transfer.h"
#include "update/download/update_download.h"

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

long peakRssKiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Seconds for one download of url into a counting consumer; exits on failure.
double download(const std::string& url, std::uint64_t expect) {
  std::uint64_t counted = 0;
  const auto start = std::chrono::steady_clock::now();
  tl::Status st = tl::downloadUpdateFile(url, [&](tl::PullReader& body) -> tl::Status {
    static char buf[1 << 16];
    for (;;) {
      const std::size_t got = TRY(body.read(buf, sizeof buf));
      if (got == 0) return tl::success();
      counted += got;
    }
  });
  const double s = secondsSince(start);
  if (!st.ok() || counted != expect) {
    std::fprintf(stderr, "download failed: %s, %llu bytes\n", st.ok() ? "ok" : std::string(tl::errorName(st.error())).c_str(),
                 static_cast<unsigned long long>(counted));
    std::exit(1);
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  tl::initHttpClient();
  const std::string source(__FILE__);
  tl::test::HttpTestServer server(source.substr(0, source.rfind('/')) + "/../tests/update/http_test_server.py");
  const std::string base = "http://127.0.0.1:" + server.port("http") + "/bytes/";

  const long before = peakRssKiB();
  download(base + std::to_string(64 * kMiB), 64 * kMiB);
  const long afterSmall = peakRssKiB();
  const std::uint64_t bytes = mib * kMiB;
  const double ours = download(base + std::to_string(bytes), bytes);
  const long afterLarge = peakRssKiB();

  // The server answers only requests with exactly the four headers of ours.
  const std::string command = "curl -s -f -H 'Accept:' -H 'accept-encoding: identity' -H 'connection: close' "
                              "-A 'qov/0.17.0 (std.http)' " + base + std::to_string(bytes) + " > /dev/null";
  const auto start = std::chrono::steady_clock::now();
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "curl failed\n");
    return 1;
  }
  const double curl = secondsSince(start);

  std::printf("peak RSS: %ld KiB at start, %ld KiB after 64 MiB, %ld KiB after %llu MiB\n", before, afterSmall,
              afterLarge, static_cast<unsigned long long>(mib));
  std::printf("%llu MiB: downloadUpdateFile %.2f s (%.0f MiB/s), curl %.2f s (%.0f MiB/s), ratio %.2f\n",
              static_cast<unsigned long long>(mib), ours, static_cast<double>(mib) / ours, curl,
              static_cast<double>(mib) / curl, ours / curl);
  return 0;
}
