#pragma once
// Reading and writing a descriptor, the call repeated when a signal
// interrupts it; failures by the layer's one errno translation.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/result.h"

namespace tl::platform {

// One read(2), or pread(2) at offset: what arrived, 0 only at the end.
[[nodiscard]] Result<std::size_t> fdRead(int fd, void* buf, std::size_t n,
                                         std::optional<std::uint64_t> offset = std::nullopt);
// write(2) until all n bytes are written.
[[nodiscard]] Status fdWriteAll(int fd, const void* buf, std::size_t n);

}  // namespace tl::platform
