// Update URLs come from a request written outside the system and redirects
// from a server: parsing and resolving must never crash, and every URL that
// is accepted must write out and parse back to the same parts.
//
// Input: the URL, optionally followed by '\n' and a redirect's Location.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/download/update_redirect.h"
#include "update/download/update_url.h"

namespace {

void checkRoundTrip(const tl::UpdateUrl& url) {
  for (bool transfer : {false, true}) {
    auto text = transfer ? tl::updateUrlForTransfer(url) : tl::formatUpdateUrl(url);
    if (!text.ok()) std::abort();
    auto again = tl::parseUpdateUrl(*text);
    if (!again.ok()) std::abort();
    if (!transfer && !(*again == url)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  auto url = tl::parseUpdateUrl(input.substr(0, newline));
  if (!url.ok()) return 0;
  checkRoundTrip(*url);
  if (newline == std::string_view::npos) return 0;
  auto next = tl::followUpdateRedirect(*url, std::string(input.substr(newline + 1)));
  if (next.ok()) checkRoundTrip(*next);
  return 0;
}
