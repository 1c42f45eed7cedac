#include "update/download/update_download.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "common/ascii_case.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"
#include "update/download/download_pump.h"
#include "update/http_test_server.h"

namespace tl {
namespace {

// The server's body bytes: i % 251 at offset i, restarting every 64 KiB.
bool matchesPattern(const char* p, std::size_t n, std::uint64_t offset) {
  for (std::size_t i = 0; i < n; ++i) {
    if (static_cast<unsigned char>(p[i]) != ((offset + i) % 65536) % 251) return false;
  }
  return true;
}

// Reads the whole body, checking the bytes.
struct CountingConsumer {
  std::uint64_t bytes = 0;
  bool called = false;
  bool intact = true;
  Status operator()(PullReader& body) {
    called = true;
    char buf[8192];
    for (;;) {
      const std::size_t got = TRY(body.read(buf, sizeof buf));
      if (got == 0) return success();
      intact = intact && matchesPattern(buf, got, bytes);
      bytes += got;
    }
  }
};

class UpdateDownloadTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new test::HttpTestServer(TL_SOURCE_DIR "/tests/update/http_test_server.py");
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override { env::setVar("SSL_CERT_FILE", server_->caFile()); }
  void TearDown() override { env::setVar("SSL_CERT_FILE", std::nullopt); }

  // "{http}", "{https}", "{https_other_ca}" and "{https_wrong_name}" become
  // the servers' ports.
  static std::string url(std::string text) {
    for (const char* name : {"https_other_ca", "https_wrong_name", "https", "http"}) {
      const std::string key = std::string("{") + name + "}";
      for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), server_->port(name));
    }
    return text;
  }

  static test::HttpTestServer* server_;
};

test::HttpTestServer* UpdateDownloadTest::server_ = nullptr;

struct DownloadCase {
  std::string url;
  std::uint64_t budget;      // 0: the 16 GiB of downloads
  std::string expect;        // "ok" or the error's name
  std::uint64_t bytes;       // what the consumer got
  bool consumerCalled;
};

TEST_F(UpdateDownloadTest, StatusRedirectsBudgetAndLength) {
  const std::string h = "http://127.0.0.1:{http}";
  const std::string s = "https://127.0.0.1:{https}";
  const DownloadCase cases[] = {
      {h + "/bytes/200000", 0, "ok", 200000, true},
      {h + "/chunked/100000", 0, "ok", 100000, true},
      {h + "/unsized/1000", 0, "ok", 1000, true},
      {h + "/chain/5/10", 0, "ok", 10, true},
      {h + "/chain/6/10", 0, "TooManyUpdateRedirects", 0, false},
      {h + "/location?/bytes/7", 0, "ok", 7, true},
      {h + "/location?http://localhost:{http}/bytes/3", 0, "ok", 3, true},
      {h + "/location?http://127.0.0.1:1/bytes/3", 0, "UnsafeUpdateRedirect", 0, false},
      {h + "/redirect-odd/missing", 0, "UpdateRedirectLocationMissing", 0, false},
      {h + "/redirect-odd/empty", 0, "InvalidUpdateRedirect", 0, false},
      {h + "/redirect-odd/long", 0, "InvalidUpdateRedirect", 0, false},
      {h + "/redirect-odd/space", 0, "InvalidUpdateRedirect", 0, false},
      {h + "/redirect-odd/backslash", 0, "InvalidUpdateRedirect", 0, false},
      {h + "/redirect-odd/control", 0, "InvalidUpdateRedirect", 0, false},
      {h + "/status/404", 0, "UpdateArtifactNotFound", 0, false},
      {h + "/status/304", 0, "UpdateHttpStatus", 0, false},
      {h + "/status/500", 0, "UpdateHttpStatus", 0, false},
      {h + "/bytes/0", 0, "EmptyUpdateDownload", 0, true},
      {h + "/unsized/0", 0, "EmptyUpdateDownload", 0, true},
      {h + "/lie/10/9", 0, "TruncatedUpdateDownload", 0, true},
      {h + "/lie/10/0", 0, "TruncatedUpdateDownload", 0, true},
      {h + "/lie/17179869185/10", 0, "UpdateDownloadTooLarge", 0, false},
      {h + "/bytes/1000", 1000, "ok", 1000, true},
      {h + "/bytes/1001", 1000, "UpdateDownloadTooLarge", 0, false},
      {h + "/unsized/100000", 1000, "UpdateDownloadTooLarge", 0, true},
      {h + "/chunked/100000", 99999, "UpdateDownloadTooLarge", 65536, true},
      {s + "/bytes/70000", 0, "ok", 70000, true},
      {"https://localhost:{https}/bytes/5", 0, "ok", 5, true},
      {s + "/location?https://localhost:{https}/bytes/5", 0, "ok", 5, true},
      {s + "/location?http://127.0.0.1:{http}/bytes/5", 0, "UpdateRedirectDowngrade", 0, false},
      {"https://127.0.0.1:{https_other_ca}/bytes/5", 0, "TlsCertificateUntrusted", 0, false},
      {"https://127.0.0.1:{https_wrong_name}/bytes/5", 0, "TlsCertificateHostMismatch", 0, false},
      {"http://127.0.0.1:1/bytes/5", 0, "ConnectionRefused", 0, false},
  };
  for (const DownloadCase& c : cases) {
    const std::string target = url(c.url);
    CountingConsumer consumer;
    Status st = downloadUpdateArtifact(target, c.budget ? c.budget : kUpdateDownloadBudget,
                                       [&](PullReader& body) { return consumer(body); });
    EXPECT_EQ(st.ok() ? "ok" : std::string(errorName(st.error())), c.expect) << target;
    EXPECT_EQ(consumer.called, c.consumerCalled) << target;
    EXPECT_EQ(consumer.bytes, c.bytes) << target;
    EXPECT_TRUE(consumer.intact) << target;
  }
}

TEST_F(UpdateDownloadTest, SendsExactlyTheFourHeaders) {
  std::string seen;
  Status st = downloadUpdateFile(url("http://localhost:{http}/echo-headers"), [&](PullReader& body) -> Status {
    char buf[1024];
    for (std::size_t got; (got = TRY(body.read(buf, sizeof buf))) > 0;) seen.append(buf, got);
    return success();
  });
  ASSERT_TRUE(st.ok()) << errorName(st.error());
  // Header names compare without regard to case (libcurl writes "Host").
  for (std::size_t line = 0; line < seen.size(); line = seen.find('\n', line) + 1) {
    for (std::size_t i = line; i < seen.size() && seen[i] != ':'; ++i) seen[i] = asciiLowerChar(seen[i]);
  }
  EXPECT_EQ(seen, url("host: 127.0.0.1:{http}\nuser-agent: qov/0.17.0 (std.http)\nconnection: close\n"
                      "accept-encoding: identity\n"));
}

TEST_F(UpdateDownloadTest, MissingRootBundleIsNamed) {
  env::setVar("SSL_CERT_FILE", server_->caFile() + ".missing");
  CountingConsumer consumer;
  Status st = downloadUpdateFile(url("https://127.0.0.1:{https}/bytes/5"), [&](PullReader& b) { return consumer(b); });
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error(), Error::TlsRootsUnavailable);
}

TEST_F(UpdateDownloadTest, PumpsTheBodyIntoAFile) {
  test::TempDir dir;
  Result<fs::File> file = fs::createFile(dir.win("download.part"), true, false);
  ASSERT_TRUE(file.ok());
  Status st = downloadUpdateFile(url("https://localhost:{https}/bytes/200003"),
                                 [&](PullReader& body) { return pumpDownloadToFile(*file, body); });
  ASSERT_TRUE(st.ok()) << errorName(st.error());
  std::ifstream in(dir.host("download.part"), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 200003u);
  EXPECT_TRUE(matchesPattern(bytes.data(), bytes.size(), 0));
}

// The test clock is fake: the body's consumer moves it past the deadline
// while the server holds the rest of the body back.
TEST_F(UpdateDownloadTest, StalledBodyEndsAtTheDeadlineAfterTheTaskEnded) {
  std::atomic<bool> consumerEnded{false};
  std::uint64_t got = 0;
  Status st = downloadUpdateFile(url("http://127.0.0.1:{http}/stall/100000"), [&](PullReader& body) -> Status {
    char buf[8192];
    Status result = success();
    for (;;) {
      Result<std::size_t> r = body.read(buf, sizeof buf);
      if (!r.ok() || *r == 0) {
        if (!r.ok()) result = r.error();
        break;
      }
      if (got == 0) io().sleepMs(kUpdateDownloadDeadlineMs);
      got += *r;
    }
    consumerEnded = true;
    return result;
  });
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error(), Error::UpdateDownloadTimeout);
  EXPECT_TRUE(consumerEnded.load());
  EXPECT_GE(got, 65536u);
  EXPECT_FALSE(io().canceled());  // the task's cancel stays with the task
}

// A cancel from another thread while the body waits for bytes that do not
// come. The time it takes is recorded, not asserted.
TEST_F(UpdateDownloadTest, CancelEndsAStalledTransfer) {
  test::FakeClock clock;
  IoContext ctx;
  ctx.setClock(&clock);
  ScopedIo scoped(ctx);
  std::atomic<std::uint64_t> consumed{0};
  std::atomic<std::int64_t> canceledAt{0};
  std::thread canceler;
  Status st = downloadUpdateFile(url("http://127.0.0.1:{http}/stall/100000"), [&](PullReader& body) -> Status {
    canceler = std::thread([&] {
      while (consumed.load() < 65536) std::this_thread::yield();
      canceledAt = std::chrono::steady_clock::now().time_since_epoch().count();
      ctx.cancel();
    });
    char buf[8192];
    for (;;) {
      const std::size_t got = TRY(body.read(buf, sizeof buf));
      if (got == 0) return success();
      consumed += got;
    }
  });
  const std::int64_t endedAt = std::chrono::steady_clock::now().time_since_epoch().count();
  canceler.join();
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error(), Error::Canceled);
  const auto latency = std::chrono::steady_clock::duration(endedAt - canceledAt.load());
  RecordProperty("cancel_latency_us",
                 std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(latency).count()));
}

}  // namespace
}  // namespace tl
