#pragma once
// What the kernel's text files say about memory: fields of /proc/meminfo
// and memory.stat, and the room the process's memory cgroups leave it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tl::platform {

inline constexpr std::uint64_t kNoMemoryLimit = UINT64_MAX;

// What a limit leaves beside what is used: never below 0.
inline std::uint64_t roomBelow(std::uint64_t limit, std::uint64_t used) { return limit > used ? limit - used : 0; }

// A small text file of /proc or /sys; nothing when it cannot be read.
std::optional<std::string> readSmallFile(const std::string& path);
// The leading decimal number of a value; nothing for "max" and the like.
std::optional<std::uint64_t> parseNumber(std::string_view text);
// The value of "key value" or "key: value [kB]" in a line-based file, in bytes.
std::optional<std::uint64_t> fieldOf(std::string_view text, std::string_view key);

// The least room any memory cgroup on the path from the process's group up
// to the hierarchy's root leaves: each group's limit less what it holds that
// cannot be reclaimed (the page cache can). A limit set on a parent binds a
// child as much as its own. cgroup v2 reads every level's memory.max; v1
// reads every level's memory.limit_in_bytes and the kernel's own
// hierarchical_memory_limit. kNoMemoryLimit when no level sets one.
// `root` is the folder that holds proc/ and sys/: "/" on a real system.
std::uint64_t cgroupHeadroom(const std::string& root);

}  // namespace tl::platform
