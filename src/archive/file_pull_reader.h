#pragma once
// A pull reader over an open file, read forward from its current position.
#include <cstddef>

#include "archive/pull_reader.h"
#include "platform/fs.h"

namespace tl {

class FilePullReader final : public PullReader {
 public:
  explicit FilePullReader(fs::File& file) : file_(file) {}
  Result<std::size_t> read(void* buf, std::size_t n) override { return fs::read(file_, buf, n); }

 private:
  fs::File& file_;
};

}  // namespace tl
