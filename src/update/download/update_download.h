#pragma once
// Downloading one file of an update: the redirect policy, the status rules,
// the size budget, and the 600-second deadline around it all. The body goes
// to a consumer as a PullReader, read on the download task's thread; what
// the consumer leaves unread is read and dropped, and counted against the
// Content-Length.
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
// (too large, cut short, a connection error), which comes first; a canceled
// read does not hide the consumer's error.
// Connection and TLS failures come back as their named errors. Whatever the
// consumer wrote stays: cleaning up is the caller's.
[[nodiscard]] Status downloadUpdateArtifact(std::string_view url, std::uint64_t budget,
                                            const DownloadConsumer& consume);

// downloadUpdateArtifact run as a task of the IoContext against a deadline
// of 600 seconds on its clock: UpdateDownloadTimeout when it passes, returned
// only once the task has ended, so nothing writes through the consumer after
// the return. Canceled when the process (or the calling task) is canceled;
// ConcurrencyUnavailable when no task can be started.
[[nodiscard]] Status downloadUpdateFile(std::string_view url, const DownloadConsumer& consume,
                                        std::uint64_t budget = kUpdateDownloadBudget);

// For a consumer that gives up on the body: cancels the download task it
// runs in, so that a read of the body blocked in the network (on any thread
// of the task) ends now rather than at the deadline. The consumer's own
// error stays the download's outcome. Outside a task it does nothing.
void abandonDownload();

}  // namespace tl
