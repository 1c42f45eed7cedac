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

template <typename C>
bool needsQuotes(std::basic_string_view<C> arg) {
  for (C c : arg) {
    if (isBlank(c) || c == C('"')) return true;
  }
  return arg.empty();
}

template <typename C>
void appendQuoted(std::basic_string<C>& out, std::basic_string_view<C> arg) {
  if (!needsQuotes(arg)) {
    out += arg;
    return;
  }
  out += C('"');
  std::size_t backslashes = 0;
  for (C c : arg) {
    if (c == C('\\')) {
      ++backslashes;
      continue;
    }
    if (c == C('"')) {
      out.append(2 * backslashes + 1, C('\\'));
    } else {
      out.append(backslashes, C('\\'));
    }
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, C('\\'));
  out += C('"');
}

template <typename C>
void appendProgramName(std::basic_string<C>& out, std::basic_string_view<C> name) {
  bool quote = name.empty();
  for (C c : name) quote = quote || isBlank(c);
  if (quote) out += C('"');
  for (C c : name) {
    if (c != C('"')) out += c;
  }
  if (quote) out += C('"');
}

template <typename C>
std::basic_string<C> buildAll(const std::vector<std::basic_string<C>>& argv) {
  std::basic_string<C> out;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i == 0) {
      appendProgramName<C>(out, argv[0]);
    } else {
      out += C(' ');
      appendQuoted<C>(out, argv[i]);
    }
  }
  return out;
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

Result<std::string> buildCommandLine(const std::vector<std::string>& argv) {
  // CreateProcessW reads the command line up to its first NUL: an argument
  // holding one would end the line there and drop every argument after it.
  for (const std::string& arg : argv) {
    if (arg.find('\0') != std::string::npos) return Error::ArgumentContainsNul;
  }
  return buildAll(argv);
}

std::u16string buildCommandLineUtf16(const std::vector<std::u16string>& argv) { return buildAll(argv); }

}  // namespace tl
