#include "archive/archive_path.h"

#include <cstddef>

#include "common/ascii_case.h"
#include "common/utf8.h"

namespace tl {

namespace {

constexpr std::size_t kMaxArchivePathBytes = 4096;

// Names Windows maps to devices whatever their extension: the classic ones,
// COM and LPT with a digit (the superscripts 1 to 3 count as digits there),
// and the console's input and output.
bool isReservedDeviceStem(std::string_view component) {
  const std::size_t dot = component.find('.');
  const std::string_view stem = dot == std::string_view::npos ? component : component.substr(0, dot);
  if (stem.size() == 3) {
    return asciiEqualIgnoreCase(stem, "CON") || asciiEqualIgnoreCase(stem, "PRN") ||
           asciiEqualIgnoreCase(stem, "AUX") || asciiEqualIgnoreCase(stem, "NUL");
  }
  if (stem.size() >= 4) {
    const std::string_view base = stem.substr(0, 3);
    const std::string_view digit = stem.substr(3);
    const bool numbered = (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xC2\xB9" ||
                          digit == "\xC2\xB2" || digit == "\xC2\xB3";
    if (numbered && (asciiEqualIgnoreCase(base, "COM") || asciiEqualIgnoreCase(base, "LPT"))) return true;
  }
  return asciiEqualIgnoreCase(stem, "CONIN$") || asciiEqualIgnoreCase(stem, "CONOUT$");
}

bool isValidComponent(std::string_view c) {
  if (c.empty()) return false;
  if (c == "." || c == "..") return false;
  for (const char ch : c) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x20 || b == 0x7F || b == '\\') return false;
  }
  const char last = c.back();
  if (last == ' ' || last == '.') return false;
  for (const char ch : c) {
    switch (ch) {
      case '"':
      case '*':
      case ':':
      case '<':
      case '>':
      case '?':
      case '|':
        return false;
      default:
        break;
    }
  }
  return !isReservedDeviceStem(c);
}

bool hasValidLength(std::string_view s) { return !s.empty() && s.size() <= kMaxArchivePathBytes; }

}  // namespace

Status validateArchivePath(std::string_view path) {
  if (!hasValidLength(path)) return Error::InvalidArchivePath;
  if (!isValidUtf8(path)) return Error::InvalidArchivePath;
  if (!forEachArchiveComponent(path, isValidComponent)) return Error::InvalidArchivePath;
  return success();
}

Status validateLinkTarget(std::string_view linkPath, std::string_view target) {
  if (!hasValidLength(target) || target.front() == '/') return Error::InvalidLinkTarget;
  if (!isValidUtf8(target)) return Error::InvalidLinkTarget;
  // The link is resolved from its own folder, so each '/' of its path is one
  // level the target may climb.
  std::size_t depth = 0;
  for (const char c : linkPath) {
    if (c == '/') ++depth;
  }
  const bool valid = forEachArchiveComponent(target, [&](std::string_view component) {
    if (component == "..") {
      if (depth == 0) return false;
      --depth;
    } else if (component != ".") {
      if (!isValidComponent(component)) return false;
      ++depth;
    }
    return true;
  });
  if (!valid) return Error::InvalidLinkTarget;
  return success();
}

std::string joinArchivePath(std::string_view a, std::string_view b) {
  std::string out;
  out.reserve(a.size() + 1 + b.size());
  out.append(a);
  out.push_back('/');
  out.append(b);
  return out;
}

std::string_view lastArchiveComponent(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view archiveParentPath(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash);
}

}  // namespace tl
