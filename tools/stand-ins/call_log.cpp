#include "call_log.h"

#include <cstdio>

#include "state_store.h"

namespace standin {

namespace {

void appendJsonString(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b < 0x20 || b == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", b);
      out += buf;
    } else {
      out += c;
    }
  }
  out += '"';
}

}  // namespace

void logCall(std::string_view role, const std::vector<std::string>& args) {
  std::string line = "[";
  appendJsonString(line, role);
  for (const std::string& a : args) {
    line += ", ";
    appendJsonString(line, a);
  }
  line += "]\n";
  appendHostFile(statePath("calls.log"), line);
}

}  // namespace standin
