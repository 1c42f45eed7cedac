#include "archive/prefetching_pull_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "common/sha256.h"
#include "platform/thread.h"

namespace tl {
namespace {

// Serves bytes in uneven pieces and fails at a chosen offset.
class UnevenReader final : public PullReader {
 public:
  UnevenReader(std::string bytes, std::size_t failAt) : bytes_(std::move(bytes)), failAt_(failAt) {}
  Result<std::size_t> read(void* buf, std::size_t n) override {
    if (pos_ >= failAt_) return Error::InputOutput;
    std::size_t take = std::min({n, bytes_.size() - pos_, failAt_ - pos_, std::size_t{7919} + pos_ % 13});
    std::memcpy(buf, bytes_.data() + pos_, take);
    pos_ += take;
    return take;
  }

 private:
  std::string bytes_;
  std::size_t failAt_;
  std::size_t pos_ = 0;
};

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131) ^ (i >> 11));
  return s;
}

// Everything the consumer gets, until the end or an error.
Result<std::string> drain(PullReader& r, std::size_t piece) {
  std::string out;
  std::string buf(piece, '\0');
  for (;;) {
    std::size_t got = TRY(r.read(buf.data(), buf.size()));
    if (got == 0) return out;
    out.append(buf.data(), got);
  }
}

TEST(PrefetchingPullReader, DeliversTheStreamInOrderThenTheError) {
  const std::size_t size = PrefetchingPullReader::kChunkSize * 6 + 12345;
  const std::string bytes = pattern(size);
  for (std::size_t piece : {std::size_t{1000}, std::size_t{65536}, std::size_t{3} << 20}) {
    UnevenReader inner(bytes, SIZE_MAX);
    PrefetchingPullReader r(inner);
    auto all = drain(r, piece);
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(*all, bytes) << piece;
  }
  // An error arrives only after every byte before it.
  UnevenReader failing(bytes, size / 2);
  PrefetchingPullReader r(failing);
  std::string got;
  std::string buf(4096, '\0');
  Result<std::size_t> n = std::size_t{1};
  while ((n = r.read(buf.data(), buf.size())).ok() && *n > 0) got.append(buf.data(), *n);
  ASSERT_FALSE(n.ok());
  EXPECT_EQ(n.error(), Error::InputOutput);
  EXPECT_EQ(got, bytes.substr(0, size / 2));
}

TEST(PrefetchingPullReader, WithoutAThreadReadsOnTheCallersThread) {
  const std::string bytes = pattern(PrefetchingPullReader::kChunkSize * 2 + 99);
  platform::failThreadCreationForTesting(true);
  UnevenReader inner(bytes, SIZE_MAX);
  PrefetchingPullReader r(inner);
  auto all = drain(r, 65536);
  UnevenReader failing(bytes, 5000);
  PrefetchingPullReader f(failing);
  auto failed = drain(f, 65536);
  platform::failThreadCreationForTesting(false);
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(*all, bytes);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), Error::InputOutput);
}

// The tar reader takes the archive's hash from the reader: it must cover
// exactly the bytes delivered, wherever the consumer stopped.
TEST(PrefetchingPullReader, HashesExactlyWhatItDelivered) {
  const std::size_t chunk = PrefetchingPullReader::kChunkSize;
  const std::string bytes = pattern(chunk * 6 + 321);
  for (const bool threads : {true, false}) {
    for (const std::size_t wanted : {std::size_t{0}, std::size_t{5}, chunk, chunk * 5 + 77, bytes.size()}) {
      platform::failThreadCreationForTesting(!threads);
      UnevenReader inner(bytes, SIZE_MAX);
      PrefetchingPullReader r(inner);
      std::string buf(65536, '\0');
      std::size_t delivered = 0;
      while (delivered < wanted) {
        auto got = r.read(buf.data(), std::min(buf.size(), wanted - delivered));
        ASSERT_TRUE(got.ok());
        delivered += *got;
      }
      auto hash = r.finishDeliveredSha256Hex();
      platform::failThreadCreationForTesting(false);
      ASSERT_TRUE(hash.ok());
      EXPECT_EQ(*hash, sha256Hex(std::string_view(bytes).substr(0, wanted))) << threads << " " << wanted;
    }
  }
}

TEST(PrefetchingPullReader, StoppingEarlyDoesNotHang) {
  const std::string bytes = pattern(PrefetchingPullReader::kChunkSize * 20);
  UnevenReader inner(bytes, SIZE_MAX);
  PrefetchingPullReader r(inner);
  char b[100];
  ASSERT_TRUE(r.read(b, sizeof b).ok());
  r.stop();  // the thread is waiting for a free chunk by now, or soon
}

}  // namespace
}  // namespace tl
