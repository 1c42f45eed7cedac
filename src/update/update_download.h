#pragma once
// Downloading one file of an update: the redirect policy, the status rules,
// the size budget, and the 600-second deadline around it all.
//
// The body goes to a consumer as a PullReader, read on the download task's
// thread: the file sink (pumpDownloadToFile) or the full-archive unpacker
// (zstd and the tar reader over that reader). When the consumer returns, the
// rest of the body is read and dropped, and the bytes are counted against
// the Content-Length.
#include <cstdint>
#include <functional>
#include <string_view>

#include "archive/pull_reader.h"
#include "common/result.h"

namespace tl {

using DownloadConsumer = std::function<Status(PullReader& body)>;

inline constexpr std::uint64_t kUpdateDownloadBudget = 17'179'869'184;  // 16 GiB of body
inline constexpr std::uint64_t kUpdateDownloadDeadlineMs = 600'000;

// GETs url (following at most five redirects by the update policy) and hands
// a 200 response's body to consume. UpdateArtifactNotFound for 404,
// UpdateHttpStatus for any other status; UpdateDownloadTooLarge when the
// Content-Length or the body passes budget (the former before the consumer
// sees a byte); EmptyUpdateDownload for no body byte at all;
// TruncatedUpdateDownload for fewer bytes than the Content-Length. A failed
// consumer's error comes back unless the body reader recorded one of its own
// (too large, cut short, canceled, a connection error), which comes first.
// Connection and TLS failures come back as their named errors. Whatever the
// consumer wrote stays: cleaning up is the caller's.
[[nodiscard]] Status downloadUpdateArtifact(std::string_view url, std::uint64_t budget,
                                            const DownloadConsumer& consume);

// downloadUpdateArtifact with the 16 GiB budget, run as a concurrent task of
// the IoContext against a deadline of 600 seconds on its clock from the
// start. When the deadline passes, the task is canceled and this returns
// UpdateDownloadTimeout only once the task has ended: nothing writes through
// the consumer after the return. Canceled when the process (or the calling
// task) is canceled; ConcurrencyUnavailable when no task can be started.
// (Tests expire the deadline by moving the fake clock past it.)
[[nodiscard]] Status downloadUpdateFile(std::string_view url, const DownloadConsumer& consume);

}  // namespace tl
