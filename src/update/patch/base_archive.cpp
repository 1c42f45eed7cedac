#include "update/patch/base_archive.h"

#include <cstring>

#include "archive/archive_rebuild.h"

namespace tl {

namespace {

// Writes into the fixed buffer; a byte past its end is a size mismatch.
class FixedBufferWriter final : public ByteWriter {
 public:
  explicit FixedBufferWriter(platform::CommittedBuffer& buffer) : buffer_(buffer) {}
  Status write(std::string_view bytes) override {
    if (bytes.size() > buffer_.size() - used_) return Error::ArchiveSizeMismatch;
    if (!bytes.empty()) std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
    return success();
  }
  std::uint64_t used() const { return used_; }

 private:
  platform::CommittedBuffer& buffer_;
  std::uint64_t used_ = 0;
};

}  // namespace

Result<platform::CommittedBuffer> rebuildArchiveInMemory(const UpdateRecipe& recipe, const fs::Dir& root) {
  platform::CommittedBuffer buffer = TRY(platform::allocateCommittedBuffer(recipe.archive_size));
  FixedBufferWriter writer(buffer);
  TRY(rebuildArchiveFromRecipe(recipe, root, writer));
  if (writer.used() != buffer.size()) return Error::ArchiveSizeMismatch;
  return buffer;
}

}  // namespace tl
