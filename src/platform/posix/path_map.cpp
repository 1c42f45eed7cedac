#include "platform/posix/path_map.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include "common/paths.h"
#include "platform/posix/errno_map.h"

namespace tl::fs::detail {

namespace {

bool isDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Appends the components of text, resolving "." and ".." (which never climbs
// above the root). Windows text is split at '\' and '/', host text at '/'
// only: there '\' is an ordinary byte of a name.
void appendComponents(std::vector<std::string>& out, std::string_view text, bool hostText) {
  auto sep = [hostText](char c) { return hostText ? c == '/' : isPathSeparator(c); };
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && sep(text[i])) ++i;
    std::size_t start = i;
    while (i < text.size() && !sep(text[i])) ++i;
    std::string_view comp = text.substr(start, i - start);
    if (comp.empty() || comp == ".") continue;
    if (comp == "..") {
      if (!out.empty()) out.pop_back();
      continue;
    }
    out.emplace_back(comp);
  }
}

Result<std::vector<std::string>> currentFolder() {
  std::string buf(PATH_MAX, '\0');
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return platform::lastError();
    buf.resize(buf.size() * 2);
  }
  buf.resize(buf.find('\0'));
  std::vector<std::string> out;
  appendComponents(out, buf, true);
  return out;
}

}  // namespace

Result<std::vector<std::string>> hostComponents(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return Error::BadPathName;
  if (path.empty()) return Error::FileNotFound;

  std::string_view rest = path;
  bool localDevice = false;
  if (rest.size() >= 4 && isPathSeparator(rest[0]) && isPathSeparator(rest[1]) && (rest[2] == '?' || rest[2] == '.') &&
      isPathSeparator(rest[3])) {
    rest.remove_prefix(4);
    localDevice = true;
  } else if (rest.size() >= 2 && isPathSeparator(rest[0]) && isPathSeparator(rest[1])) {
    return Error::FileNotFound;  // UNC share: no network names here
  }

  std::vector<std::string> out;
  if (rest.size() >= 2 && isDriveLetter(rest[0]) && rest[1] == ':') {
    if (rest[0] != 'Z' && rest[0] != 'z') return Error::FileNotFound;
    rest.remove_prefix(2);
    if (rest.empty() || !isPathSeparator(rest[0])) {
      // "Z:x" is relative to the current folder of drive Z:, the only one.
      out = TRY(currentFolder());
    }
  } else if (localDevice) {
    return Error::FileNotFound;  // "\\.\pipe\x", "\\?\UNC\...", volume names
  } else if (!isPathSeparator(rest[0])) {
    out = TRY(currentFolder());
  }
  appendComponents(out, rest, false);
  return out;
}

std::string joinHost(const std::vector<std::string>& components, std::size_t count) {
  if (count == 0) return "/";
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    out += '/';
    out += components[i];
  }
  return out;
}

std::string windowsFromHost(std::string_view host) {
  std::string out = "Z:";
  for (char c : host) out += (c == '/') ? '\\' : c;
  if (out.size() == 2) out += '\\';
  return out;
}

}  // namespace tl::fs::detail
