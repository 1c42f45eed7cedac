#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "platform/posix/memory_files.h"
#include "platform/thread.h"

namespace tl::platform {

namespace {

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
  std::uint64_t room = kNoMemoryLimit;
  if (meminfo) {
    const std::optional<std::uint64_t> available = fieldOf(*meminfo, "MemAvailable");
    const std::optional<std::uint64_t> swapFree = fieldOf(*meminfo, "SwapFree");
    if (available) room = *available + swapFree.value_or(0);
    const std::optional<std::string> mode = readSmallFile("/proc/sys/vm/overcommit_memory");
    if (mode && parseNumber(*mode) == 2u) {
      const std::optional<std::uint64_t> limit = fieldOf(*meminfo, "CommitLimit");
      const std::optional<std::uint64_t> committed = fieldOf(*meminfo, "Committed_AS");
      if (limit && committed) room = std::min(room, roomBelow(*limit, *committed));
    }
  }
  return std::min(room, cgroupHeadroom("/"));
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
