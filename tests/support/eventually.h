#pragma once
// Waiting for something that another process does on its own time: polled in
// real time (the fake clock cannot speed it up), at most ten seconds.
#include <chrono>
#include <thread>

namespace tl::test {

template <typename Pred>
bool eventually(Pred pred) {
  for (int i = 0; i < 1000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

}  // namespace tl::test
