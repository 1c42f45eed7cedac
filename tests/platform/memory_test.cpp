#include "platform/memory.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tl::platform {
namespace {

// Beyond what the system can back now is refused up front, not at the first
// touch of a page; what fits is memory the holder can write.
TEST(CommittedBuffer, RefusedBeyondTheHeadroomUsableWithin) {
  const Result<std::uint64_t> room = commitHeadroom();
  ASSERT_TRUE(room.ok());
  ASSERT_GT(*room, 1u << 20);
  const Result<CommittedBuffer> tooMuch = allocateCommittedBuffer(*room + (1u << 20));
  ASSERT_FALSE(tooMuch.ok());
  EXPECT_EQ(tooMuch.error(), Error::OutOfMemory);

  Result<CommittedBuffer> small = allocateCommittedBuffer(1u << 20);
  ASSERT_TRUE(small.ok());
  std::memset(small->data(), 0x5A, small->size());
  CommittedBuffer moved = small.take();
  EXPECT_EQ(moved.size(), 1u << 20);
  EXPECT_EQ(moved.data()[(1u << 20) - 1], 0x5A);
  EXPECT_EQ(allocateCommittedBuffer(0)->size(), 0u);
}

}  // namespace
}  // namespace tl::platform
