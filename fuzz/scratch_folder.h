#pragma once
// A scratch folder for fuzz targets that write to disk: made once per process
// in memory where possible (/dev/shm, else /tmp) and removed when the process
// ends.
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace tl::fuzz {

inline const std::filesystem::path& scratchFolder(std::string_view prefix) {
  struct Scratch {
    explicit Scratch(std::string_view prefix) {
      std::string templ = std::filesystem::is_directory("/dev/shm") ? "/dev/shm/" : "/tmp/";
      templ.append(prefix).append("-XXXXXX");
      if (::mkdtemp(templ.data()) == nullptr) __builtin_trap();
      path = templ;
    }
    ~Scratch() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
    std::filesystem::path path;
  };
  static const Scratch s(prefix);
  return s.path;
}

}  // namespace tl::fuzz
