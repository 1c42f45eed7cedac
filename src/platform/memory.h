#pragma once
// Buffers of many megabytes or gigabytes taken from the system in one piece:
// the one place the update holds a whole archive in memory. Windows charges
// such an allocation against its commit limit and refuses it at once when
// the limit would be passed; this layer gives the same answer on every
// system, so a caller can fall back to a road that needs less memory instead
// of being killed halfway through.
#include <cstddef>
#include <cstdint>

#include "common/result.h"

namespace tl::platform {

// A block of memory owned by its holder; move-only, freed on destruction.
class CommittedBuffer {
 public:
  CommittedBuffer() = default;
  CommittedBuffer(CommittedBuffer&& o) noexcept;
  CommittedBuffer& operator=(CommittedBuffer&& o) noexcept;
  CommittedBuffer(const CommittedBuffer&) = delete;
  CommittedBuffer& operator=(const CommittedBuffer&) = delete;
  ~CommittedBuffer();

  unsigned char* data() const { return data_; }
  std::uint64_t size() const { return size_; }

 private:
  friend Result<CommittedBuffer> allocateCommittedBuffer(std::uint64_t size);
  void release();
  unsigned char* data_ = nullptr;
  std::uint64_t size_ = 0;
};

// How many bytes the system could back with memory right now. On Linux:
// MemAvailable plus SwapFree of /proc/meminfo; when the process's memory
// cgroup or any group above it (v2 memory.max, else v1 memory.limit_in_bytes
// and hierarchical_memory_limit) sets a limit, at most the least room any of
// them leaves, a limit less that group's usage; under strict overcommit
// (vm.overcommit_memory 2), at most CommitLimit less Committed_AS. Whatever
// cannot be read counts as no limit of its own.
[[nodiscard]] Result<std::uint64_t> commitHeadroom();

// size bytes of fresh memory (size may be 0). OutOfMemory when size exceeds
// commitHeadroom() or the system refuses the mapping: on Linux, where an
// allocation beyond what the machine can hold succeeds and the process is
// killed only when the pages are touched, this is what makes the refusal
// come up front, as a commit-limit failure does on Windows.
[[nodiscard]] Result<CommittedBuffer> allocateCommittedBuffer(std::uint64_t size);

}  // namespace tl::platform
