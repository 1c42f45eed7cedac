#include "platform/named_mutex.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "common/command_line.h"
#include "platform/env.h"
#include "platform/process.h"
#include "support/eventually.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

extern char** environ;

namespace tl::platform {
namespace {

// Every test has its own lock folder.
class NamedMutexTest : public ::testing::Test {
 protected:
  void SetUp() override { setMutexFolderParentForTesting(dir_.hostPath()); }
  void TearDown() override { setMutexFolderParentForTesting(""); }

  std::string lockFolder() const { return dir_.host("tamberlock-mutex-" + std::to_string(::geteuid())); }
  std::string lockFile(const std::string& name) const { return lockFolder() + "/" + name; }

  static NamedMutex make(const std::string& name) {
    Result<NamedMutex> m = NamedMutex::create("Local\\" + name);
    EXPECT_TRUE(m.ok());
    return m.ok() ? m.take() : NamedMutex();
  }

  // What another thread of this process gets from wait(0).
  static WaitResult tryFromOtherThread(const std::string& name) {
    WaitResult r = WaitResult::Failed;
    std::thread([&] {
      NamedMutex m = make(name);
      r = m.wait(0);
      if (r == WaitResult::Acquired || r == WaitResult::Abandoned) m.release();
    }).join();
    return r;
  }

  // Whether a thread waits for the lock of the named file: the kernel lists
  // a blocked flock as a "->" line of /proc/locks.
  bool waitedFor(const std::string& name) const {
    struct stat st{};
    if (::stat(lockFile(name).c_str(), &st) != 0) return false;
    std::ifstream locks("/proc/locks");
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";
    for (std::string line; std::getline(locks, line);) {
      if (line.find("-> FLOCK") != std::string::npos && line.find(inode) != std::string::npos) return true;
    }
    return false;
  }

  test::TempDir dir_;
};

// A child process that holds the lock file with flock, or with the mutex
// itself, and says so on a pipe.
pid_t forkHolder(std::function<void()> hold) {
  int p[2];
  if (::pipe(p) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(p[0]);
    hold();
    char c = 'x';
    (void)!::write(p[1], &c, 1);
    for (;;) ::pause();
  }
  ::close(p[1]);
  char c = 0;
  bool held = ::read(p[0], &c, 1) == 1;
  ::close(p[0]);
  return held ? pid : -1;
}

void killAndReap(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

TEST_F(NamedMutexTest, NamesBecomeLockFiles) {
  struct Case {
    std::string name;
    bool ok;
    Error error;
    const char* file;
  };
  const Case cases[] = {
      {"Local\\TamberlockUninstall_0123", true, {}, "TamberlockUninstall_0123"},
      {"local\\x", true, {}, "x"},
      {"plain", true, {}, "plain"},
      {"Local\\", false, Error::BadPathName, nullptr},
      {"Local\\a\\b", false, Error::BadPathName, nullptr},
      {"Local\\a/b", false, Error::BadPathName, nullptr},
      {"Local\\..", false, Error::BadPathName, nullptr},
      {std::string("Local\\a\0b", 9), false, Error::BadPathName, nullptr},
      {"Local\\" + std::string(256, 'n'), false, Error::NameTooLong, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<NamedMutex> m = NamedMutex::create(c.name);
    ASSERT_EQ(m.ok(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(m.error(), c.error);
      continue;
    }
    EXPECT_TRUE(m->valid());
    ASSERT_EQ(m->wait(0), WaitResult::Acquired);
    struct stat st{};
    ASSERT_EQ(::lstat(lockFile(c.file).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    ASSERT_EQ(::lstat(lockFolder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // An orderly release leaves neither the file nor the emptied folder.
    m->release();
    EXPECT_NE(::lstat(lockFile(c.file).c_str(), &st), 0);
    EXPECT_NE(::lstat(lockFolder().c_str(), &st), 0);
  }
}

TEST_F(NamedMutexTest, RefusesALockFolderThatIsNotPrivate) {
  const std::string folder = lockFolder();
  const std::string other = dir_.host("elsewhere");
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"open to others", [&] { ::mkdir(folder.c_str(), 0700); ::chmod(folder.c_str(), 0755); }},
      {"another owner", [&] { ::mkdir(folder.c_str(), 0700); (void)!::chown(folder.c_str(), 4242, 4242); }},
      {"a link", [&] { ::mkdir(other.c_str(), 0700); (void)!::symlink(other.c_str(), folder.c_str()); }},
      {"a file", [&] { ::close(::open(folder.c_str(), O_CREAT | O_WRONLY, 0600)); }},
  };
  for (const auto& [name, arrange] : cases) {
    SCOPED_TRACE(name);
    ::rmdir(folder.c_str());
    ::unlink(folder.c_str());
    arrange();
    Result<NamedMutex> m = NamedMutex::create("Local\\x");
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error(), Error::AccessDenied);
  }
}

TEST_F(NamedMutexTest, OwningThreadTakesItAgain) {
  NamedMutex outer = make("re");
  NamedMutex inner = make("re");
  ASSERT_EQ(outer.wait(kInfinite), WaitResult::Acquired);
  EXPECT_EQ(outer.wait(0), WaitResult::Acquired);
  EXPECT_EQ(inner.wait(0), WaitResult::Acquired);  // another handle, same mutex
  inner.release();
  outer.release();
  EXPECT_EQ(tryFromOtherThread("re"), WaitResult::Timeout);
  outer.release();
  EXPECT_EQ(tryFromOtherThread("re"), WaitResult::Acquired);
  // Releasing more than was taken changes nothing.
  outer.release();
  EXPECT_EQ(tryFromOtherThread("re"), WaitResult::Acquired);
}

TEST_F(NamedMutexTest, AnotherThreadWaitsForTheRelease) {
  NamedMutex m = make("t");
  ASSERT_EQ(m.wait(0), WaitResult::Acquired);
  std::atomic<bool> released{false};
  std::atomic<bool> sawRelease{false};
  WaitResult got = WaitResult::Failed;
  std::thread other([&] {
    NamedMutex mine = make("t");
    got = mine.wait(kInfinite);
    sawRelease = released.load();
    mine.release();
  });
  EXPECT_TRUE(test::eventually([&] { return waitedFor("t"); }));
  released = true;
  m.release();
  other.join();
  EXPECT_EQ(got, WaitResult::Acquired);
  EXPECT_TRUE(sawRelease);
}

// A waiter that opened the lock file before the holder released and removed
// it must end up holding the file the name leads to now: holding the
// removed one would let a third thread in beside it.
TEST_F(NamedMutexTest, AWaiterOnARemovedFileTakesTheNewOne) {
  NamedMutex m = make("race");
  ASSERT_EQ(m.wait(0), WaitResult::Acquired);
  std::atomic<bool> holding{false};
  std::atomic<bool> done{false};
  WaitResult got = WaitResult::Failed;
  std::thread waiter([&] {
    NamedMutex mine = make("race");
    got = mine.wait(kInfinite);
    holding = true;
    holding.notify_one();
    done.wait(false);
    mine.release();
  });
  EXPECT_TRUE(test::eventually([&] { return waitedFor("race"); }));  // the waiter blocks on the old file
  m.release();
  holding.wait(false);
  EXPECT_EQ(got, WaitResult::Acquired);
  EXPECT_EQ(tryFromOtherThread("race"), WaitResult::Timeout);
  struct stat st{};
  EXPECT_EQ(::lstat(lockFile("race").c_str(), &st), 0);
  done = true;
  done.notify_one();
  waiter.join();
  EXPECT_NE(::lstat(lockFile("race").c_str(), &st), 0);
}

TEST_F(NamedMutexTest, TimedWaitPollsOnTheClock) {
  auto* clock = dynamic_cast<test::FakeClock*>(&io().clock());
  ASSERT_NE(clock, nullptr);
  NamedMutex holder = make("clock");
  ASSERT_EQ(holder.wait(0), WaitResult::Acquired);
  std::uint64_t before = clock->totalSleptMs();
  WaitResult r = WaitResult::Failed;
  std::thread([&] { r = make("clock").wait(500); }).join();
  EXPECT_EQ(r, WaitResult::Timeout);
  EXPECT_GE(clock->totalSleptMs() - before, 500u);
  holder.release();
}

TEST_F(NamedMutexTest, ClosingReleasesWhatTheHandleHolds) {
  {
    NamedMutex m = make("close");
    ASSERT_EQ(m.wait(0), WaitResult::Acquired);
    ASSERT_EQ(m.wait(0), WaitResult::Acquired);
    NamedMutex moved = std::move(m);  // the moved-from handle gives back nothing
    m = NamedMutex();
    EXPECT_EQ(tryFromOtherThread("close"), WaitResult::Timeout);
  }
  EXPECT_EQ(tryFromOtherThread("close"), WaitResult::Acquired);
}

TEST_F(NamedMutexTest, ProcessesExcludeEachOther) {
  const std::string path = lockFile("proc");
  NamedMutex m = make("proc");
  ASSERT_EQ(::mkdir(lockFolder().c_str(), 0700), 0);
  pid_t child = forkHolder([&] {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
    ::flock(fd, LOCK_EX);
  });
  ASSERT_GT(child, 0);
  EXPECT_EQ(m.wait(0), WaitResult::Timeout);
  EXPECT_EQ(m.wait(100), WaitResult::Timeout);
  killAndReap(child);  // the kernel drops a dead holder's lock
  ASSERT_EQ(m.wait(0), WaitResult::Acquired);

  // And the other way round, seen by an unrelated process.
  env::setForTesting({});
  std::string probe =
      "import fcntl,sys\ntry:\n  f=open(sys.argv[1],'r+')\nexcept FileNotFoundError:\n  print('gone'); sys.exit()\n"
      "try:\n  fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB); print('free')\n"
      "except BlockingIOError:\n  print('busy')";
  std::string cmd = buildCommandLine({"python3", "-c", probe, path}).value();
  Result<process::CaptureResult> held = process::runCapture("Z:\\usr\\bin\\python3", cmd, 100);
  ASSERT_TRUE(held.ok());
  EXPECT_EQ(held->out, "busy\n");
  m.release();
  Result<process::CaptureResult> freed = process::runCapture("Z:\\usr\\bin\\python3", cmd, 100);
  ASSERT_TRUE(freed.ok());
  EXPECT_EQ(freed->out, "gone\n");
  env::buildFromProcess();
}

TEST_F(NamedMutexTest, KilledHolderLeavesItAbandoned) {
  pid_t child = forkHolder([] {
    Result<NamedMutex> m = NamedMutex::create("Local\\dead");
    if (!m.ok() || m->wait(kInfinite) != WaitResult::Acquired) ::_exit(1);
    new NamedMutex(m.take());  // held until the process dies
  });
  ASSERT_GT(child, 0);
  NamedMutex m = make("dead");
  EXPECT_EQ(m.wait(0), WaitResult::Timeout);
  killAndReap(child);
  EXPECT_EQ(m.wait(0), WaitResult::Abandoned);
  m.release();
  // An orderly release leaves nothing abandoned behind.
  EXPECT_EQ(m.wait(0), WaitResult::Acquired);
  m.release();
}

TEST_F(NamedMutexTest, ChildStartedWhileHeldDoesNotHoldIt) {
  NamedMutex m = make("inherit");
  ASSERT_EQ(m.wait(0), WaitResult::Acquired);
  // Started without any descriptor clean-up of its own: only close-on-exec
  // keeps the lock file out of it.
  pid_t child = -1;
  char prog[] = "/bin/sleep";
  char arg[] = "60";
  char* argv[] = {prog, arg, nullptr};
  ASSERT_EQ(::posix_spawn(&child, prog, nullptr, nullptr, argv, environ), 0);
  m.release();
  EXPECT_EQ(tryFromOtherThread("inherit"), WaitResult::Acquired);
  killAndReap(child);
}

}  // namespace
}  // namespace tl::platform
