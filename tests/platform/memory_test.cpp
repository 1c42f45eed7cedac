#include "platform/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "platform/posix/memory_files.h"
#include "support/temp_dir.h"

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

// A fake /proc and /sys: a limit on any group above the process's binds as
// much as one on its own, less what that group holds beyond the page cache.
TEST(CgroupHeadroom, TheLeastRoomOnThePathToTheRoot) {
  constexpr std::uint64_t M = 1 << 20;
  const std::string v2 = "0::/user.slice/app.scope\n";
  const std::string v1 = "4:memory:/user.slice/app.scope\n0::/\n";
  const std::string g2 = "sys/fs/cgroup/", g1 = "sys/fs/cgroup/memory/";
  struct {
    const char* what;
    std::map<std::string, std::string> files;  // below the root; proc/self/cgroup added from `groups`
    std::string groups;
    std::uint64_t expected;
  } cases[] = {
      {"v2: the parent's limit, the group's own unlimited",
       {{g2 + "user.slice/memory.max", "1073741824\n"}, {g2 + "user.slice/memory.current", "104857600\n"},
        {g2 + "user.slice/app.scope/memory.max", "max\n"}, {g2 + "user.slice/app.scope/memory.current", "1048576\n"}},
       v2, 924 * M},
      {"v2: the parent's page cache counts as room",
       {{g2 + "user.slice/memory.max", "1073741824\n"}, {g2 + "user.slice/memory.current", "104857600\n"},
        {g2 + "user.slice/memory.stat", "anon 1\nfile 52428800\n"}, {g2 + "user.slice/app.scope/memory.max", "max\n"},
        {g2 + "user.slice/app.scope/memory.current", "0\n"}},
       v2, 974 * M},
      {"v2: the group's own limit when it is the lesser",
       {{g2 + "user.slice/memory.max", "1073741824\n"}, {g2 + "user.slice/memory.current", "0\n"},
        {g2 + "user.slice/app.scope/memory.max", "209715200\n"}, {g2 + "user.slice/app.scope/memory.current", "0\n"}},
       v2, 200 * M},
      {"v2: no level sets a limit",
       {{g2 + "user.slice/memory.max", "max\n"}, {g2 + "user.slice/memory.current", "0\n"},
        {g2 + "user.slice/app.scope/memory.max", "max\n"}, {g2 + "user.slice/app.scope/memory.current", "0\n"}},
       v2, kNoMemoryLimit},
      {"v2: inside a namespace the mount is the group",
       {{g2 + "memory.max", "314572800\n"}, {g2 + "memory.current", "0\n"}}, "0::/\n", 300 * M},
      {"v1: the kernel's hierarchical limit",
       {{g1 + "user.slice/app.scope/memory.limit_in_bytes", "9223372036854771712\n"},
        {g1 + "user.slice/app.scope/memory.usage_in_bytes", "104857600\n"},
        {g1 + "user.slice/app.scope/memory.stat", "total_cache 0\nhierarchical_memory_limit 524288000\n"}},
       v1, 400 * M},
      {"v1: the parent's limit",
       {{g1 + "user.slice/memory.limit_in_bytes", "524288000\n"}, {g1 + "user.slice/memory.usage_in_bytes", "0\n"},
        {g1 + "user.slice/app.scope/memory.limit_in_bytes", "9223372036854771712\n"},
        {g1 + "user.slice/app.scope/memory.usage_in_bytes", "0\n"}},
       v1, 500 * M},
      {"no cgroup file", {}, "", kNoMemoryLimit},
  };
  for (const auto& c : cases) {
    test::TempDir root;
    std::map<std::string, std::string> files = c.files;
    if (!c.groups.empty()) files["proc/self/cgroup"] = c.groups;
    for (const auto& [rel, text] : files) {
      const std::string host = root.hostPath() + "/" + rel;
      std::filesystem::create_directories(std::filesystem::path(host).parent_path());
      std::ofstream(host) << text;
    }
    EXPECT_EQ(cgroupHeadroom(root.hostPath()), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace tl::platform
