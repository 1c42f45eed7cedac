#include "platform/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "common/command_line.h"
#include "common/wtf8.h"
#include "platform/env.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

namespace tl::process {
namespace {

constexpr std::string_view kSh = "Z:\\bin\\sh";
constexpr std::string_view kPython = "Z:\\usr\\bin\\python3";

// Children see exactly the environment map; every test starts from a known
// one and leaves the process's own behind.
class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { env::setForTesting({{"LANG", "C.UTF-8"}}); }
  void TearDown() override {
    env::buildFromProcess();
    setOwnExecutablePathForTesting("");
  }
};

std::string sh(std::string_view script) { return buildCommandLine({"sh", "-c", std::string(script)}).value(); }
std::string py(std::string_view script) { return buildCommandLine({"python3", "-c", std::string(script)}).value(); }

std::vector<std::string> splitNul(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\0') {
      out.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

std::string readHostFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

TEST_F(ProcessTest, ProgramsThatCannotStartAreStartErrors) {
  test::TempDir dir;
  std::ofstream(dir.host("plain.txt")) << "not a program";
  ::chmod(dir.host("plain.txt").c_str(), 0644);
  std::ofstream(dir.host("noformat")) << "\x7F" "ELF garbage";
  ::chmod(dir.host("noformat").c_str(), 0755);
  struct Case {
    const char* name;
    std::string program;
    std::string workingDirectory;
    Error expected;
  };
  const Case cases[] = {
      {"missing", dir.win("missing.exe"), "", Error::FileNotFound},
      {"missing folder", dir.win("nope\\x.exe"), "", Error::FileNotFound},
      {"other drive", "C:\\Windows\\System32\\reg.exe", "", Error::FileNotFound},
      {"folder", dir.path(), "", Error::AccessDenied},
      {"not executable", dir.win("plain.txt"), "", Error::AccessDenied},
      {"not a program", dir.win("noformat"), "", Error::InvalidExe},
      {"missing working folder", std::string(kSh), dir.win("gone"), Error::FileNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpawnOptions opts;
    opts.workingDirectory = c.workingDirectory;
    Result<ExitStatus> r = runAndWait(c.program, sh("exit 0"), opts);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), c.expected);
    Result<CaptureResult> cap = runCapture(c.program, sh("exit 0"), 100);
    if (c.workingDirectory.empty()) {
      ASSERT_FALSE(cap.ok());
      EXPECT_EQ(cap.error(), c.expected);
    }
    Status detached = spawnDetached(c.program, sh("exit 0"), opts);
    ASSERT_FALSE(detached.ok());
    EXPECT_EQ(detached.error(), c.expected);
  }
}

TEST_F(ProcessTest, ExitStatusTellsNormalExitFromSignal) {
  struct Case {
    const char* script;
    bool exited;
    std::uint32_t code;
    bool succeeded;
  };
  const Case cases[] = {
      {"exit 0", true, 0, true},
      {"exit 1", true, 1, false},
      {"exit 255", true, 255, false},
      {"kill -9 $$", false, 0, false},
      {"kill -TERM $$", false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    Result<ExitStatus> r = runAndWait(kSh, sh(c.script), {});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->exited, c.exited);
    if (c.exited) {
      EXPECT_EQ(r->code, c.code);
    }
    EXPECT_EQ(r->succeeded(), c.succeeded);
  }
}

TEST_F(ProcessTest, ChildGetsTheSplitArgumentVector) {
  const std::vector<std::string> args = {
      "python3",  "-c", "import sys; sys.stdout.buffer.write(open('/proc/self/cmdline','rb').read())",
      "",         "a b", "trailing\\", "q\"uote", "\\\\server\\share\\", "\xC3\xA9t\xC3\xA9", "tab\there"};
  Result<CaptureResult> r = runCapture(kPython, buildCommandLine(args).value(), 1 << 16);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->status.succeeded());
  EXPECT_EQ(splitNul(r->out), args);
}

TEST_F(ProcessTest, ChildEnvironmentIsTheMap) {
  env::setForTesting({{"Foo", "bar"}, {"TEMP", "/tmp/x"}, {"EMPTY", ""}});
  Result<CaptureResult> r =
      runCapture(kPython, py("import sys; sys.stdout.buffer.write(open('/proc/self/environ','rb').read())"),
                 1 << 16);
  ASSERT_TRUE(r.ok());
  std::vector<std::string> vars = splitNul(r->out);
  EXPECT_EQ(std::set<std::string>(vars.begin(), vars.end()),
            (std::set<std::string>{"Foo=bar", "TEMP=Z:\\tmp\\x", "EMPTY="}));
}

TEST_F(ProcessTest, OnlyStandardStreamsReachTheChild) {
  // A descriptor opened without close-on-exec, as a careless library might.
  int leaked = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  Result<CaptureResult> r =
      runCapture(kPython, py("import os; print(sorted(int(f) for f in os.listdir('/proc/self/fd')))"), 4096);
  ::close(leaked);
  ASSERT_TRUE(r.ok());
  // 3 is the listing's own descriptor.
  EXPECT_EQ(r->out, "[0, 1, 2, 3]\n");
}

TEST_F(ProcessTest, QuietChildrenHaveNullStreamsAndTheGivenFolder) {
  test::TempDir dir;
  ::mkdir(dir.host("work dir").c_str(), 0755);
  SpawnOptions opts;
  opts.workingDirectory = dir.win("work dir");
  std::string script =
      "import os,sys\n"
      "open(sys.argv[1],'w').write(' '.join([os.getcwd()] + [os.readlink('/proc/self/fd/%d' % i) for i in (0,1,2)]))";
  Result<ExitStatus> r =
      runAndWait(kPython, buildCommandLine({"python3", "-c", script, dir.host("report")}).value(), opts);
  ASSERT_TRUE(r.ok());
  ASSERT_TRUE(r->succeeded());
  EXPECT_EQ(readHostFile(dir.host("report")), dir.host("work dir") + " /dev/null /dev/null /dev/null");
}

TEST_F(ProcessTest, CaptureReadsBothStreamsAtOnce) {
  // Each stream gets more than a pipe holds, stderr first: reading one
  // stream to its end before the other would never finish.
  Result<CaptureResult> r = runCapture(
      kPython,
      py("import sys\nsys.stderr.write('e' * 300000)\nsys.stderr.flush()\nsys.stdout.write('o' * 300000)\nsys.exit(3)"),
      300000);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->out, std::string(300000, 'o'));
  EXPECT_EQ(r->err, std::string(300000, 'e'));
  EXPECT_TRUE(r->status.exited);
  EXPECT_EQ(r->status.code, 3u);
}

TEST_F(ProcessTest, CaptureOverTheLimitKillsTheChild) {
  for (const char* stream : {"1", "2"}) {
    SCOPED_TRACE(stream);
    auto start = std::chrono::steady_clock::now();
    // Past the limit the child would sleep for a minute if nobody killed it.
    Result<CaptureResult> r =
        runCapture(kSh, sh(std::string("head -c 1001 /dev/zero >&") + stream + "; exec sleep 60"), 1000);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), Error::StreamTooLong);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  }
  Result<CaptureResult> exact = runCapture(kSh, sh("head -c 1000 /dev/zero"), 1000);
  ASSERT_TRUE(exact.ok());
  EXPECT_EQ(exact->out.size(), 1000u);
}

TEST_F(ProcessTest, DetachedChildLeadsItsOwnSessionAndLeavesNoZombie) {
  test::TempDir dir;
  std::string report = dir.host("report");
  std::string script = "import os,sys\nopen(sys.argv[1] + '.tmp','w').write('%d %d' % (os.getpid(), os.getsid(0)))\n"
                       "os.rename(sys.argv[1] + '.tmp', sys.argv[1])";
  ASSERT_TRUE(spawnDetached(kPython, buildCommandLine({"python3", "-c", script, report}).value(), {}).ok());
  ASSERT_TRUE(test::eventually([&] { return ::access(report.c_str(), F_OK) == 0; }));
  std::istringstream in(readHostFile(report));
  long pid = 0, sid = 0;
  in >> pid >> sid;
  EXPECT_EQ(pid, sid);
  EXPECT_NE(static_cast<std::uint32_t>(sid), currentProcessId());
  // A zombie keeps its /proc entry until somebody collects it.
  std::string proc = "/proc/" + std::to_string(pid);
  EXPECT_TRUE(test::eventually([&] { return ::access(proc.c_str(), F_OK) != 0; }));
}

TEST_F(ProcessTest, CommandLineIsRebuiltFromArgv) {
  const char* argv[] = {"./setup", "--cleanup-uninstaller", "C:\\a b\\", "", "x\"y", "caf\xE9"};
  std::u16string line = commandLineFromArgv(6, argv);
  std::vector<std::u16string> args = splitCommandLine(line);
  ASSERT_EQ(args.size(), 6u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(args[i], hostBytesToUtf16(argv[i])) << i;
}

TEST_F(ProcessTest, SystemDirectoryFollowsSystemRoot) {
  env::setForTesting({{"SystemRoot", "Z:\\sandbox\\Windows"}});
  EXPECT_EQ(*systemDirectory(), "Z:\\sandbox\\Windows\\System32");
  env::setForTesting({{"SYSTEMROOT", "/sandbox/Windows/"}});
  EXPECT_EQ(*systemDirectory(), "Z:\\sandbox\\Windows\\System32");
  // A relative one would have tools looked up from the working directory.
  env::setForTesting({{"SystemRoot", "Windows"}});
  EXPECT_EQ(systemDirectory().error(), Error::InvalidPath);
  // Without it, the stand-in folder next to the executable.
  env::setForTesting({});
  char exe[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  std::string folder(exe);
  folder.resize(folder.rfind('/'));
  std::string expected = "Z:";
  for (char c : folder + "/windows/System32") expected += c == '/' ? '\\' : c;
  EXPECT_EQ(*systemDirectory(), expected);
}

TEST_F(ProcessTest, OwnPathCanBePretended) {
  Result<std::string> real = ownExecutablePath();
  ASSERT_TRUE(real.ok());
  EXPECT_EQ(real->rfind("Z:\\", 0), 0u);
  setOwnExecutablePathForTesting("Z:\\x\\uninstall.exe");
  EXPECT_EQ(*ownExecutablePath(), "Z:\\x\\uninstall.exe");
  setOwnExecutablePathForTesting("");
  EXPECT_EQ(*ownExecutablePath(), *real);
}

TEST_F(ProcessTest, OwnPathIsThePathTheProgramWasStartedBy) {
  test::TempDir dir;
  char exe[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  ::mkdir(dir.host("sub").c_str(), 0755);
  ASSERT_EQ(::symlink(exe, dir.host("Setup Link").c_str()), 0);
  ASSERT_EQ(::symlink(dir.hostPath().c_str(), dir.host("linked").c_str()), 0);
  // A copy of this program started so reports its own path (tests/support/test_main.cpp).
  std::string report = "--report-own-path";
  struct Case {
    const char* name;
    std::string commandLine;
    std::string expected;
  };
  // The link is not resolved; a relative start path is taken against the
  // folder the child started in, with "." and ".." removed as written.
  const Case cases[] = {
      {"absolute link", buildCommandLine({"sh", "-c", "exec \"$0\" " + report, dir.host("Setup Link")}).value(),
       dir.win("Setup Link")},
      {"relative",
       buildCommandLine({"sh", "-c", "cd \"$0\" && exec ./sub/../'Setup Link' " + report, dir.hostPath()}).value(),
       dir.win("Setup Link")},
      // The starting folder as the shell reached it, not its real path.
      {"relative in a linked folder",
       buildCommandLine({"sh", "-c", "cd \"$0\" && exec ./'Setup Link' " + report, dir.host("linked")}).value(),
       dir.win("linked\\Setup Link")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<CaptureResult> r = runCapture(kSh, c.commandLine, 1 << 20);
    ASSERT_TRUE(r.ok());
    std::size_t at = r->out.find("OWN<");
    ASSERT_NE(at, std::string::npos) << r->out << r->err;
    std::size_t end = r->out.find(">\n", at);
    EXPECT_EQ(r->out.substr(at + 4, end - at - 4), c.expected);
  }
}

}  // namespace
}  // namespace tl::process
