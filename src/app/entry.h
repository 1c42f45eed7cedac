#pragma once
// The process entry that main hands the process to.

namespace tl {

// The process entry: builds the environment map and the command line, picks
// one role and turns its outcome into the exit code.
int processEntry(int argc, char** argv);

}  // namespace tl
