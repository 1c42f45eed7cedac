// reg.exe: query, add and delete of keys under HKEY_CURRENT_USER, in the
// layout and with the messages of the real tool.
#include <cstdint>
#include <cstdio>
#include <optional>

#include "registry_store.h"
#include "roles.h"
#include "standin_error.h"
#include "state_store.h"
#include "text.h"

namespace standin {

namespace {

constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.\r\n";
constexpr const char* kDone = "The operation completed successfully.\r\n";

// "HKCU\a\b" or "HKEY_CURRENT_USER\a\b" -> "HKEY_CURRENT_USER\a\b".
std::string canonicalKey(const std::string& key) {
  std::size_t sep = key.find('\\');
  std::string_view root = std::string_view(key).substr(0, sep);
  if (!equalsAsciiIgnoreCase(root, "HKCU") && !equalsAsciiIgnoreCase(root, "HKEY_CURRENT_USER")) {
    throw Refusal("only keys under HKCU are kept: \"" + key + "\"");
  }
  std::string out(kRegRoot);
  if (sep == std::string::npos) return out;
  std::string_view rest = std::string_view(key).substr(sep + 1);
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t next = rest.find('\\', start);
    if (next == std::string_view::npos) next = rest.size();
    if (next == start) throw Refusal("empty name in key \"" + key + "\"");
    start = next + 1;
  }
  return out + "\\" + std::string(rest);
}

struct Switches {
  std::optional<std::string> view;  // "64" or "32"
  std::optional<std::string> valueName;
  std::optional<std::string> type;
  std::optional<std::string> data;
  bool force = false;
};

// Parses the switches after the key; `allowed` lists the ones this operation
// takes (without the slash, lower case).
Switches parseSwitches(const Args& args, std::size_t from, std::initializer_list<std::string_view> allowed) {
  Switches s;
  auto permitted = [&](std::string_view name) {
    for (std::string_view a : allowed) {
      if (a == name) return true;
    }
    return false;
  };
  for (std::size_t i = from; i < args.size(); ++i) {
    std::string sw = lowerAscii(args[i]);
    auto takeValue = [&](std::optional<std::string>& slot) {
      if (slot) throw Refusal("switch " + args[i] + " given twice");
      if (i + 1 >= args.size()) throw Refusal("switch " + args[i] + " needs a value");
      slot = args[++i];
    };
    if ((sw == "/reg:64" || sw == "/reg:32") && permitted("reg")) {
      if (s.view) throw Refusal("more than one /reg: switch");
      s.view = sw.substr(5);
    } else if (sw == "/v" && permitted("v")) {
      takeValue(s.valueName);
    } else if (sw == "/t" && permitted("t")) {
      takeValue(s.type);
    } else if (sw == "/d" && permitted("d")) {
      takeValue(s.data);
    } else if (sw == "/f" && permitted("f")) {
      if (s.force) throw Refusal("switch /f given twice");
      s.force = true;
    } else {
      throw Refusal("unexpected argument \"" + args[i] + "\"");
    }
  }
  return s;
}

std::string dwordText(const std::string& data) {
  std::string_view d = data;
  int base = 10;
  if (startsWithAsciiIgnoreCase(d, "0x")) {
    base = 16;
    d.remove_prefix(2);
  }
  if (d.empty() || d.size() > 10) throw ToolFailure(1, "ERROR: Invalid syntax.\r\n");
  std::uint64_t v = 0;
  for (char c : d) {
    int digit = (c >= '0' && c <= '9') ? c - '0'
                : (base == 16 && c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (base == 16 && c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                         : -1;
    if (digit < 0) throw ToolFailure(1, "ERROR: Invalid syntax.\r\n");
    v = v * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
  }
  if (v > 0xFFFFFFFFull) throw ToolFailure(1, "ERROR: Invalid syntax.\r\n");
  return std::to_string(v);
}

int query(const Args& args) {
  std::string key = canonicalKey(args.at(1));
  Switches s = parseSwitches(args, 2, {"reg"});
  std::string view = s.view.value_or("64");
  StateLock lock;
  Registry reg = Registry::load();
  if (!reg.exists(view, key)) {
    std::fputs(kNotFound, stderr);
    return 1;
  }
  const RegKey* k = reg.find(view, key);
  std::string out = "\r\n" + (k ? k->path : std::string(kRegRoot)) + "\r\n";
  if (k) {
    for (const RegValue& v : k->values) {
      std::string shown = v.data;
      if (v.type == "REG_DWORD") {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%llx", std::stoull(v.data));
        shown = buf;
      }
      out += "    " + (v.name.empty() ? std::string("(Default)") : v.name) + "    " + v.type + "    " + shown + "\r\n";
    }
  }
  // Each listed block (values, then subkeys) ends with a blank line, as the
  // real tool prints it.
  const bool hasValues = k && !k->values.empty();
  if (hasValues) out += "\r\n";
  std::vector<std::string> subkeys = reg.children(view, key);
  if (!subkeys.empty()) {
    if (!hasValues) out += "\r\n";
    for (const std::string& sk : subkeys) out += sk + "\r\n";
    out += "\r\n";
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

int add(const Args& args) {
  std::string key = canonicalKey(args.at(1));
  if (key == kRegRoot) throw Refusal("the stand-in writes no values into the root key");
  Switches s = parseSwitches(args, 2, {"reg", "v", "t", "d", "f"});
  if (!s.force) throw Refusal("reg add without /f would ask before overwriting");
  if (!s.valueName && (s.type || s.data)) throw Refusal("/t or /d without /v");
  std::string type = s.type ? s.type.value() : "REG_SZ";
  std::string upper = upperInvariant(type);
  if (upper != "REG_SZ" && upper != "REG_DWORD") throw Refusal("unsupported value type \"" + type + "\"");
  std::string data = s.data.value_or("");
  if (upper == "REG_DWORD") data = dwordText(s.data.value_or("0"));
  std::string view = s.view.value_or("64");
  StateLock lock;
  Registry reg = Registry::load();
  RegKey& k = reg.create(view, key);
  if (s.valueName) {
    bool replaced = false;
    for (RegValue& v : k.values) {
      if (equalsOrdinalIgnoreCase(v.name, *s.valueName)) {
        v.type = upper;
        v.data = data;
        replaced = true;
      }
    }
    if (!replaced) k.values.push_back(RegValue{*s.valueName, upper, data});
  }
  reg.save();
  std::fputs(kDone, stdout);
  return 0;
}

int remove(const Args& args) {
  std::string key = canonicalKey(args.at(1));
  if (key == kRegRoot) throw Refusal("the stand-in does not delete the root key");
  Switches s = parseSwitches(args, 2, {"reg", "f"});
  if (!s.force) throw Refusal("reg delete without /f would ask for confirmation");
  std::string view = s.view.value_or("64");
  StateLock lock;
  Registry reg = Registry::load();
  if (!reg.exists(view, key)) {
    std::fputs(kNotFound, stderr);
    return 1;
  }
  reg.remove(view, key);
  reg.save();
  std::fputs(kDone, stdout);
  return 0;
}

}  // namespace

int runReg(const Args& args) {
  if (args.size() < 2) throw Refusal("expected an operation and a key");
  std::string op = lowerAscii(args[0]);
  if (op == "query") return query(args);
  if (op == "add") return add(args);
  if (op == "delete") return remove(args);
  throw Refusal("unsupported operation \"" + args[0] + "\"");
}

}  // namespace standin
