#pragma once
// Windows paths over the host file system, as the system's own layer maps
// them: "Z:\tmp\x" is "/tmp/x", a rooted "\x" is "/x", and a component that
// does not exist with its exact case is looked up ignoring ASCII case.
#include <optional>
#include <string>
#include <string_view>

namespace standin {

// "/tmp/x" -> "Z:\tmp\x".
std::string hostToWindows(std::string_view hostAbsolute);
// The current folder in Windows form.
std::string currentDirectory();

// [IO.Path]::GetFullPath of .NET Framework: '/' becomes '\', relative and
// rooted paths are resolved against the current folder and drive, "." and
// ".." are folded, runs of separators collapse, trailing dots and spaces of
// the last name go. Returns false with the .NET message on a path it throws
// for (empty, illegal characters, a ':' past the drive).
bool getFullPath(std::string_view path, std::string& out, std::string& error);

// The host path a Windows path names (any form getFullPath takes, POSIX
// absolute paths included, since "/x" is rooted on the current drive Z:).
// Nothing for paths on another drive or a network share. Names that do not
// exist are kept as given, so the result can be created.
std::optional<std::string> toHostPath(std::string_view windowsPath);

// The last component, '\' and '/' both separating.
std::string_view baseName(std::string_view path);

}  // namespace standin
