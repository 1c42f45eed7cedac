#include "common/regular_file_at.h"

namespace tl {

Result<fs::File> openRegularFileAt(const fs::Dir& dir, std::string_view name, Error wrongKind) {
  fs::File file = TRY(fs::openFileReadAt(dir, name));
  const fs::FileStat st = TRY(fs::statFile(file));
  if (st.kind != fs::FileKind::File) return wrongKind;
  return file;
}

}  // namespace tl
