#include "ps_template.h"

namespace standin {

std::size_t quoteCharLength(std::string_view s, std::size_t pos) {
  if (pos >= s.size()) return 0;
  if (s[pos] == '\'') return 1;
  if (pos + 2 < s.size() && static_cast<unsigned char>(s[pos]) == 0xE2 &&
      static_cast<unsigned char>(s[pos + 1]) == 0x80) {
    auto third = static_cast<unsigned char>(s[pos + 2]);
    if (third >= 0x98 && third <= 0x9B) return 3;
  }
  return 0;
}

namespace {

// Reads a literal's content from `pos` up to (not including) its closing
// quote. Two quote characters in a row are one literal quote. The system
// doubles each quote character with itself; a pair of two different ones is
// refused (`why` says so), since which of them PowerShell keeps is exactly
// the kind of detail a wrong quoting would hide behind.
bool readLiteral(std::string_view script, std::size_t& pos, std::string& value, std::string& why) {
  value.clear();
  while (pos < script.size()) {
    std::size_t q = quoteCharLength(script, pos);
    if (q == 0) {
      value += script[pos++];
      continue;
    }
    std::size_t q2 = quoteCharLength(script, pos + q);
    if (q2 == 0) return true;
    if (script.substr(pos, q) != script.substr(pos + q, q2)) {
      why = "two different quote characters in a row in a literal";
      return false;
    }
    value.append(script.substr(pos, q));
    pos += q + q2;
  }
  why = "a quoted literal is never closed";
  return false;
}

std::string excerpt(std::string_view s, std::size_t pos) {
  std::string out(s.substr(pos, 40));
  for (char& c : out) {
    if (c == '\n') c = '|';
  }
  return "\"" + out + "\"";
}

}  // namespace

TemplateMatch matchTemplate(std::string_view script, std::string_view templ) {
  TemplateMatch m;
  std::vector<bool> bound;
  std::size_t pos = 0;
  std::size_t t = 0;
  while (t < templ.size()) {
    if (templ[t] == kSlot) {
      std::size_t slot = static_cast<std::size_t>(templ[t + 1] - '0');
      t += 2;
      std::string value;
      std::size_t from = pos;
      if (!readLiteral(script, pos, value, m.why)) {
        m.failedAt = from;
        return m;
      }
      if (m.values.size() <= slot) {
        m.values.resize(slot + 1);
        bound.resize(slot + 1, false);
      }
      if (bound[slot] && m.values[slot] != value) {
        m.failedAt = from;
        m.why = "a path that must repeat differs from its first appearance";
        return m;
      }
      m.values[slot] = value;
      bound[slot] = true;
      continue;
    }
    std::size_t next = templ.find(kSlot, t);
    std::string_view fixed = templ.substr(t, next == std::string_view::npos ? std::string_view::npos : next - t);
    std::size_t same = 0;
    while (same < fixed.size() && pos + same < script.size() && script[pos + same] == fixed[same]) ++same;
    if (same < fixed.size()) {
      m.failedAt = pos + same;
      m.why = "expected " + excerpt(fixed, same) + " but found " + excerpt(script, pos + same);
      return m;
    }
    pos += fixed.size();
    t += fixed.size();
  }
  if (pos != script.size()) {
    m.failedAt = pos;
    m.why = "unexpected text after the script: " + excerpt(script, pos);
    return m;
  }
  m.ok = true;
  return m;
}

}  // namespace standin
