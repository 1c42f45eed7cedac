#include "common/paths.h"

#include <vector>

namespace tl {

namespace {

bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

enum class RootKind { None, Drive, DriveRelative, Rooted, Unc, Device };

struct Root {
  RootKind kind = RootKind::None;
  std::size_t length = 0;  // bytes of the root part, separators included
};

// Splits off the root part of a Windows path.
Root parseRoot(std::string_view p) {
  if (p.size() >= 2 && isLetter(p[0]) && p[1] == ':') {
    if (p.size() >= 3 && isPathSeparator(p[2])) return {RootKind::Drive, 3};
    return {RootKind::DriveRelative, 2};
  }
  if (p.size() >= 2 && isPathSeparator(p[0]) && isPathSeparator(p[1])) {
    // "\\.\" and "\\?\" are local-device paths.
    if (p.size() >= 3 && (p[2] == '.' || p[2] == '?') && (p.size() == 3 || isPathSeparator(p[3]))) {
      return {RootKind::Device, p.size() >= 4 ? std::size_t{4} : std::size_t{3}};
    }
    // "\\server\share": the share is part of the root.
    std::size_t i = 2;
    while (i < p.size() && isPathSeparator(p[i])) ++i;
    std::size_t serverStart = i;
    while (i < p.size() && !isPathSeparator(p[i])) ++i;
    if (i == serverStart) return {RootKind::Rooted, 1};
    while (i < p.size() && isPathSeparator(p[i])) ++i;
    while (i < p.size() && !isPathSeparator(p[i])) ++i;
    return {RootKind::Unc, i};
  }
  if (!p.empty() && isPathSeparator(p[0])) return {RootKind::Rooted, 1};
  return {RootKind::None, 0};
}

// The root written in normal form: separators as '\', UNC "\\server\share".
std::string normalRoot(std::string_view p, const Root& r) {
  std::string out;
  switch (r.kind) {
    case RootKind::None:
      break;
    case RootKind::Drive:
      out = std::string(p.substr(0, 2)) + "\\";
      break;
    case RootKind::DriveRelative:
      out = std::string(p.substr(0, 2));
      break;
    case RootKind::Rooted:
      out = "\\";
      break;
    case RootKind::Device:
      out = std::string("\\\\") + p[2] + "\\";
      break;
    case RootKind::Unc: {
      out = "\\\\";
      std::string_view rest = p.substr(2, r.length - 2);
      std::size_t i = 0;
      while (i < rest.size() && isPathSeparator(rest[i])) ++i;
      std::size_t s = i;
      while (i < rest.size() && !isPathSeparator(rest[i])) ++i;
      out += rest.substr(s, i - s);
      while (i < rest.size() && isPathSeparator(rest[i])) ++i;
      if (i < rest.size()) {
        out += '\\';
        out += rest.substr(i);
      }
      break;
    }
  }
  return out;
}

void splitComponents(std::string_view rest, std::vector<std::string_view>& out) {
  forEachPathComponent(rest, [&out](std::string_view c) {
    if (!c.empty()) out.push_back(c);
  });
}

}  // namespace

bool isAbsolutePath(std::string_view path) {
  RootKind k = parseRoot(path).kind;
  return k == RootKind::Drive || k == RootKind::Rooted || k == RootKind::Unc || k == RootKind::Device;
}

bool isDriveRelativePath(std::string_view path) { return parseRoot(path).kind == RootKind::DriveRelative; }

Result<std::string> resolvePath(std::initializer_list<std::string_view> parts) {
  // The last part with a root restarts the path; relative parts append.
  std::string root;
  bool absolute = false;
  std::vector<std::string_view> comps;
  for (std::string_view part : parts) {
    if (part.empty()) continue;
    Root r = parseRoot(part);
    if (r.kind != RootKind::None) {
      comps.clear();
      root = normalRoot(part, r);
      absolute = r.kind != RootKind::DriveRelative;
      part = part.substr(r.length);
    }
    splitComponents(part, comps);
  }
  std::vector<std::string_view> kept;
  kept.reserve(comps.size());
  for (std::string_view c : comps) {
    if (c == ".") continue;
    if (c == "..") {
      if (!kept.empty() && kept.back() != "..") {
        kept.pop_back();
      } else if (!absolute) {
        kept.push_back(c);  // a relative path may climb above its start
      }
      continue;
    }
    kept.push_back(c);
  }
  std::string out = root;
  // A UNC root ends with its share name; its components follow a separator.
  if (!kept.empty() && !out.empty() && out.back() != '\\' && out.back() != ':') out += '\\';
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) out += '\\';
    out += kept[i];
  }
  if (out.empty()) out = ".";
  return out;
}

Result<std::string> resolvePath(std::string_view path) { return resolvePath({path}); }

std::string joinPath(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) {
    if (p.empty()) continue;
    if (!out.empty() && !isPathSeparator(out.back())) out += '\\';
    out += p;
  }
  return out;
}

std::optional<std::string> parentPath(std::string_view path) {
  Root r = parseRoot(path);
  std::string_view rest = path.substr(r.length);
  std::size_t end = rest.size();
  while (end > 0 && isPathSeparator(rest[end - 1])) --end;
  if (end == 0) return std::nullopt;  // only a root, or nothing
  std::size_t i = end;
  while (i > 0 && !isPathSeparator(rest[i - 1])) --i;
  if (i == 0) {
    if (r.length == 0) return std::nullopt;  // a single relative component
    return std::string(path.substr(0, r.length));
  }
  std::size_t cut = i;
  while (cut > 0 && isPathSeparator(rest[cut - 1])) --cut;
  if (cut == 0) return std::string(path.substr(0, r.length));
  return std::string(path.substr(0, r.length + cut));
}

std::string_view lastComponent(std::string_view path) {
  Root r = parseRoot(path);
  std::string_view rest = path.substr(r.length);
  std::size_t end = rest.size();
  while (end > 0 && isPathSeparator(rest[end - 1])) --end;
  std::size_t i = end;
  while (i > 0 && !isPathSeparator(rest[i - 1])) --i;
  return rest.substr(i, end - i);
}

Result<bool> pathsEqualIgnoreCase(std::string_view a, std::string_view b) {
  std::string na = TRY(resolvePath(a));
  std::string nb = TRY(resolvePath(b));
  return asciiEqualIgnoreCase(na, nb);
}

Result<bool> isNormalisedAbsolutePath(std::string_view path) {
  if (!isAbsolutePath(path) || path.find('\0') != std::string_view::npos) return false;
  std::string normal = TRY(resolvePath(path));
  return asciiEqualIgnoreCase(path, normal);
}

bool isValidFileName(std::string_view c) {
  if (c.empty() || c == "." || c == "..") return false;
  if (c.back() == ' ' || c.back() == '.') return false;
  for (char ch : c) {
    auto u = static_cast<unsigned char>(ch);
    if (u < 32) return false;
    switch (ch) {
      case '"': case '%': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
        return false;
      default:
        break;
    }
  }
  return true;
}

}  // namespace tl
