#pragma once
// Starting child processes the Windows way: an absolute program path and one
// command line, which the layer splits with the system's own splitter.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace tl::process {

enum class StdStreams {
  Inherit,  // the parent's standard streams
  Null,     // all three on the null device
};

struct SpawnOptions {
  std::string workingDirectory;  // Windows form; empty means the parent's
  StdStreams streams = StdStreams::Null;
  bool noWindow = true;  // CREATE_NO_WINDOW; recorded only on POSIX
};

// How a waited-for child ended.
struct ExitStatus {
  bool exited = false;     // exited normally (not killed by a signal)
  std::uint32_t code = 0;  // exit code when exited
  bool succeeded() const { return exited && code == 0; }
};

struct CaptureResult {
  ExitStatus status;
  std::string out;
  std::string err;
};

// Every start passes the IoContext fault seam first (FsOp::Spawn with the
// program path).
//
// Starts the program and waits for it. A program that cannot be started is
// an error (FileNotFound, AccessDenied, ...), never a failed run.
[[nodiscard]] Result<ExitStatus> runAndWait(std::string_view program, std::string_view commandLine,
                                            const SpawnOptions& opts);
// Starts the program with pipes on standard output and error and collects
// both until the end of stream, each up to limit bytes; more is StreamTooLong
// and the child is killed.
[[nodiscard]] Result<CaptureResult> runCapture(std::string_view program, std::string_view commandLine,
                                               std::size_t limit);
// Starts the program and does not wait: a new session, null streams unless
// said otherwise, the child is never reaped by anyone waiting on it.
[[nodiscard]] Status spawnDetached(std::string_view program, std::string_view commandLine,
                                   const SpawnOptions& opts);

// The path the program was started by, in Windows form (not the link-resolved
// one), as the system reports it.
[[nodiscard]] Result<std::string> ownExecutablePath();
// Tests of roles that look at their own path may pretend another one.
void setOwnExecutablePathForTesting(std::string path);
// The Windows system directory: %SystemRoot%\System32, else the stand-in
// folder laid out next to the executable (windows\System32).
[[nodiscard]] Result<std::string> systemDirectory();
std::uint32_t currentProcessId();

// The process's own command line as Windows hands it to a program
// (GetCommandLineW). On POSIX it is rebuilt from argv: each argument's bytes
// decoded by hostBytesToUtf16 and quoted so that the Windows splitter gives
// the arguments back.
std::u16string commandLineFromArgv(int argc, const char* const* argv);

}  // namespace tl::process
