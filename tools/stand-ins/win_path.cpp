#include "win_path.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "standin_error.h"
#include "state_store.h"
#include "text.h"

namespace standin {

namespace {

bool isDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Folds "." and "..", collapses separators; `root` ends with '\'.
std::string normalise(const std::string& root, std::string_view rest, bool keepTrailingSeparator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t sep = rest.find('\\', start);
    if (sep == std::string_view::npos) sep = rest.size();
    std::string_view part = rest.substr(start, sep - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = sep + 1;
  }
  std::string out = root;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += '\\';
    out += parts[i];
  }
  if (!parts.empty()) {
    if (keepTrailingSeparator) {
      out += '\\';
    } else {
      // The last name loses trailing dots and spaces; a name made only of
      // them disappears and leaves its folder's separator.
      std::size_t end = out.size();
      while (end > root.size() && (out[end - 1] == '.' || out[end - 1] == ' ')) --end;
      out.resize(end);
    }
  }
  return out;
}

// The host folder of the case-folded lookup: one entry of `dir` equal to
// `name` ignoring ASCII case, when there is exactly one.
std::optional<std::string> findFolded(const std::string& dir, std::string_view name) {
  DIR* d = ::opendir(dir.empty() ? "/" : dir.c_str());
  if (!d) return std::nullopt;
  std::optional<std::string> found;
  bool ambiguous = false;
  while (dirent* e = ::readdir(d)) {
    std::string_view entry = e->d_name;
    if (entry == "." || entry == "..") continue;
    if (equalsAsciiIgnoreCase(entry, name)) {
      if (found) ambiguous = true;
      found = std::string(entry);
    }
  }
  ::closedir(d);
  if (ambiguous) return std::nullopt;
  return found;
}

// Bytes of the root "\\server\share" at the start of a path, 0 when the
// path does not start with one.
std::size_t shareRootLength(std::string_view p) {
  if (p.size() < 3 || p[0] != '\\' || p[1] != '\\') return 0;
  std::size_t s1 = p.find('\\', 2);
  if (s1 == std::string_view::npos || s1 == 2 || s1 + 1 >= p.size() || p[s1 + 1] == '\\') return 0;
  std::size_t s2 = p.find('\\', s1 + 1);
  return s2 == std::string_view::npos ? p.size() : s2;
}

struct Share {
  std::string name;        // "\\server\share"
  std::string hostFolder;  // the folder standing for it
};

// state\shares: one "\\server\share=<Windows path of a folder>" a line, the
// shares that exist; read once. Until the state folder is known (finding it
// maps paths too) there are none.
const std::vector<Share>& shares() {
  static std::optional<std::vector<Share>> table;
  static bool loading = false;
  static const std::vector<Share> none;
  if (table) return *table;
  if (loading || !stateDirKnown()) return none;
  loading = true;
  std::vector<Share> out;
  try {
    std::optional<std::string> text = readHostFile(statePath("shares"));
    std::size_t start = 0;
    while (text && start < text->size()) {
      std::size_t nl = text->find('\n', start);
      if (nl == std::string::npos) nl = text->size();
      std::string line = text->substr(start, nl - start);
      start = nl + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      std::size_t eq = line.find('=');
      std::string name = line.substr(0, eq);
      std::string folder = eq == std::string::npos ? "" : line.substr(eq + 1);
      std::optional<std::string> host = folder.rfind("\\\\", 0) == 0 ? std::nullopt : toHostPath(folder);
      if (shareRootLength(name) != name.size() || !host) throw Refusal("shares: bad line: " + line);
      out.push_back({name, *host});
    }
  } catch (...) {
    loading = false;
    throw;
  }
  loading = false;
  table = std::move(out);
  return *table;
}

// The root of the current folder ("Z:\" or "\\server\share\") and the rest.
void splitCurrentDirectory(const std::string& cwd, std::string& root, std::string& rest) {
  std::size_t n = shareRootLength(cwd);
  if (n == 0) n = 2;
  root = cwd.substr(0, n) + "\\";
  rest = n + 1 < cwd.size() ? cwd.substr(n + 1) : "";
}

}  // namespace

std::string hostToWindows(std::string_view hostAbsolute) {
  std::string out = "Z:";
  for (char c : hostAbsolute) out += (c == '/') ? '\\' : c;
  if (out.size() == 2) out += '\\';
  return out;
}

std::string currentDirectory() {
  std::string buf(4096, '\0');
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return "Z:\\";
    buf.resize(buf.size() * 2);
  }
  buf.resize(std::char_traits<char>::length(buf.c_str()));
  for (const Share& share : shares()) {
    const std::string& f = share.hostFolder;
    if (buf == f) return share.name;
    if (buf.size() > f.size() && buf.compare(0, f.size(), f) == 0 && buf[f.size()] == '/') {
      return share.name + hostToWindows(buf.substr(f.size())).substr(2);
    }
  }
  return hostToWindows(buf);
}

bool getFullPath(std::string_view input, std::string& out, std::string& error) {
  std::string p(input);
  if (p.find_first_not_of(" \t\r\n") == std::string::npos) {
    error = "The path is not of a legal form.";
    return false;
  }
  if (p.rfind("\\\\?\\", 0) == 0) {  // extended paths are taken literally
    out = p;
    return true;
  }
  for (char& c : p) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || c == '"' || c == '<' || c == '>' || c == '|') {
      error = "Illegal characters in path.";
      return false;
    }
    if (c == '/') c = '\\';
  }
  bool hasDrive = p.size() >= 2 && isDriveLetter(p[0]) && p[1] == ':';
  std::size_t colonFrom = hasDrive ? 2 : 0;
  if (p.rfind("\\\\.\\", 0) == 0) colonFrom = 4;
  if (p.find(':', colonFrom) != std::string::npos) {
    error = "The given path's format is not supported.";
    return false;
  }
  bool trailing = p.back() == '\\';
  const std::string cwd = currentDirectory();  // "Z:\..." or "\\server\share\..."
  std::string cwdRoot;
  std::string cwdRest;
  splitCurrentDirectory(cwd, cwdRoot, cwdRest);
  std::string root;
  std::string rest;
  if (p.rfind("\\\\", 0) == 0) {
    // UNC (or \\.\device): the first two names belong to the root.
    std::size_t s1 = p.find('\\', 2);
    std::size_t s2 = s1 == std::string::npos ? s1 : p.find('\\', s1 + 1);
    if (s1 == std::string::npos || s1 == 2) {
      error = "The UNC path should be of the form \\\\server\\share.";
      return false;
    }
    if (s2 == std::string::npos) {
      root = p + "\\";
      rest.clear();
    } else {
      root = p.substr(0, s2 + 1);
      rest = p.substr(s2 + 1);
    }
  } else if (hasDrive && p.size() >= 3 && p[2] == '\\') {
    root = p.substr(0, 3);
    rest = p.substr(3);
  } else if (hasDrive) {
    if (equalsAsciiIgnoreCase(p.substr(0, 2), cwd.substr(0, 2))) {
      root = cwd.substr(0, 3);
      rest = cwd.substr(3) + "\\" + p.substr(2);
    } else {
      root = p.substr(0, 2) + "\\";
      rest = p.substr(2);
    }
  } else if (p[0] == '\\') {
    root = cwdRoot;
    rest = p.substr(1);
  } else {
    root = cwdRoot;
    rest = cwdRest + "\\" + p;
  }
  out = normalise(root, rest, trailing);
  return true;
}

std::optional<std::string> toHostPath(std::string_view windowsPath) {
  std::string full;
  std::string error;
  if (!getFullPath(windowsPath, full, error)) return std::nullopt;
  std::string_view v = full;
  if (v.rfind("\\\\?\\", 0) == 0 || v.rfind("\\\\.\\", 0) == 0) {
    v.remove_prefix(4);
    std::string again;
    if (startsWithAsciiIgnoreCase(v, "UNC\\")) {
      again = "\\\\" + std::string(v.substr(4));
    } else if (!getFullPath(v, again, error)) {
      return std::nullopt;
    }
    full = again;
    v = full;
  }
  // A share names a folder only when state\shares says which.
  if (std::size_t n = shareRootLength(v)) {
    for (const Share& share : shares()) {
      if (equalsAsciiIgnoreCase(v.substr(0, n), share.name)) {
        return toHostPath(hostToWindows(share.hostFolder) + std::string(v.substr(n)));
      }
    }
    return std::nullopt;
  }
  if (v.size() < 3 || !equalsAsciiIgnoreCase(v.substr(0, 3), "Z:\\")) return std::nullopt;
  v.remove_prefix(3);

  std::string host;  // empty stands for "/"
  bool literalFromHere = false;
  std::size_t start = 0;
  while (start < v.size()) {
    std::size_t sep = v.find('\\', start);
    if (sep == std::string_view::npos) sep = v.size();
    std::string_view comp = v.substr(start, sep - start);
    start = sep + 1;
    if (comp.empty()) continue;
    std::string candidate = host + "/" + std::string(comp);
    if (!literalFromHere) {
      struct stat st {};
      if (::lstat(candidate.c_str(), &st) != 0 && errno == ENOENT) {
        if (std::optional<std::string> match = findFolded(host, comp)) {
          candidate = host + "/" + *match;
        } else {
          literalFromHere = true;  // nothing below a missing name exists
        }
      }
    }
    host = candidate;
  }
  return host.empty() ? std::string("/") : host;
}

std::string_view baseName(std::string_view path) {
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.remove_suffix(1);
  std::size_t sep = path.find_last_of("\\/");
  return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

}  // namespace standin
