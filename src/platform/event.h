#pragma once
// A manual-reset event as CreateEventW gives it: once set it stays set, and
// every wait returns at once.
#include <cstdint>
#include <memory>

#include "common/result.h"

namespace tl::platform {

class Event {
 public:
  Event() = default;
  // CreateEventW(manual reset, initially unset).
  [[nodiscard]] static Result<Event> createManualReset();
  void set();
  // Waits without limit.
  void wait();
  // WaitForSingleObject with a time-out of ms real milliseconds: true when
  // the event is set.
  bool waitMs(std::uint64_t ms);
  bool isSet() const;
  bool valid() const { return state_ != nullptr; }

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tl::platform
