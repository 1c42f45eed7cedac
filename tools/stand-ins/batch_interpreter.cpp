#include "batch_interpreter.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "call_log.h"
#include "environment.h"
#include "fault_rules.h"
#include "running_image.h"
#include "standin_error.h"
#include "state_store.h"
#include "text.h"
#include "win_path.h"

namespace standin {

namespace {

// A script that loops forever is a fault of its own; the real one gives up
// after 30 rounds of about ten lines.
constexpr int kMaxSteps = 100000;

struct Redirect {
  bool outNull = false;
  bool errNull = false;
  bool errOnStdout = false;
};

struct Token {
  std::string text;
  std::size_t begin = 0;
  std::size_t end = 0;
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trimLeft(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && isBlank(s[i])) ++i;
  return std::string(s.substr(i));
}

// Whitespace-separated tokens; double quotes keep their blanks and stay part
// of the token, as cmd.exe's own parser keeps them.
std::vector<Token> tokenize(const std::string& text) {
  std::vector<Token> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && isBlank(text[i])) ++i;
    if (i >= text.size()) break;
    Token t;
    t.begin = i;
    bool quoted = false;
    while (i < text.size() && (quoted || !isBlank(text[i]))) {
      if (text[i] == '"') quoted = !quoted;
      t.text += text[i++];
    }
    if (quoted) throw Refusal("unbalanced double quote in: " + text);
    t.end = i;
    out.push_back(std::move(t));
  }
  return out;
}

bool hasUnquotedSpecial(const std::string& token) {
  bool quoted = false;
  for (char c : token) {
    if (c == '"') quoted = !quoted;
    if (!quoted && (c == '&' || c == '|' || c == '<' || c == '>' || c == '(' || c == ')' || c == '^')) {
      return true;
    }
  }
  return false;
}

// "\"a b\"" or "ab" -> the text; anything else (inner quotes) is refused.
std::string unquote(const std::string& token) {
  if (token.size() >= 2 && token.front() == '"' && token.back() == '"') {
    std::string inner = token.substr(1, token.size() - 2);
    if (inner.find('"') == std::string::npos) return inner;
  } else if (token.find('"') == std::string::npos) {
    return token;
  }
  throw Refusal("cannot read the path " + token);
}

class Batch {
 public:
  Batch(std::string scriptArg, std::vector<std::string> lines) : lines_(std::move(lines)) {
    std::string error;
    if (!getFullPath(scriptArg, scriptFull_, error)) throw Refusal("script path: " + error);
    for (const auto& [n, v] : envAll()) vars_.emplace_back(n, v);
  }

  int run() {
    // Every line is checked before the first one runs: a line that only a
    // rare path reaches must not pass for well-formed because no test went
    // there.
    for (const std::string& raw : lines_) {
      std::string text = commandText(raw, /*dry=*/true);
      if (!text.empty()) executeLine(text, /*dry=*/true);
    }
    int steps = 0;
    while (pc_ < lines_.size()) {
      if (++steps > kMaxSteps) throw Refusal("the script runs for ever");
      std::string text = commandText(lines_[pc_++], /*dry=*/false);
      if (text.empty()) continue;
      if (std::optional<int> code = executeLine(text, /*dry=*/false)) return *code;
    }
    return errorLevel_;
  }

 private:
  // The command of a line after expansion and '@'; empty for blank lines and
  // labels (which are not expanded).
  std::string commandText(const std::string& raw, bool dry) {
    std::string trimmed = trimLeft(raw);
    if (trimmed.empty() || trimmed[0] == ':') return "";
    std::string text = trimLeft(expand(raw, dry));
    while (!text.empty() && text[0] == '@') text = trimLeft(std::string_view(text).substr(1));
    return text;
  }

  // Percent expansion of one line as a batch file sees it. In a dry pass a
  // variable that is not set yet reads as "0", the start value of a counter.
  std::string expand(const std::string& line, bool dry) {
    std::string out;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] != '%') {
        out += line[i];
        continue;
      }
      if (i + 1 < line.size() && line[i + 1] == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (i + 1 < line.size() && line[i + 1] == '~') {
        std::size_t j = i + 2;
        std::string mods;
        while (j < line.size() && std::string_view("fdpnx").find(line[j]) != std::string_view::npos) mods += line[j++];
        if (mods.empty() || j >= line.size() || line[j] != '0') {
          throw Refusal("unsupported argument reference in: " + line);
        }
        out += scriptPathPart(mods);
        i = j;
        continue;
      }
      if (i + 1 < line.size() && ((line[i + 1] >= '0' && line[i + 1] <= '9') || line[i + 1] == '*')) {
        throw Refusal("batch arguments are not supported: " + line);
      }
      std::size_t close = line.find('%', i + 1);
      if (close == std::string::npos) continue;  // a lone '%' vanishes
      std::string name = line.substr(i + 1, close - i - 1);
      if (name.find(':') != std::string::npos) throw Refusal("unsupported variable edit in: " + line);
      if (std::optional<std::string> v = var(name)) {
        out += *v;
      } else if (dry) {
        out += '0';
      }
      i = close;
    }
    return out;
  }

  std::string scriptPathPart(const std::string& mods) const {
    if (mods.find('f') != std::string::npos) {
      if (mods != "f") throw Refusal("unsupported modifier combination ~" + mods);
      return scriptFull_;
    }
    std::size_t lastSep = scriptFull_.find_last_of('\\');
    std::string drive = scriptFull_.substr(0, 2);
    std::string dirPart = scriptFull_.substr(2, lastSep - 1);
    std::string file = scriptFull_.substr(lastSep + 1);
    std::size_t dot = file.find_last_of('.');
    std::string stem = dot == std::string::npos ? file : file.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : file.substr(dot);
    std::string out;
    if (mods.find('d') != std::string::npos) out += drive;
    if (mods.find('p') != std::string::npos) out += dirPart;
    if (mods.find('n') != std::string::npos) out += stem;
    if (mods.find('x') != std::string::npos) out += ext;
    return out;
  }

  std::optional<std::string> var(std::string_view name) const {
    for (const auto& [n, v] : vars_) {
      if (equalsAsciiIgnoreCase(n, name)) return v;
    }
    return std::nullopt;
  }

  void setVar(const std::string& name, const std::string& value) {
    std::erase_if(vars_, [&](const auto& kv) { return equalsAsciiIgnoreCase(kv.first, name); });
    if (!value.empty()) vars_.emplace_back(name, value);
  }

  void emitOut(const Redirect& r, const std::string& s) {
    if (!r.outNull) std::fwrite(s.data(), 1, s.size(), stdout);
  }

  void emitErr(const Redirect& r, const std::string& s) {
    if (r.errNull) return;
    std::fflush(stdout);
    std::fwrite(s.data(), 1, s.size(), r.errOnStdout ? stdout : stderr);
  }

  // Returns the exit status when the line ends the script.
  std::optional<int> executeLine(const std::string& text, bool dry) {
    std::vector<Token> tokens = tokenize(text);
    std::size_t firstRedirect = tokens.size();
    while (firstRedirect > 0) {
      std::string t = lowerAscii(tokens[firstRedirect - 1].text);
      if (t != ">nul" && t != "2>&1") break;
      --firstRedirect;
    }
    Redirect r;
    for (std::size_t i = firstRedirect; i < tokens.size(); ++i) {
      if (lowerAscii(tokens[i].text) == ">nul") {
        r.outNull = true;
      } else {
        r.errNull = r.outNull;
        r.errOnStdout = !r.outNull;
      }
    }
    tokens.resize(firstRedirect);
    for (const Token& t : tokens) {
      if (hasUnquotedSpecial(t.text)) throw Refusal("unsupported operator or redirection in: " + text);
    }
    if (tokens.empty()) throw Refusal("a redirection without a command: " + text);
    std::string rest = tokens.size() > 1 ? text.substr(tokens[1].begin, tokens.back().end - tokens[1].begin) : "";
    std::vector<std::string> words;
    for (const Token& t : tokens) words.push_back(t.text);
    return execute(words, rest, r, text, dry);
  }

  // Carries out one command; a dry run only checks its form.
  std::optional<int> execute(const std::vector<std::string>& w, const std::string& rest, const Redirect& r,
                             const std::string& text, bool dry) {
    std::string cmd = lowerAscii(w[0]);
    if (cmd == "echo") {
      if (w.size() == 2 && (equalsAsciiIgnoreCase(w[1], "off") || equalsAsciiIgnoreCase(w[1], "on"))) {
        return std::nullopt;
      }
    } else if (cmd == "setlocal") {
      if (w.size() == 2 && equalsAsciiIgnoreCase(w[1], "DisableDelayedExpansion")) return std::nullopt;
    } else if (cmd == "set") {
      setCommand(rest, text, dry);
      return std::nullopt;
    } else if (cmd == "goto") {
      if (w.size() == 2) return gotoLabel(w[1], dry);
    } else if (cmd == "if") {
      return ifCommand(w, r, text, dry);
    } else if (cmd == "exit") {
      if (w.size() >= 2 && w.size() <= 3 && equalsAsciiIgnoreCase(w[1], "/b")) {
        std::int64_t code = errorLevel_;
        if (w.size() == 3 && !parseInt64(w[2], code)) throw Refusal("exit code is not a number: " + text);
        if (dry) return std::nullopt;
        return static_cast<int>(code);
      }
    } else if (cmd == "del") {
      if (w.size() == 4) {
        std::string a = lowerAscii(w[1]);
        std::string b = lowerAscii(w[2]);
        if ((a == "/f" && b == "/q") || (a == "/q" && b == "/f")) {
          std::string path = unquote(w[3]);
          refuseWildcards(path);
          if (!dry) del(path, r);
          return std::nullopt;
        }
      }
    } else if (w[0][0] == '"') {
      runProgram(w, r, dry);
      return std::nullopt;
    }
    throw Refusal("unsupported command: " + text);
  }

  void setCommand(const std::string& rest, const std::string& text, bool dry) {
    if (startsWithAsciiIgnoreCase(rest, "/a") && rest.size() > 2 && isBlank(rest[2])) {
      std::string expr;
      for (char c : rest.substr(3)) {
        if (!isBlank(c)) expr += c;
      }
      std::size_t eq = expr.find('=');
      if (eq == std::string::npos || eq == 0) throw Refusal("unsupported arithmetic: " + text);
      char op = '=';
      std::string name = expr.substr(0, eq);
      if (name.back() == '+' || name.back() == '-') {
        op = name.back();
        name.pop_back();
      }
      std::int64_t operand = 0;
      bool nameOk = !name.empty() && !(name[0] >= '0' && name[0] <= '9');
      for (char c : name) {
        nameOk = nameOk && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_');
      }
      if (!nameOk || !parseInt64(expr.substr(eq + 1), operand)) throw Refusal("unsupported arithmetic: " + text);
      if (dry) return;
      std::int64_t current = 0;
      if (std::optional<std::string> v = var(name)) {
        if (!parseInt64(*v, current)) current = 0;
      }
      std::int64_t result = op == '+' ? current + operand : op == '-' ? current - operand : operand;
      setVar(name, std::to_string(static_cast<std::int32_t>(result)));
      return;
    }
    std::size_t eq = rest.find('=');
    if (rest.empty() || rest[0] == '/' || rest[0] == '"' || eq == std::string::npos || eq == 0) {
      throw Refusal("unsupported form of set: " + text);
    }
    if (!dry) setVar(rest.substr(0, eq), rest.substr(eq + 1));
  }

  // A label that is nowhere in the script is refused in the check before
  // the run, so the run always finds it.
  std::optional<int> gotoLabel(std::string label, bool dry) {
    if (!label.empty() && label[0] == ':') label.erase(0, 1);
    if (equalsAsciiIgnoreCase(label, "eof")) throw Refusal("goto :eof is not supported");
    // cmd.exe searches on from the current line and then from the top.
    for (std::size_t k = 0; k < lines_.size(); ++k) {
      std::size_t idx = (pc_ + k) % lines_.size();
      std::string t = trimLeft(lines_[idx]);
      if (t.empty() || t[0] != ':') continue;
      std::size_t end = 1;
      while (end < t.size() && !isBlank(t[end])) ++end;
      if (equalsAsciiIgnoreCase(std::string_view(t).substr(1, end - 1), label)) {
        if (!dry) pc_ = idx + 1;
        return std::nullopt;
      }
    }
    throw Refusal("The system cannot find the batch label specified - " + label);
  }

  std::optional<int> ifCommand(const std::vector<std::string>& w, const Redirect& r, const std::string& text,
                               bool dry) {
    std::size_t i = 1;
    bool negate = false;
    if (i < w.size() && equalsAsciiIgnoreCase(w[i], "not")) {
      negate = true;
      ++i;
    }
    bool cond = false;
    if (i < w.size() && equalsAsciiIgnoreCase(w[i], "exist")) {
      if (i + 2 >= w.size()) throw Refusal("incomplete if: " + text);
      std::string path = unquote(w[i + 1]);
      refuseWildcards(path);
      cond = !dry && exists(path);
      i += 2;
    } else {
      if (i + 3 >= w.size()) throw Refusal("incomplete if: " + text);
      cond = compare(w[i], lowerAscii(w[i + 1]), w[i + 2], text);
      i += 3;
    }
    if (!dry && cond == negate) return std::nullopt;
    std::vector<std::string> inner(w.begin() + static_cast<std::ptrdiff_t>(i), w.end());
    std::string innerRest;
    for (std::size_t k = 1; k < inner.size(); ++k) innerRest += (k > 1 ? " " : "") + inner[k];
    return execute(inner, innerRest, r, text, dry);
  }

  static bool compare(const std::string& a, const std::string& op, const std::string& b, const std::string& text) {
    std::int64_t x = 0;
    std::int64_t y = 0;
    int c = 0;
    if (parseInt64(a, x) && parseInt64(b, y)) {
      c = x < y ? -1 : x > y ? 1 : 0;
    } else {
      c = a < b ? -1 : a > b ? 1 : 0;
    }
    if (op == "equ") return c == 0;
    if (op == "neq") return c != 0;
    if (op == "lss") return c < 0;
    if (op == "leq") return c <= 0;
    if (op == "gtr") return c > 0;
    if (op == "geq") return c >= 0;
    throw Refusal("unsupported comparison in: " + text);
  }

  static void refuseWildcards(const std::string& path) {
    if (path.find_first_of("*?") != std::string::npos) throw Refusal("wildcards are not supported: " + path);
  }

  static std::optional<std::string> hostOf(const std::string& path, std::string* full) {
    std::string f;
    std::string error;
    if (!getFullPath(path, f, error)) return std::nullopt;
    if (full) *full = f;
    return toHostPath(f);
  }

  // A folder without any write bit keeps its files even from root, whom the
  // kernel would let through, so that tests running as root can lock a file
  // in place the way a Windows test would.
  static bool folderWritable(const std::string& host) {
    std::size_t slash = host.find_last_of('/');
    std::string parent = slash == 0 ? "/" : host.substr(0, slash);
    struct stat st {};
    return ::stat(parent.c_str(), &st) == 0 && (st.st_mode & 0222) != 0;
  }

  static bool exists(const std::string& path) {
    std::optional<std::string> host = hostOf(path, nullptr);
    struct stat st {};
    return host && ::stat(host->c_str(), &st) == 0;
  }

  void del(const std::string& path, const Redirect& r) {
    std::string full;
    std::optional<std::string> host = hostOf(path, &full);
    if (full.empty()) full = path;
    std::optional<FiredFault> fault;
    {
      StateLock lock;
      logCall("del", {full});
      fault = matchFault("del", {full});
    }
    struct stat st {};
    if (!host || ::lstat(host->c_str(), &st) != 0) {
      emitErr(r, "Could Not Find " + full + "\r\n");
      return;
    }
    if (S_ISDIR(st.st_mode)) throw Refusal("del of a folder is not supported: " + full);
    // del names the file and says "Access is denied." on standard error, and
    // leaves the errorlevel as it was, whatever kept the file.
    if (fault || !folderWritable(*host) || isRunningImage(*host) || ::unlink(host->c_str()) != 0) {
      emitErr(r, full + "\r\nAccess is denied.\r\n");
    }
  }

  void runProgram(const std::vector<std::string>& w, const Redirect& r, bool dry) {
    std::string program = unquote(w[0]);
    if (!equalsAsciiIgnoreCase(baseName(program), "ping.exe") || w.size() != 4 || w[1] != "-n" || w[2] != "2" ||
        w[3] != "127.0.0.1") {
      throw Refusal("the only program a script may run is ping.exe -n 2 127.0.0.1");
    }
    if (dry) return;
    std::optional<std::string> host = hostOf(program, nullptr);
    struct stat st {};
    if (!host || ::stat(host->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      emitErr(r, "'" + program + "' is not recognized as an internal or external command,\r\noperable program or batch file.\r\n");
      errorLevel_ = 9009;
      return;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (r.outNull) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (r.errNull) {
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    } else if (r.errOnStdout) {
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    std::vector<std::string> env;
    for (const auto& [n, v] : vars_) env.push_back(n + "=" + v);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvStore(w.begin() + 1, w.end());
    argvStore.insert(argvStore.begin(), program);
    std::vector<char*> argv;
    for (std::string& a : argvStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, host->c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      emitErr(r, "Access is denied.\r\n");
      errorLevel_ = 1;
      return;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    errorLevel_ = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  }

  std::vector<std::string> lines_;
  std::string scriptFull_;
  std::vector<std::pair<std::string, std::string>> vars_;
  std::size_t pc_ = 0;
  int errorLevel_ = 0;
};

}  // namespace

int runBatch(const std::string& scriptPath, const std::string& bytes) {
  if (bytes.find('\0') != std::string::npos) throw Refusal("the script holds a NUL byte");
  std::string text = cp437ToUtf8(bytes);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = nl + 1;
  }
  Batch batch(scriptPath, std::move(lines));
  return batch.run();
}

}  // namespace standin
