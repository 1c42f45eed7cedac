#pragma once
// The old archive a patch is applied to, read at any position.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/result.h"

namespace tl {

class PatchSource {
 public:
  virtual ~PatchSource() = default;
  virtual std::uint64_t length() const = 0;
  // Copies n bytes from offset; a range not wholly inside the archive is
  // TruncatedPatchSource.
  [[nodiscard]] virtual Status readAt(std::uint64_t offset, void* dst, std::size_t n) = 0;
};

// Copies n bytes of the in-memory old archive from offset, or fails with
// TruncatedPatchSource when they do not all lie inside it.
[[nodiscard]] Status readPatchSource(std::string_view oldArchive, std::uint64_t offset, void* dst, std::size_t n);

// The old archive held in memory; the caller keeps the bytes alive.
class MemoryPatchSource final : public PatchSource {
 public:
  explicit MemoryPatchSource(std::string_view oldArchive) : bytes_(oldArchive) {}
  std::uint64_t length() const override { return bytes_.size(); }
  Status readAt(std::uint64_t offset, void* dst, std::size_t n) override {
    return readPatchSource(bytes_, offset, dst, n);
  }

 private:
  std::string_view bytes_;
};

}  // namespace tl
