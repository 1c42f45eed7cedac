#include "running_image.h"

#include <dirent.h>
#include <sys/stat.h>

#include <string_view>

namespace standin {

bool isRunningImage(const std::string& hostPath) {
  struct stat target {};
  if (::lstat(hostPath.c_str(), &target) != 0 || !S_ISREG(target.st_mode)) return false;
  DIR* proc = ::opendir("/proc");
  if (!proc) return false;
  bool running = false;
  while (dirent* e = ::readdir(proc)) {
    std::string_view name = e->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string_view::npos) continue;
    // /proc/<pid>/exe names the image even after a rename; a zombie's
    // cannot be followed.
    struct stat image {};
    const std::string exe = "/proc/" + std::string(name) + "/exe";
    if (::stat(exe.c_str(), &image) == 0 && image.st_dev == target.st_dev && image.st_ino == target.st_ino) {
      running = true;
      break;
    }
  }
  ::closedir(proc);
  return running;
}

}  // namespace standin
