#include "update/download/http_transfer.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

#include "common/ascii_case.h"
#include "platform/cancel_token.h"
#include "platform/io_context.h"
#include "platform/tls_roots.h"

namespace tl {

namespace {

constexpr char kUserAgent[] = "user-agent: qov/0.17.0 (std.http)";
// How long one wait for the network lasts before the process-wide cancel
// flag is looked at again; a task's cancel wakes the wait at once.
constexpr int kPollMs = 500;
// Verification results that mean the chain was trusted but names another
// host: OpenSSL's "unspecified", which libcurl's own name check leaves, and
// OpenSSL's "hostname mismatch".
constexpr long kX509Unspecified = 1;
constexpr long kX509HostnameMismatch = 62;

std::once_flag g_curlInit;
bool g_curlReady = false;

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

Error errorFromMulti(CURLMcode mc) {
  return mc == CURLM_OUT_OF_MEMORY ? Error::OutOfMemory : Error::TransferFailed;
}

Error errorFromCurl(CURLcode code, CURL* easy) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return Error::InvalidUpdateUrl;
    case CURLE_COULDNT_RESOLVE_HOST:
      return Error::UnknownHostName;
    case CURLE_COULDNT_CONNECT: {
      long osError = 0;
      curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osError);
      if (osError == ENETUNREACH || osError == EHOSTUNREACH) return Error::NetworkUnreachable;
      if (osError == ETIMEDOUT) return Error::ConnectionTimedOut;
      return Error::ConnectionRefused;
    }
    case CURLE_OPERATION_TIMEDOUT:
      return Error::ConnectionTimedOut;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return Error::ConnectionResetByPeer;
    case CURLE_PARTIAL_FILE:
      return Error::TruncatedUpdateDownload;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_BAD_CONTENT_ENCODING:
      return Error::HttpProtocolError;
    case CURLE_PEER_FAILED_VERIFICATION: {
      long verify = 0;
      curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verify);
      if (verify == 0 || verify == kX509Unspecified || verify == kX509HostnameMismatch) {
        return Error::TlsCertificateHostMismatch;
      }
      return Error::TlsCertificateUntrusted;
    }
    case CURLE_SSL_CACERT_BADFILE:
      return Error::TlsRootsUnavailable;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
      return Error::TlsHandshakeFailed;
    case CURLE_OUT_OF_MEMORY:
      return Error::OutOfMemory;
    case CURLE_ABORTED_BY_CALLBACK:
      return Error::Canceled;
    default:
      return Error::TransferFailed;
  }
}

}  // namespace

void initHttpClient() {
  std::call_once(g_curlInit, [] { g_curlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
}

struct HttpTransfer::State {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  CancelToken token;
  std::optional<CancelToken::Waker> waker;

  Head head;
  bool headComplete = false;
  bool done = false;  // the transfer ended; result says how
  CURLcode result = CURLE_OK;

  // Where the write callback puts body bytes during a read.
  char* target = nullptr;
  std::size_t targetCap = 0;
  std::size_t targetLen = 0;
  // Bytes taken from libcurl that did not fit (at most one chunk).
  std::vector<char> pending;
  std::size_t pendingPos = 0;
  bool paused = false;

  ~State() {
    waker.reset();  // no wake-up may reach the multi handle from here on
    if (multi && easy) curl_multi_remove_handle(multi, easy);
    if (easy) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
    if (headers) curl_slist_free_all(headers);
  }

  bool canceled() const { return token.canceled() || io().canceled(); }
  std::size_t pendingLeft() const { return pending.size() - pendingPos; }

  size_t onBody(const char* data, size_t size) {
    const size_t total = size;
    if (pendingLeft() > 0 || (target != nullptr && targetLen == targetCap)) {
      paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    if (target != nullptr) {
      const std::size_t take = size < targetCap - targetLen ? size : targetCap - targetLen;
      std::memcpy(target + targetLen, data, take);
      targetLen += take;
      data += take;
      size -= take;
      if (size == 0) return total;
    }
    // What does not fit waits aside; libcurl is paused with the next chunk.
    try {
      pending.assign(data, data + size);
      pendingPos = 0;
    } catch (const std::bad_alloc&) {
      return 0;  // libcurl ends the transfer with a write error
    }
    return total;
  }

  // False when the line could not be kept (libcurl then ends the transfer).
  bool onHeaderLine(std::string_view line) {
    if (line.substr(0, 5) == "HTTP/") {
      // A new response head (after an interim 1xx one).
      head = Head{};
      headComplete = false;
      const std::size_t space = line.find(' ');
      long status = 0;
      for (std::size_t i = space == std::string_view::npos ? line.size() : space + 1;
           i < line.size() && line[i] >= '0' && line[i] <= '9' && status < 1000; ++i) {
        status = status * 10 + (line[i] - '0');
      }
      head.status = status;
      return true;
    }
    if (trimmed(line).empty()) {
      if (head.status >= 200) headComplete = true;
      return true;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return true;
    if (!head.location && asciiEqualIgnoreCase(line.substr(0, colon), "location")) {
      try {
        head.location = std::string(trimmed(line.substr(colon + 1)));
      } catch (const std::bad_alloc&) {
        return false;
      }
    }
    return true;
  }

  // Runs libcurl until ready() or the transfer's end.
  template <typename Ready>
  Status drive(Ready ready) {
    for (;;) {
      if (canceled()) return Error::Canceled;
      int running = 0;
      CURLMcode mc = curl_multi_perform(multi, &running);
      if (mc != CURLM_OK) return errorFromMulti(mc);
      int queued = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
          done = true;
          result = msg->data.result;
        }
      }
      if (ready() || done) return success();
      mc = curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr);
      if (mc != CURLM_OK) return errorFromMulti(mc);
    }
  }
};

namespace {

size_t writeCallback(char* data, size_t size, size_t count, void* user) {
  return static_cast<HttpTransfer::State*>(user)->onBody(data, size * count);
}

size_t headerCallback(char* data, size_t size, size_t count, void* user) {
  const bool kept = static_cast<HttpTransfer::State*>(user)->onHeaderLine(std::string_view(data, size * count));
  return kept ? size * count : 0;
}

}  // namespace

HttpTransfer::HttpTransfer(std::unique_ptr<State> state) : state_(std::move(state)) {}
HttpTransfer::~HttpTransfer() = default;

const HttpTransfer::Head& HttpTransfer::head() const { return state_->head; }

Result<std::unique_ptr<HttpTransfer>> HttpTransfer::open(const UpdateUrl& url) {
  initHttpClient();
  if (!g_curlReady) return Error::SystemResources;
  std::unique_ptr<State> s(new (std::nothrow) State);
  if (!s) return Error::OutOfMemory;
  if (const CancelToken* task = currentCancelToken()) s->token = *task;
  if (s->canceled()) return Error::Canceled;

  const std::string target = TRY(updateUrlForTransfer(url));
  const std::string hostHeader = "host: " + TRY(updateUrlAuthority(url));
  std::string roots;
  if (url.scheme == "https") roots = TRY(platform::trustedRootBundle());

  s->multi = curl_multi_init();
  s->easy = curl_easy_init();
  if (!s->multi || !s->easy) return Error::OutOfMemory;
  // "Accept:" removes the header libcurl would add by itself.
  for (const char* h : {hostHeader.c_str(), kUserAgent, "connection: close", "accept-encoding: identity", "Accept:"}) {
    curl_slist* grown = curl_slist_append(s->headers, h);
    if (!grown) return Error::OutOfMemory;
    s->headers = grown;
  }

  CURL* e = s->easy;
  bool ok = curl_easy_setopt(e, CURLOPT_URL, target.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_HTTPGET, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_HTTPHEADER, s->headers) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
  // An empty proxy: none, and no proxy variable of the environment is read.
  ok = ok && curl_easy_setopt(e, CURLOPT_PROXY, "") == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, writeCallback) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_WRITEDATA, s.get()) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, headerCallback) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_HEADERDATA, s.get()) == CURLE_OK;
  if (url.scheme == "https") {
    ok = ok && curl_easy_setopt(e, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_CAINFO, roots.c_str()) == CURLE_OK;
    // Only the named bundle: no folder of certificates compiled into libcurl.
    ok = ok && curl_easy_setopt(e, CURLOPT_CAPATH, nullptr) == CURLE_OK;
  }
  if (!ok) return Error::TransferFailed;
  if (CURLMcode mc = curl_multi_add_handle(s->multi, e); mc != CURLM_OK) return errorFromMulti(mc);
  CURLM* multi = s->multi;
  s->waker.emplace(TRY(s->token.onCancel([multi] { curl_multi_wakeup(multi); })));

  State& st = *s;
  TRY(st.drive([&st] { return st.headComplete; }));
  if (!st.headComplete) return st.result != CURLE_OK ? errorFromCurl(st.result, e) : Error::HttpProtocolError;
  curl_off_t length = -1;
  if (curl_easy_getinfo(e, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0) {
    st.head.contentLength = static_cast<std::uint64_t>(length);
  }
  std::unique_ptr<HttpTransfer> t(new (std::nothrow) HttpTransfer(std::move(s)));
  if (!t) return Error::OutOfMemory;
  return t;
}

Result<std::size_t> HttpTransfer::read(void* buf, std::size_t n) {
  State& s = *state_;
  if (n == 0) return std::size_t{0};
  if (s.canceled()) return Error::Canceled;
  if (s.pendingLeft() > 0) {
    const std::size_t take = n < s.pendingLeft() ? n : s.pendingLeft();
    std::memcpy(buf, s.pending.data() + s.pendingPos, take);
    s.pendingPos += take;
    return take;
  }
  s.target = static_cast<char*>(buf);
  s.targetCap = n;
  s.targetLen = 0;
  Status driven = success();
  if (s.paused && !s.done) {
    s.paused = false;
    // May hand over the held-back chunk at once, through the write callback.
    if (curl_easy_pause(s.easy, CURLPAUSE_CONT) != CURLE_OK) driven = Error::TransferFailed;
  }
  if (driven.ok() && s.targetLen == 0) driven = s.drive([&s] { return s.targetLen > 0; });
  const std::size_t got = s.targetLen;
  s.target = nullptr;
  s.targetCap = s.targetLen = 0;
  if (got > 0) return got;
  if (!driven.ok()) return driven.error();
  if (s.result != CURLE_OK) return errorFromCurl(s.result, s.easy);
  return std::size_t{0};
}

}  // namespace tl
