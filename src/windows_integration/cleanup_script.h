#pragma once
// Deleting a file that is still running: a small command script in the file's
// folder retries the deletion about once a second, then deletes itself.
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

// Writes "tamberlock-cleanup-<hex>.cmd" next to the target and starts it
// through cmd.exe without waiting. Success says nothing about the deletion.
[[nodiscard]] Status scheduleFileDeletion(std::string_view targetPath);

// cmd.exe reads a script in the console's code page, so the script holds no
// byte above 0x7F: it names the target through its own folder ("%~dp0", the
// script lies beside the target) plus the target's file name, which must be
// printable ASCII. InvalidPath otherwise.
[[nodiscard]] Result<std::string> cleanupTargetReference(std::string_view targetPath);
// How the script names ping.exe: the path itself when it is printable ASCII,
// else through %SystemRoot% when ping.exe lies in %SystemRoot%\System32
// (the variable is expanded by cmd.exe, without a code page); InvalidPath
// otherwise.
[[nodiscard]] Result<std::string> cleanupPingReference(std::string_view pingPath);
// How cmd.exe /c names the script in `folder`, its working directory:
// ".\<name>", or the full path when the folder starts with two separators (a
// share, where cmd.exe will not run), which is InvalidPath when it holds a
// character that cmd.exe /c would split, redirect or expand at.
[[nodiscard]] Result<std::string> cleanupScriptArgument(std::string_view folder, std::string_view scriptName);
// The twelve lines of the script, each ended by "\n".
std::string cleanupScriptText(std::string_view targetReference, std::string_view pingReference);

}  // namespace tl
