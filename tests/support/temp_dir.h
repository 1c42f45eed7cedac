#pragma once
// A fresh real folder under /tmp for one test, removed with everything in it
// when the object goes away. Header-only: test programs link no support
// library.
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace tl::test {

class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/tl-test-XXXXXX";
    if (::mkdtemp(templ) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    host_ = templ;
    windows_ = "Z:";
    for (char c : host_) windows_ += (c == '/') ? '\\' : c;
  }
  ~TempDir() {
    makeRemovable();
    std::error_code ec;
    std::filesystem::remove_all(host_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Host form: "/tmp/tl-test-XXXXXX".
  const std::string& hostPath() const { return host_; }
  // Windows form: "Z:\tmp\tl-test-XXXXXX".
  const std::string& path() const { return windows_; }
  const std::string& windowsPath() const { return windows_; }

  // Host and Windows paths of a name below the folder ("a\b" or "a/b").
  std::string host(std::string_view relative) const { return join(host_, relative, '/'); }
  std::string win(std::string_view relative) const { return join(windows_, relative, '\\'); }

 private:
  static std::string join(const std::string& base, std::string_view relative, char sep) {
    std::string out = base;
    out += sep;
    for (char c : relative) out += (c == '/' || c == '\\') ? sep : c;
    return out;
  }

  // Read-only folders would keep their entries from being removed: give each
  // folder its owner's bits back before descending. Links are not followed.
  void makeRemovable() const {
    ::chmod(host_.c_str(), 0700);
    std::error_code ec;
    std::filesystem::recursive_directory_iterator it(
        host_, std::filesystem::directory_options::skip_permission_denied, ec);
    for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      struct stat st {};
      if (::lstat(it->path().c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        ::chmod(it->path().c_str(), 0700);
      }
    }
  }

  std::string host_;
  std::string windows_;
};

}  // namespace tl::test
