#include "platform/memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/fd_io.h"
#include "platform/thread.h"

namespace tl::platform {

namespace {

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

// A small text file of /proc or /sys; nothing when it cannot be read.
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

// The value of "key value" or "key: value [kB]" in a line-based file, in bytes.
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

std::uint64_t below(std::uint64_t limit, std::uint64_t used) { return limit > used ? limit - used : 0; }

// Writes one byte of every page, so that the pages exist before the buffer
// is handed out.
void touchPages(unsigned char* from, std::size_t bytes) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  for (std::size_t at = 0; at < bytes; at += page) static_cast<volatile unsigned char*>(from)[at] = 0;
}

// The pages of a large buffer are made in parallel: giving a process fresh
// memory costs the kernel (and a hypervisor under it) a fault and a cleared
// page each, and done one by one while the archive is rebuilt into it, that
// can cost more than the rebuild itself. Touched up front, the memory is also
// really there: a system short of it fails here, before anything is written.
void populate(unsigned char* data, std::size_t size) {
  constexpr std::size_t kThreads = 4;
  constexpr std::size_t kMinPerThread = 64u << 20;
  const std::size_t threads = std::min(kThreads, std::max<std::size_t>(1, size / kMinPerThread));
  const std::size_t slice = (size / threads + 4095) & ~std::size_t{4095};
  std::vector<Thread> helpers;
  std::size_t at = slice;
  for (std::size_t t = 1; t < threads && at < size; ++t, at += slice) {
    const std::size_t n = std::min(slice, size - at);
    Result<Thread> started = Thread::create([data, at, n] {
      touchPages(data + at, n);
      return 0u;
    });
    if (!started.ok()) break;
    helpers.push_back(started.take());
  }
  touchPages(data, std::min(slice, size));
  for (Thread& h : helpers) h.wait();
  if (at < size) touchPages(data + at, size - at);  // the slices no thread could take
}

// The memory cgroup's free room: its limit less what it holds that cannot be
// reclaimed (the page cache can). The group's folder is looked for where
// /proc/self/cgroup places it, else at the mount's root, which is the group
// itself inside a cgroup namespace.
std::uint64_t cgroupHeadroom() {
  const std::optional<std::string> groups = readSmallFile("/proc/self/cgroup");
  if (!groups) return kNoLimit;
  struct Layout {
    std::string_view prefix, mount, limit, usage, cacheKey;
  };
  const Layout layouts[] = {{"0::", "/sys/fs/cgroup", "memory.max", "memory.current", "file"},
                            {":memory:", "/sys/fs/cgroup/memory", "memory.limit_in_bytes",
                             "memory.usage_in_bytes", "total_cache"}};
  for (const Layout& l : layouts) {
    std::size_t at = groups->find(l.prefix);
    if (at == std::string::npos) continue;
    at += l.prefix.size();
    const std::string path = groups->substr(at, groups->find('\n', at) - at);
    for (const std::string& dir : {std::string(l.mount) + path, std::string(l.mount)}) {
      const std::optional<std::string> limit = readSmallFile(dir + "/" + std::string(l.limit));
      const std::optional<std::string> usage = readSmallFile(dir + "/" + std::string(l.usage));
      if (!limit || !usage) continue;
      const std::optional<std::uint64_t> max = parseNumber(*limit);  // "max" reads as none
      const std::optional<std::uint64_t> used = parseNumber(*usage);
      if (!max || !used) return kNoLimit;
      const std::optional<std::string> stat = readSmallFile(dir + "/memory.stat");
      const std::uint64_t cache = stat ? fieldOf(*stat, l.cacheKey).value_or(0) : 0;
      return below(*max, below(*used, cache));
    }
  }
  return kNoLimit;
}

}  // namespace

CommittedBuffer::CommittedBuffer(CommittedBuffer&& o) noexcept : data_(o.data_), size_(o.size_) {
  o.data_ = nullptr;
  o.size_ = 0;
}

CommittedBuffer& CommittedBuffer::operator=(CommittedBuffer&& o) noexcept {
  if (this != &o) {
    release();
    data_ = o.data_;
    size_ = o.size_;
    o.data_ = nullptr;
    o.size_ = 0;
  }
  return *this;
}

CommittedBuffer::~CommittedBuffer() { release(); }

void CommittedBuffer::release() {
  if (data_ != nullptr) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

Result<std::uint64_t> commitHeadroom() {
  const std::optional<std::string> meminfo = readSmallFile("/proc/meminfo");
  std::uint64_t room = kNoLimit;
  if (meminfo) {
    const std::optional<std::uint64_t> available = fieldOf(*meminfo, "MemAvailable");
    const std::optional<std::uint64_t> swapFree = fieldOf(*meminfo, "SwapFree");
    if (available) room = *available + swapFree.value_or(0);
    const std::optional<std::string> mode = readSmallFile("/proc/sys/vm/overcommit_memory");
    if (mode && parseNumber(*mode) == 2u) {
      const std::optional<std::uint64_t> limit = fieldOf(*meminfo, "CommitLimit");
      const std::optional<std::uint64_t> committed = fieldOf(*meminfo, "Committed_AS");
      if (limit && committed) room = std::min(room, below(*limit, *committed));
    }
  }
  return std::min(room, cgroupHeadroom());
}

Result<CommittedBuffer> allocateCommittedBuffer(std::uint64_t size) {
  CommittedBuffer buffer;
  if (size == 0) return buffer;
  const std::uint64_t room = TRY(commitHeadroom());
  if (size > room || size > std::numeric_limits<std::size_t>::max()) return Error::OutOfMemory;
  void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
  if (p == MAP_FAILED) return Error::OutOfMemory;
  buffer.data_ = static_cast<unsigned char*>(p);
  buffer.size_ = size;
  // Large pages where the system has them: far fewer faults and mappings.
  (void)::madvise(p, static_cast<std::size_t>(size), MADV_HUGEPAGE);
  populate(buffer.data_, static_cast<std::size_t>(size));
  return buffer;
}

}  // namespace tl::platform
