#pragma once
// What the benchmarks that compare processes share: a command run as a
// child, with its wall time, CPU time and peak memory. Each side runs in a
// process of its own so that neither inherits the other's peak.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace tl::bench {

struct ChildRun {
  double seconds = 0;
  double cpuSeconds = 0;  // user and system, the child's own and its children's
  double peakMiB = 0;
  int status = -1;  // the exit code; 128 when killed
};

inline ChildRun runChild(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  ChildRun run;
  pid_t pid = 0;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return run;
  struct rusage usage {};
  int status = 0;
  if (::wait4(pid, &status, 0, &usage) != pid) return run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  return run;
}

}  // namespace tl::bench
