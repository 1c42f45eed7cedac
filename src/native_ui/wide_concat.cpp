#include "native_ui/wide_concat.h"

#include <new>
#include <stdexcept>

namespace tl {

std::optional<std::u16string> buildWideConcat(std::initializer_list<std::u16string_view> parts) {
  std::u16string out;
  std::size_t total = 0;
  for (std::u16string_view p : parts) {
    if (p.size() > out.max_size() - total) return std::nullopt;
    total += p.size();
  }
  try {
    out.reserve(total);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  } catch (const std::length_error&) {
    return std::nullopt;
  }
  for (std::u16string_view p : parts) out += p;
  return out;
}

}  // namespace tl
