#pragma once
// The stand-ins' state folder, %SystemRoot%\state: one lock for every
// read-modify-write, atomic replacement of whole files, appends for logs.
#include <optional>
#include <string>
#include <string_view>

namespace standin {

// The path the stand-in was started by; consulted for the state folder when
// SystemRoot is not set (the folder above the System32 it was started from).
void setInvokedPath(std::string path);

// Host path of the state folder, created when missing.
const std::string& stateDir();
std::string statePath(std::string_view name);
// Whether stateDir() has been found already (finding it maps paths too).
bool stateDirKnown();

// Exclusive lock over the sandbox's whole state, held while alive. Parallel
// stand-in runs (a test may start several) serialise on it.
class StateLock {
 public:
  StateLock();
  ~StateLock();
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;

 private:
  int fd_ = -1;
};

// Whole host files. Nothing when the file is missing; other failures throw.
std::optional<std::string> readHostFile(const std::string& hostPath);
// Writes a temporary file beside the target, syncs it and renames it over.
void writeHostFileAtomically(const std::string& hostPath, std::string_view content);
void appendHostFile(const std::string& hostPath, std::string_view content);

}  // namespace standin
