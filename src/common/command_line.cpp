#include "common/command_line.h"

namespace tl {

namespace {

template <typename C>
bool isBlank(C c) {
  return c == C(' ') || c == C('\t');
}

template <typename C>
void takeProgramName(std::basic_string_view<C>& rest, std::basic_string<C>& arg) {
  bool inQuotes = false;
  std::size_t i = 0;
  for (; i < rest.size(); ++i) {
    C c = rest[i];
    if (c == C('"')) {
      inQuotes = !inQuotes;
      continue;
    }
    if (!inQuotes && isBlank(c)) break;
    arg += c;
  }
  rest.remove_prefix(i);
}

template <typename C>
bool takeArgument(std::basic_string_view<C>& rest, std::basic_string<C>& arg) {
  std::size_t i = 0;
  std::size_t n = rest.size();
  while (i < n && isBlank(rest[i])) ++i;
  if (i == n) {
    rest = {};
    return false;
  }
  bool inQuotes = false;
  for (;;) {
    std::size_t backslashes = 0;
    while (i < n && rest[i] == C('\\')) {
      ++i;
      ++backslashes;
    }
    bool copy = true;
    if (i < n && rest[i] == C('"')) {
      if (backslashes % 2 == 0) {
        if (inQuotes && i + 1 < n && rest[i + 1] == C('"')) {
          ++i;  // "" inside quotes: one literal quote, still quoted
        } else {
          copy = false;
          inQuotes = !inQuotes;
        }
      }
      backslashes /= 2;
    }
    arg.append(backslashes, C('\\'));
    if (i == n || (!inQuotes && isBlank(rest[i]))) break;
    if (copy) arg += rest[i];
    ++i;
  }
  rest.remove_prefix(i);
  return true;
}

template <typename C>
bool nextArg(std::basic_string_view<C>& rest, bool& atProgramName, std::basic_string<C>& arg) {
  arg.clear();
  if (atProgramName) {
    atProgramName = false;
    takeProgramName(rest, arg);
    return true;
  }
  return takeArgument(rest, arg);
}

template <typename C>
std::vector<std::basic_string<C>> splitAll(std::basic_string_view<C> text) {
  std::vector<std::basic_string<C>> out;
  bool atProgramName = true;
  std::basic_string<C> arg;
  while (nextArg(text, atProgramName, arg)) out.push_back(arg);
  return out;
}

bool needsQuotes(std::string_view arg) {
  return arg.empty() || arg.find_first_of(" \t\"") != std::string_view::npos;
}

void appendQuoted(std::string& out, std::string_view arg) {
  if (!needsQuotes(arg)) {
    out += arg;
    return;
  }
  out += '"';
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(2 * backslashes + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  out += '"';
}

void appendProgramName(std::string& out, std::string_view name) {
  bool quote = name.empty() || name.find_first_of(" \t") != std::string_view::npos;
  if (quote) out += '"';
  for (char c : name) {
    if (c != '"') out += c;
  }
  if (quote) out += '"';
}

}  // namespace

bool nextCommandLineArg(CommandLineCursor& cursor, std::u16string& arg) {
  return nextArg(cursor.rest, cursor.atProgramName, arg);
}

std::vector<std::u16string> splitCommandLine(std::u16string_view text) { return splitAll(text); }

std::vector<std::string> splitCommandLineUtf8(std::string_view text) { return splitAll(text); }

std::string quoteWindowsArg(std::string_view arg) {
  std::string out;
  appendQuoted(out, arg);
  return out;
}

std::string buildCommandLine(const std::vector<std::string>& argv) {
  std::string out;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i == 0) {
      appendProgramName(out, argv[0]);
    } else {
      out += ' ';
      appendQuoted(out, argv[i]);
    }
  }
  return out;
}

}  // namespace tl
