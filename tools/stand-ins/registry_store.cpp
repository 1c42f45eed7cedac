#include "registry_store.h"

#include "standin_error.h"
#include "state_store.h"
#include "text.h"

namespace standin {

namespace {

constexpr std::string_view kHeader = "standin-registry 1";

bool isBelow(std::string_view path, std::string_view ancestor) {
  return path.size() > ancestor.size() + 1 && path[ancestor.size()] == '\\' &&
         equalsOrdinalIgnoreCase(path.substr(0, ancestor.size()), ancestor);
}

std::string field(std::string_view raw) {
  std::string out;
  if (!unescapeField(raw, out)) throw Refusal("registry.txt: bad escape in \"" + std::string(raw) + "\"");
  return out;
}

}  // namespace

Registry Registry::load() {
  Registry reg;
  std::optional<std::string> text = readHostFile(statePath("registry.txt"));
  if (!text) return reg;
  std::size_t start = 0;
  bool first = true;
  while (start < text->size()) {
    std::size_t nl = text->find('\n', start);
    if (nl == std::string::npos) throw Refusal("registry.txt: last line not ended");
    std::string_view line = std::string_view(*text).substr(start, nl - start);
    start = nl + 1;
    if (first) {
      if (line != kHeader) throw Refusal("registry.txt: not a stand-in registry");
      first = false;
      continue;
    }
    std::vector<std::string_view> f = splitTabs(line);
    if (f.size() == 3 && f[0] == "K") {
      reg.keys_.push_back(RegKey{field(f[1]), field(f[2]), {}});
    } else if (f.size() == 6 && f[0] == "V") {
      RegKey* key = reg.find(field(f[1]), field(f[2]));
      if (!key) throw Refusal("registry.txt: value before its key");
      key->values.push_back(RegValue{field(f[3]), field(f[4]), field(f[5])});
    } else {
      throw Refusal("registry.txt: bad line \"" + std::string(line) + "\"");
    }
  }
  return reg;
}

void Registry::save() const {
  std::string out = std::string(kHeader) + "\n";
  for (const RegKey& k : keys_) {
    out += "K\t" + escapeField(k.view) + "\t" + escapeField(k.path) + "\n";
    for (const RegValue& v : k.values) {
      out += "V\t" + escapeField(k.view) + "\t" + escapeField(k.path) + "\t" + escapeField(v.name) + "\t" +
             escapeField(v.type) + "\t" + escapeField(v.data) + "\n";
    }
  }
  writeHostFileAtomically(statePath("registry.txt"), out);
}

bool Registry::exists(std::string_view view, std::string_view path) const {
  if (equalsOrdinalIgnoreCase(path, kRegRoot)) return true;
  for (const RegKey& k : keys_) {
    if (k.view == view && equalsOrdinalIgnoreCase(k.path, path)) return true;
  }
  return false;
}

RegKey* Registry::find(std::string_view view, std::string_view path) {
  for (RegKey& k : keys_) {
    if (k.view == view && equalsOrdinalIgnoreCase(k.path, path)) return &k;
  }
  return nullptr;
}

RegKey& Registry::create(std::string_view view, std::string_view path) {
  // Parents first, so that creation order lists a parent before its children.
  std::size_t pos = kRegRoot.size();
  while (true) {
    std::size_t sep = path.find('\\', pos + 1);
    std::string_view prefix = path.substr(0, sep);
    if (!find(view, prefix)) keys_.push_back(RegKey{std::string(view), std::string(prefix), {}});
    if (sep == std::string_view::npos) break;
    pos = sep;
  }
  return *find(view, path);
}

void Registry::remove(std::string_view view, std::string_view path) {
  std::erase_if(keys_, [&](const RegKey& k) {
    return k.view == view && (equalsOrdinalIgnoreCase(k.path, path) || isBelow(k.path, path));
  });
}

std::vector<std::string> Registry::children(std::string_view view, std::string_view path) const {
  std::vector<std::string> out;
  for (const RegKey& k : keys_) {
    if (k.view != view || !isBelow(k.path, path)) continue;
    if (k.path.find('\\', path.size() + 1) == std::string::npos) out.push_back(k.path);
  }
  return out;
}

}  // namespace standin
