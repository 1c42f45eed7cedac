#pragma once
// The stand-in's shortcut (.lnk) file: a small text format written at the
// link path. A file that is not in this format is "not a shortcut", as a
// file that WScript.Shell cannot load.
//
//   [TamberlockStandInShortcut]
//   TargetPath=Z:\...\launcher.exe
//   Arguments=
//   WorkingDirectory=Z:\...\bin
//   IconLocation=Z:\...\launcher.exe
//   WindowStyle=1
//   Description=
//   Hotkey=
//
// Every line ends with LF; keys appear at most once, in any order; a missing
// key is empty (WindowStyle 1); values hold no CR or LF.
#include <optional>
#include <string>
#include <string_view>

namespace standin {

struct Shortcut {
  std::string targetPath;
  std::string arguments;
  std::string workingDirectory;
  std::string iconLocation;
  int windowStyle = 1;
  std::string description;
  std::string hotkey;
};

std::optional<Shortcut> parseShortcut(std::string_view bytes);
// Nothing when a value holds a line break, which the format cannot carry.
std::optional<std::string> formatShortcut(const Shortcut& s);

}  // namespace standin
