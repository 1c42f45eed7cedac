#include "update/download/update_download.h"

#include <memory>
#include <optional>

#include "common/out_of_memory.h"
#include "platform/cancel_token.h"
#include "platform/io_context.h"
#include "platform/task.h"
#include "update/download/http_transfer.h"
#include "update/download/limited_body_reader.h"
#include "update/download/update_redirect.h"
#include "update/download/update_url.h"

namespace tl {

namespace {

Status receiveBody(HttpTransfer& transfer, std::uint64_t budget, const DownloadConsumer& consume) {
  const std::optional<std::uint64_t> length = transfer.head().contentLength;
  if (length && *length > budget) return Error::UpdateDownloadTooLarge;
  std::unique_ptr<LimitedBodyReader> body = TRY(LimitedBodyReader::create(transfer, budget));
  Status consumed = consume(*body);
  if (!consumed.ok()) {
    // A canceled read is not the cause: a cancel from outside is reported by
    // whoever canceled, and a consumer that gave up canceled it itself.
    const std::optional<Error> recorded = body->recordedError();
    return recorded && *recorded != Error::Canceled ? *recorded : consumed.error();
  }
  TRY(body->discardRest());
  if (body->bytesTaken() == 0) return Error::EmptyUpdateDownload;
  // libcurl stops at the Content-Length, so only fewer bytes can show here.
  if (length && *length != body->bytesTaken()) return Error::TruncatedUpdateDownload;
  return success();
}

}  // namespace

Status downloadUpdateArtifact(std::string_view urlText, std::uint64_t budget, const DownloadConsumer& consume) {
  if (io().canceled()) return Error::Canceled;
  UpdateUrl url = TRY(parseUpdateUrl(urlText));
  for (int redirects = 0;;) {
    std::unique_ptr<HttpTransfer> transfer = TRY(HttpTransfer::open(url));
    const long status = transfer->head().status;
    if (isUpdateRedirectStatus(status)) {
      if (redirects == kMaxUpdateRedirects) return Error::TooManyUpdateRedirects;
      url = TRY(followUpdateRedirect(url, transfer->head().location));
      ++redirects;
      continue;  // the connection goes with the transfer
    }
    if (status == 404) return Error::UpdateArtifactNotFound;
    if (status != 200) return Error::UpdateHttpStatus;
    return receiveBody(*transfer, budget, consume);
  }
}

void abandonDownload() {
  if (const CancelToken* task = currentCancelToken()) {
    CancelToken own = *task;
    own.cancel();
  }
}

Status downloadUpdateFile(std::string_view url, const DownloadConsumer& consume, std::uint64_t budget) {
  TRY(parseUpdateUrl(url));
  const std::uint64_t deadline = io().nowMs() + kUpdateDownloadDeadlineMs;
  // An allocation failure must not leave the task's thread as a throw.
  Task task = TRY(Task::start([url, &consume, budget] {
    return catchingOutOfMemory([&] { return downloadUpdateArtifact(url, budget, consume); });
  }));
  const bool ended = task.waitUntil(deadline);
  if (!ended || io().nowMs() >= deadline) return Error::UpdateDownloadTimeout;
  if (io().canceled()) return Error::Canceled;
  return task.result();
}

}  // namespace tl
