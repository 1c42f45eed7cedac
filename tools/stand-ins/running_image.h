#pragma once
// Windows keeps the file a running process was started from: deleting it is
// "Access is denied." until the last such process has ended.
#include <string>

namespace standin {

// Whether `hostPath` (not followed when it is a link: deleting a link leaves
// its target alone) is the executable of a process that runs now. Zombies
// hold no image any more; processes this user cannot inspect are not seen.
bool isRunningImage(const std::string& hostPath);

}  // namespace standin
