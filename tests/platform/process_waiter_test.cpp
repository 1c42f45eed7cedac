#include "platform/process_waiter.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/fake_clock.h"

namespace tl::process {
namespace {

// A child that has already ended (a zombie until reaped) or that runs until
// killed.
pid_t startChild(bool ended) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!ended) ::pause();
    ::_exit(0);
  }
  if (ended) {
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);  // ended, not reaped
  }
  return pid;
}

TEST(ProcessWaiter, AnswersAsOpenProcessAndTheWaitDo) {
  enum Target { noSuchId, negativeId, ended, running };
  const struct {
    Target target;
    bool probing;
    ProcessWait expected;
  } cases[] = {
      {noSuchId, false, {false, kErrorInvalidParameter}}, {noSuchId, true, {false, kErrorInvalidParameter}},
      {negativeId, false, {false, kErrorInvalidParameter}}, {ended, false, {true, kWaitObject0}},
      {ended, true, {true, kWaitObject0}},                  {running, false, {true, kWaitTimeout}},
      {running, true, {true, kWaitTimeout}},
  };
  auto& clock = dynamic_cast<test::FakeClock&>(io().clock());
  for (const auto& c : cases) {
    pid_t child = -1;
    std::uint32_t pid = 4194305;  // above the largest pid_max
    if (c.target == negativeId) pid = 0x80000001u;
    if (c.target == ended || c.target == running) pid = static_cast<std::uint32_t>(child = startChild(c.target == ended));
    forceProcessProbingForTesting(c.probing);
    const std::uint64_t before = clock.totalSleptMs();
    const ProcessWait got = systemProcessWaiter().waitForExit(pid, 50);
    forceProcessProbingForTesting(false);
    EXPECT_EQ(got.opened, c.expected.opened) << c.target << c.probing;
    EXPECT_EQ(got.code, c.expected.code) << c.target << c.probing;
    // Only the probing road waits on the IoContext clock.
    if (c.probing && c.target == running) {
      EXPECT_GE(clock.totalSleptMs() - before, 50u);
    }
    if (child > 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
  }
}

}  // namespace
}  // namespace tl::process
