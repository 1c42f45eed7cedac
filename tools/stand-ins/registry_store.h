#pragma once
// The stand-in registry: keys under HKEY_CURRENT_USER in two views (64 and
// 32) kept apart, stored in state\registry.txt. Load and save under the
// StateLock.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

struct RegValue {
  std::string name;
  std::string type;  // "REG_SZ" or "REG_DWORD"
  std::string data;  // REG_DWORD as a decimal number
};

struct RegKey {
  std::string view;  // "64" or "32"
  std::string path;  // "HKEY_CURRENT_USER\..." in the case it was created with
  std::vector<RegValue> values;
};

inline constexpr std::string_view kRegRoot = "HKEY_CURRENT_USER";

class Registry {
 public:
  static Registry load();
  void save() const;

  // The root key always exists (and is never stored).
  bool exists(std::string_view view, std::string_view path) const;
  RegKey* find(std::string_view view, std::string_view path);
  // Creates the key and every missing parent; returns the key.
  RegKey& create(std::string_view view, std::string_view path);
  // Removes the key with all its subkeys.
  void remove(std::string_view view, std::string_view path);
  // Full paths of the direct subkeys, in creation order.
  std::vector<std::string> children(std::string_view view, std::string_view path) const;

 private:
  std::vector<RegKey> keys_;
};

}  // namespace standin
