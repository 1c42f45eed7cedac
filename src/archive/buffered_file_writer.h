#pragma once
// A byte writer that gathers small writes into one buffer before they reach
// an open file.
#include <cstddef>
#include <memory>
#include <string_view>

#include "archive/update_recipe.h"
#include "platform/fs.h"

namespace tl {

inline constexpr std::size_t kFileWriterBuffer = 64 * 1024;

class BufferedFileWriter final : public ByteWriter {
 public:
  explicit BufferedFileWriter(fs::File& file) : file_(file) {}
  // Allocates the buffer; must succeed before the first write.
  [[nodiscard]] Status init();
  Status write(std::string_view bytes) override;
  // Hands everything gathered so far to the file.
  [[nodiscard]] Status flush();

 private:
  fs::File& file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

}  // namespace tl
