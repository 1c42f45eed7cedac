// Recipes come from disk next to an installation and from update stages:
// parsing must never crash, and what it accepts must write and read back to
// the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "archive/update_recipe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto recipe = tl::parseRecipe(text);
  if (!recipe.ok()) return 0;
  tl::StringWriter first;
  if (!tl::stringifyRecipe(*recipe, first).ok()) std::abort();
  auto again = tl::parseRecipe(first.str());
  if (!again.ok()) std::abort();
  tl::StringWriter second;
  if (!tl::stringifyRecipe(*again, second).ok()) std::abort();
  if (first.str() != second.str()) std::abort();
  return 0;
}
