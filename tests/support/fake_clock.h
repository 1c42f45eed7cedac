#pragma once
#include <atomic>
#include <cstdint>

#include "platform/event.h"
#include "platform/io_context.h"

namespace tl::test {

// Time moves only when somebody sleeps; tests run retry loops instantly.
// A deadline wait never moves the time itself: it ends at its deadline only
// once some sleeper has moved the time past it, so a real transfer in a test
// never times out while its bytes flow, and a test expires a deadline by
// sleeping past it.
class FakeClock final : public Clock {
 public:
  std::uint64_t nowMs() override { return now_.load(); }
  void sleepMs(std::uint64_t ms) override {
    now_ += ms;
    slept_ += ms;
    sleeps_++;
  }
  bool sleepUnlessSet(platform::Event& e, std::uint64_t ms) override {
    if (e.isSet()) return true;
    sleepMs(ms);
    return e.isSet();
  }
  bool waitUntil(platform::Event& e, std::uint64_t deadlineMs) override {
    // Looks at the fake time every real millisecond.
    while (!e.waitMs(1)) {
      if (nowMs() >= deadlineMs) return e.isSet();
    }
    return true;
  }
  std::uint64_t totalSleptMs() const { return slept_.load(); }
  std::uint64_t sleepCount() const { return sleeps_.load(); }

 private:
  std::atomic<std::uint64_t> now_{1'000'000};
  std::atomic<std::uint64_t> slept_{0};
  std::atomic<std::uint64_t> sleeps_{0};
};

}  // namespace tl::test
