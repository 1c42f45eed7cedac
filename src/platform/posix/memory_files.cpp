#include "platform/posix/memory_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "platform/posix/fd_io.h"

namespace tl::platform {

namespace {

struct CgroupLayout {
  std::string_view prefix;    // of the group's line in /proc/self/cgroup
  std::string_view mount;     // below the root folder
  std::string_view limit;     // the level's own limit
  std::string_view usage;
  std::string_view cacheKey;  // in memory.stat: what can be reclaimed
  std::string_view hierarchicalKey;  // in memory.stat: the least limit above, when the kernel says
};

constexpr CgroupLayout kLayouts[] = {
    {"0::", "sys/fs/cgroup", "memory.max", "memory.current", "file", ""},
    {":memory:", "sys/fs/cgroup/memory", "memory.limit_in_bytes", "memory.usage_in_bytes", "total_cache",
     "hierarchical_memory_limit"},
};

// The room one group leaves; nothing when it sets no limit or its files
// cannot be read.
std::optional<std::uint64_t> levelHeadroom(const std::string& dir, const CgroupLayout& l) {
  const std::optional<std::string> limitText = readSmallFile(dir + "/" + std::string(l.limit));
  const std::optional<std::string> usageText = readSmallFile(dir + "/" + std::string(l.usage));
  if (!limitText || !usageText) return std::nullopt;
  const std::optional<std::string> stat = readSmallFile(dir + "/memory.stat");
  std::optional<std::uint64_t> limit = parseNumber(*limitText);  // "max" reads as none
  if (stat && !l.hierarchicalKey.empty()) {
    if (const std::optional<std::uint64_t> above = fieldOf(*stat, l.hierarchicalKey)) {
      limit = std::min(limit.value_or(kNoMemoryLimit), *above);
    }
  }
  const std::optional<std::uint64_t> used = parseNumber(*usageText);
  if (!limit || !used) return std::nullopt;
  const std::uint64_t cache = stat ? fieldOf(*stat, l.cacheKey).value_or(0) : 0;
  return roomBelow(*limit, roomBelow(*used, cache));
}

}  // namespace

std::optional<std::string> readSmallFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buf[4096];
  for (;;) {
    const Result<std::size_t> got = fdRead(fd, buf, sizeof buf);
    if (!got.ok() || *got == 0 || text.size() > (1u << 20)) break;
    text.append(buf, *got);
  }
  ::close(fd);
  return text;
}

std::optional<std::uint64_t> parseNumber(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  return v;
}

std::optional<std::uint64_t> fieldOf(std::string_view text, std::string_view key) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t nl = std::min(text.find('\n', at), text.size());
    std::string_view line = text.substr(at, nl - at);
    at = nl + 1;
    if (line.size() <= key.size() || line.substr(0, key.size()) != key) continue;
    line.remove_prefix(key.size());
    if (line.front() == ':') line.remove_prefix(1);
    if (line.empty() || line.front() != ' ') continue;
    const std::optional<std::uint64_t> v = parseNumber(line);
    if (!v) return std::nullopt;
    const bool kib = line.find("kB") != std::string_view::npos;
    return kib ? *v * 1024 : *v;
  }
  return std::nullopt;
}

// The group's folder is where /proc/self/cgroup places it below the mount;
// every folder from there up to the mount is a level. Inside a cgroup
// namespace the group reads "/" and the mount is the group itself; where
// the named folder is missing, the levels that are there still count.
std::uint64_t cgroupHeadroom(const std::string& root) {
  const std::string base = root.empty() || root.back() != '/' ? root + "/" : root;
  const std::optional<std::string> groups = readSmallFile(base + "proc/self/cgroup");
  if (!groups) return kNoMemoryLimit;
  for (const CgroupLayout& l : kLayouts) {
    std::size_t at = groups->find(l.prefix);
    if (at == std::string::npos) continue;
    at += l.prefix.size();
    std::string path = groups->substr(at, groups->find('\n', at) - at);
    const std::string mount = base + std::string(l.mount);
    std::optional<std::uint64_t> room;
    for (;;) {
      while (!path.empty() && path.back() == '/') path.pop_back();
      if (const std::optional<std::uint64_t> level = levelHeadroom(mount + path, l)) {
        room = std::min(room.value_or(kNoMemoryLimit), *level);
      }
      if (path.empty()) break;
      path.erase(path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    }
    // A hierarchy with no level that sets a limit here (a v2 line beside a
    // v1 memory controller) leaves the word to the next.
    if (room) return *room;
  }
  return kNoMemoryLimit;
}

}  // namespace tl::platform
