#pragma once
// One HTTP/1.1 GET of an update URL, driven by whichever thread reads:
// open() returns with the response head, and the body is then pulled
// through read(). Nothing moves between reads, and memory stays flat
// whatever the body's size.
//
// The request carries exactly the headers host, user-agent, connection:
// close and accept-encoding: identity; no proxy is used (whatever the
// environment says), no redirect is followed (the caller has its own
// policy), https needs TLS 1.2 or later verified against the trusted roots
// of platform/tls_roots.h.
//
// Canceling the task that opened the transfer, or the process, ends it at
// once with Canceled, from whichever thread reads.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "archive/pull_reader.h"
#include "common/result.h"
#include "update/download/update_url.h"

namespace tl {

// Sets up the HTTP client library for the process. main calls it at start,
// before any other thread runs; opening a transfer calls it too, and only the
// first call does anything.
void initHttpClient();

class HttpTransfer final : public PullReader {
 public:
  struct Head {
    long status = 0;
    // The first Location header's value with the white space around it
    // removed, when there is one.
    std::optional<std::string> location;
    std::optional<std::uint64_t> contentLength;
  };

  // Connects, sends the request and waits for the response head. Connection,
  // TLS and protocol failures come back as their named errors.
  [[nodiscard]] static Result<std::unique_ptr<HttpTransfer>> open(const UpdateUrl& url);
  ~HttpTransfer() override;
  HttpTransfer(const HttpTransfer&) = delete;
  HttpTransfer& operator=(const HttpTransfer&) = delete;

  const Head& head() const;
  // The body's bytes; 0 at its end. A body that ends short of its
  // Content-Length is TruncatedUpdateDownload.
  Result<std::size_t> read(void* buf, std::size_t n) override;

  struct State;

 private:
  explicit HttpTransfer(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace tl
