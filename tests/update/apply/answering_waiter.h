#pragma once
// A process waiter that answers as told: the open fails with answer.code
// when answer.opened is false, else every wait of the handle gives
// answer.code. It counts the opens and keeps the last wait's timeout.
#include <cstdint>
#include <memory>

#include "platform/process_waiter.h"

namespace tl::test {

struct AnsweringWaiter final : process::ProcessWaiter {
  struct Handle final : process::ProcessHandle {
    explicit Handle(AnsweringWaiter& w) : waiter(w) {}
    std::uint32_t wait(std::uint32_t timeoutMs) override {
      waiter.lastTimeout = timeoutMs;
      return waiter.answer.code;
    }
    AnsweringWaiter& waiter;
  };
  process::OpenedProcess open(std::uint32_t) override {
    ++opens;
    if (!answer.opened) return {nullptr, answer.code};
    return {std::make_unique<Handle>(*this), 0};
  }
  process::ProcessWait answer{false, process::kErrorInvalidParameter};
  int opens = 0;
  std::uint32_t lastTimeout = 0;  // 0: never waited
};

}  // namespace tl::test
