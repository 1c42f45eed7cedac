#pragma once
// What the dialog host needs to know about the threads that Thread starts: a
// dialog on such a thread is driven by its creator until somebody waits for
// the thread to end; only then is it waiting for the user.
#include <cstdint>

namespace tl::platform::posix {

// The calling thread's number when Thread started it, else 0.
std::uint64_t currentWorkerThreadId();
// Told by Thread::wait around the wait for thread `id` (dialog host).
void workerAwaitStarted(std::uint64_t id);
void workerAwaitEnded(std::uint64_t id);

}  // namespace tl::platform::posix
