// The prepared-update record lies in self-extraction, where anything could
// have replaced it: neither reader may crash, and what the strict reader
// accepts must survive being written and read again, by both readers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/prepared_update.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (text.size() > tl::kPreparedUpdateCap) return 0;
  (void)tl::parsePreparedUpdateLenient(text);
  const tl::Result<std::uint32_t> schema = tl::readPreparedUpdateSchemaVersion(text);
  tl::Result<tl::PreparedUpdate> parsed = tl::parsePreparedUpdate(text);
  if (!parsed) return 0;
  // What the strict reader accepts with a schema_version, the schema-only
  // reading takes too, and sees the same number.
  if (text.find("schema_version") != std::string_view::npos && schema && *schema != parsed->schema_version) {
    std::abort();
  }

  const std::string written = tl::stringifyPreparedUpdate(*parsed);
  tl::Result<tl::PreparedUpdate> again = tl::parsePreparedUpdate(written);
  if (!again || !(*again == *parsed)) std::abort();
  if (tl::stringifyPreparedUpdate(*again) != written) std::abort();

  // The application side reads the same identity and paths from it.
  tl::Result<tl::LenientPreparedUpdate> view = tl::parsePreparedUpdateLenient(written);
  if (!view) std::abort();
  const tl::PreparedUpdate& r = *parsed;
  if (view->schema_version != r.schema_version || view->identifier != r.identifier || view->channel != r.channel ||
      view->platform != r.platform || view->arch != r.arch || view->version != r.version || view->hash != r.hash ||
      !view->retained_tar_path.empty() || view->staging_path != r.staging_path || view->recipe_path != r.recipe_path ||
      view->recipe_sha256 != r.recipe_sha256) {
    std::abort();
  }
  return 0;
}
