#include "fault_rules.h"

#include <fnmatch.h>

#include <cstdint>

#include "standin_error.h"
#include "state_store.h"
#include "text.h"

namespace standin {

namespace {

struct Rule {
  std::string role;
  std::vector<std::string> patterns;
  int exitCode = 1;
  bool exited = false;
  std::int64_t times = -1;  // unlimited
  std::string head;         // role and patterns, quoted again, for rewriting
};

// Whitespace-separated tokens; a token in double quotes may hold spaces, and
// "" inside it stands for one quote.
std::vector<std::string> tokenize(std::string_view line, int lineNo) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) return tokens;
    std::string tok;
    if (line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            tok += '"';
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        tok += line[i++];
      }
      if (!closed || (i < line.size() && line[i] != ' ' && line[i] != '\t')) {
        throw Refusal("faults line " + std::to_string(lineNo) + ": bad quoting");
      }
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') tok += line[i++];
    }
    tokens.push_back(std::move(tok));
  }
}

std::string quoteToken(const std::string& tok) {
  if (!tok.empty() && tok.find_first_of(" \t\"") == std::string::npos) return tok;
  std::string out = "\"";
  for (char c : tok) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

int parseCount(const std::vector<std::string>& toks, std::size_t i, int lineNo) {
  std::int64_t v = 0;
  if (i >= toks.size() || !parseInt64(toks[i], v) || v < 0 || v > 255 * 1000000LL) {
    throw Refusal("faults line " + std::to_string(lineNo) + ": expected a number");
  }
  return static_cast<int>(v);
}

std::optional<Rule> parseRule(std::string_view line, int lineNo) {
  std::vector<std::string> toks = tokenize(line, lineNo);
  if (toks.empty() || toks[0].rfind("#", 0) == 0) return std::nullopt;
  Rule r;
  r.role = toks[0];
  std::size_t i = 1;
  for (; i < toks.size() && toks[i] != "=>"; ++i) r.patterns.push_back(toks[i]);
  for (std::size_t k = 0; k < i; ++k) r.head += (k ? " " : "") + quoteToken(toks[k]);
  if (i < toks.size()) {
    bool any = false;
    for (++i; i < toks.size(); i += 2) {
      if (toks[i] == "exited") {
        if (r.role != "Stop-Process") {
          throw Refusal("faults line " + std::to_string(lineNo) + ": exited is for Stop-Process only");
        }
        r.exited = true;
        --i;  // a keyword without a value
      } else if (toks[i] == "exit") {
        r.exitCode = parseCount(toks, i + 1, lineNo);
        if (r.exitCode == 0 || r.exitCode > 255) {
          throw Refusal("faults line " + std::to_string(lineNo) + ": exit must be 1..255");
        }
      } else if (toks[i] == "times") {
        r.times = parseCount(toks, i + 1, lineNo);
      } else {
        throw Refusal("faults line " + std::to_string(lineNo) + ": unknown option " + toks[i]);
      }
      any = true;
    }
    if (!any) throw Refusal("faults line " + std::to_string(lineNo) + ": nothing after =>");
  }
  return r;
}

bool globMatch(const std::string& pattern, const std::string& text) {
  return ::fnmatch(pattern.c_str(), text.c_str(), FNM_NOESCAPE | FNM_CASEFOLD) == 0;
}

// Patterns against arguments; a lone "*" takes any run of arguments.
bool matchArgs(const std::vector<std::string>& pats, std::size_t p, const std::vector<std::string>& args,
               std::size_t a) {
  if (p == pats.size()) return a == args.size();
  if (pats[p] == "*") {
    for (std::size_t k = a; k <= args.size(); ++k) {
      if (matchArgs(pats, p + 1, args, k)) return true;
    }
    return false;
  }
  return a < args.size() && globMatch(pats[p], args[a]) && matchArgs(pats, p + 1, args, a + 1);
}

}  // namespace

std::optional<FiredFault> matchFault(std::string_view role, const std::vector<std::string>& args) {
  std::string path = statePath("faults");
  std::optional<std::string> text = readHostFile(path);
  if (!text) return std::nullopt;
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text->size()) {
    std::size_t nl = text->find('\n', start);
    if (nl == std::string::npos) nl = text->size();
    std::string line = text->substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = nl + 1;
  }
  for (std::size_t n = 0; n < lines.size(); ++n) {
    int lineNo = static_cast<int>(n + 1);
    std::optional<Rule> rule = parseRule(lines[n], lineNo);
    if (!rule || rule->times == 0) continue;
    if (!globMatch(rule->role, std::string(role))) continue;
    if (!matchArgs(rule->patterns, 0, args, 0)) continue;
    if (rule->times > 0) {
      lines[n] = rule->head + (rule->exited ? " => exited" : " => exit " + std::to_string(rule->exitCode)) +
                 " times " + std::to_string(rule->times - 1);
      std::string out;
      for (const std::string& l : lines) out += l + "\n";
      writeHostFileAtomically(path, out);
    }
    return FiredFault{rule->exitCode, lineNo, rule->exited};
  }
  return std::nullopt;
}

}  // namespace standin
