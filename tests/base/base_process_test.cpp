// Processes, signals, user switching, and the file and path helpers.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "base/files.h"
#include "base/hostclock.h"
#include "base/process.h"
#include "base/strlist.h"
#include "support/tempdir.h"

namespace palvon {
namespace {

using Clock = std::chrono::steady_clock;

// Polls a child until it exits, at most ms; -1 on a time-out (the child is
// then killed) or when it did not exit normally.
int exitCodeWithin(pid_t pid, int ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < deadline) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// Runs body in a forked child; its return value is the child's exit code.
template <typename Body>
int inChild(int ms, Body body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid > 0 ? exitCodeWithin(pid, ms) : -1;
}

TEST(Process, MissingProgramExitsNonZero) {
  char program[] = "/nonexistent/palvon-no-such-program";
  char* argv[] = {program};
  pid_t pid = processSpawn(1, argv);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(exitCodeWithin(pid, 5000), 127);
  char* okArgv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>("exit 3")};
  pid = processSpawn(3, okArgv);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(exitCodeWithin(pid, 5000), 3);
  int code = 0;
  EXPECT_EQ(processPoll(pid, &code), 1);  // no longer a child
  EXPECT_EQ(code, 1);
}

TEST(Process, PopenWritesAndReads) {
  test::TempDir dir;
  std::string file = dir.file("out.txt");
  FILE* in = processPopen(("cat >" + file).c_str(), "w", nullptr, nullptr);
  ASSERT_NE(in, nullptr);
  std::fputs("hello\nworld\n", in);
  EXPECT_EQ(processPclose(in), 1u);
  EXPECT_EQ(test::readFile(file), "hello\nworld\n");

  FILE* out = processPopen("printf 'not found\\n'; exit 127", "r", nullptr, nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(processExitText("tool", 127, out),
               "tool exited with code 127: not found  - make sure the external program is installed");
  EXPECT_EQ(processPclose(out), 1u);
  EXPECT_EQ(processPclose(stdin), 0xFFFFFFFFu);
}

TEST(Process, PipesAreNotInheritedByLaterChildren) {
  test::TempDir dir;
  // If the second child inherited the first pipe's write end, the first
  // cat would see no end of file until the second child ended.
  FILE* writer = processPopen(("cat >" + dir.file("a")).c_str(), "w", nullptr, nullptr);
  FILE* sleeper = processPopen("sleep 5", "r", nullptr, nullptr);
  ASSERT_NE(writer, nullptr);
  ASSERT_NE(sleeper, nullptr);
  auto start = Clock::now();
  EXPECT_EQ(processPclose(writer), 1u);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  processPopenKill(sleeper);
  EXPECT_EQ(processPclose(sleeper), 1u);
}

TEST(Process, OverlongShellCommandIsRefused) {
  std::string command(kShellCommandMax, 'x');
  const char* error = processShellExec(command.c_str());  // returns: nothing was run
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::strncmp(error, "execl(", 6), 0);
}

TEST(Process, TerminateKillsAProcessThatIgnoresSigterm) {
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                  const_cast<char*>("trap '' TERM; while :; do sleep 1; done")};
  pid_t pid = processSpawn(3, argv);
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the trap be set
  auto start = Clock::now();
  EXPECT_EQ(processTerminate(pid), nullptr);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kTerminateWaitMs + 2000));
  EXPECT_NE(kill(pid, 0), 0);
  // Pids that would reach a group or everyone are refused.
  EXPECT_NE(processTerminate(0), nullptr);
  EXPECT_NE(processTerminate(-1), nullptr);
  EXPECT_EQ(processKill(SIGTERM, -1), -1);
  processSignalAndWait(SIGUSR2, -1);  // returns: nothing was sent
}

int gHandlerHits[12];
template <int N>
void countingHandler(int) {
  gHandlerHits[N]++;
}

SignalHandler installed(int sig) {
  struct sigaction current {};
  sigaction(sig, nullptr, &current);
  return current.sa_handler;
}

TEST(Signals, StackKeepsTenAndReinstallsBelow) {
  const SignalHandler handlers[] = {countingHandler<0>, countingHandler<1>, countingHandler<2>, countingHandler<3>,
                                    countingHandler<4>, countingHandler<5>, countingHandler<6>, countingHandler<7>,
                                    countingHandler<8>, countingHandler<9>, countingHandler<10>};
  SignalHandler before = installed(SIGUSR2);
  for (int i = 0; i < 11; i++) EXPECT_EQ(signalPush(handlers[i], SIGUSR2), i < 10 ? i + 1 : 10);
  EXPECT_EQ(installed(SIGUSR2), handlers[10]);
  signalPop(handlers[9], SIGUSR2);
  EXPECT_EQ(installed(SIGUSR2), handlers[8]);
  signalPop(handlers[3], SIGUSR2);  // below the top: only removed
  EXPECT_EQ(installed(SIGUSR2), handlers[8]);
  for (int i = 8; i >= 0; i--) signalPop(handlers[i], SIGUSR2);
  EXPECT_EQ(installed(SIGUSR2), before);
}

void replyToParent(int sig) { kill(getppid(), sig); }

TEST(Signals, ThousandRoundTrips) {
  // In a child of its own, so that the signals never reach the test runner.
  int code = inChild(20000, [] {
    signalWaitArm(SIGUSR1);
    pid_t echo = fork();
    if (echo == 0) {
      signal(SIGUSR1, replyToParent);
      kill(getppid(), SIGUSR1);  // ready
      for (;;) pause();
    }
    signalWaitFor(SIGUSR1);
    auto start = Clock::now();
    for (int i = 0; i < 1000; i++) processSignalAndWait(SIGUSR1, echo);
    bool quick = Clock::now() - start < std::chrono::seconds(5);
    kill(echo, SIGKILL);
    waitpid(echo, nullptr, 0);
    return quick ? 0 : 2;
  });
  EXPECT_EQ(code, 0);
}

TEST(Signals, NestedAlarm) {
  alarmStart(30, alarmFlagSet);
  alarmStart(10, alarmFlagSet);  // nested: only counted, the first timer stays
  EXPECT_EQ(alarmStop(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(alarmStop(), 1);
  EXPECT_EQ(alarmStop(), 0);
}

TEST(User, SwitchInForkedChild) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  EXPECT_EQ(inChild(5000, [] {
              if (processSetUser("nobody")) return 1;
              return getuid() == 65534 && geteuid() == 65534 && getgid() != 0 ? 0 : 2;
            }),
            0);
  EXPECT_EQ(inChild(5000, [] {
              const char* error = processSetUser("palvon-no-such-user");
              if (!error || std::strcmp(error, "Unknown user 'palvon-no-such-user'")) return 1;
              return getuid() == 0 ? 0 : 2;
            }),
            0);
  EXPECT_EQ(inChild(5000, [] { return processSetUser("nobody:palvon-no-such-group") && getuid() == 0 ? 0 : 1; }),
            0);
}

TEST(Host, LocalNames) {
  EXPECT_EQ(hostIsLocal("localhost"), 1);
  EXPECT_EQ(hostIsLocal("LOCALHOST"), 1);
  EXPECT_EQ(hostIsLocal(hostName()), 1);
  EXPECT_EQ(hostIsLocal("palvon-other-host.invalid"), 0);
}

TEST(Paths, Texts) {
  unsetenv("PALVON_TEST_NAME");
  EXPECT_STREQ(envPath("PALVON_TEST_NAME", "/bin"), "$PALVON_TEST_NAME/bin");
  setenv("PALVON_TEST_NAME", "/opt/", 1);
  EXPECT_STREQ(envPath("PALVON_TEST_NAME", "/bin"), "/opt/bin");
  EXPECT_STREQ(pathSetExtension("/a.b/c", "log"), "/a.b/c.log");
  EXPECT_STREQ(fileNameSafe("a b/c:d-e+f.g_h"), "a_b_c_d-e+f.g_h");
  EXPECT_EQ(parseUnsignedDecimal("  42x"), 42u);
  EXPECT_EQ(parseUnsignedDecimal("99999999999999999999999"), UINT64_MAX);
  setenv("HOME", "/home/t", 1);
  EXPECT_STREQ(pathAbsolute("~/x"), "/home/t/x");
  char out[kPathMax];
  ASSERT_EQ(pathHomeRelative("~/d", out, sizeof out), 1);
  EXPECT_STREQ(out, "/home/t/d/");
  EXPECT_EQ(pathAbsolute(std::string(kPathMax, 'r').c_str()), nullptr);
}

TEST(Paths, NumberPatterns) {
  struct Row {
    const char* pattern;
    const char* expected;
  };
  char out[kPathMax];
  for (Row row : {Row{"f%03n%%Y", "f007%%Y"}, Row{"%n-%N", "7-7"}, Row{"%-3n|", "7  |"}, Row{"%d %", "%d %"}}) {
    expandNumberPattern(row.pattern, 7, out);
    EXPECT_STREQ(out, row.expected) << row.pattern;
  }
  patternTime("f%03n%%Y", 7, 0, out);
  EXPECT_STREQ(out, "f007%Y");
}

TEST(Files, GlobRunsNoShell) {
  test::TempDir dir;
  test::writeFile(dir.file("b.txt"), "");
  test::writeFile(dir.file("a.txt"), "");
  u32 count = 0;
  char** list = nullptr;
  ASSERT_EQ(globExpand((dir.path() + "/*.txt").c_str(), &count, &list), 1);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(std::string(list[0]), dir.file("a.txt"));
  EXPECT_EQ(std::string(list[1]), dir.file("b.txt"));
  strlistFree(count, list);

  count = 0;
  list = nullptr;
  std::string hostile = dir.path() + "/*.none;touch " + dir.file("pwned") + ";$(touch " + dir.file("pwned2") + ")";
  ASSERT_EQ(globExpand(hostile.c_str(), &count, &list), 1);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(std::string(list[0]), hostile);
  strlistFree(count, list);
  EXPECT_FALSE(fileExists(dir.file("pwned").c_str()));
  EXPECT_FALSE(fileExists(dir.file("pwned2").c_str()));
}

TEST(Files, TreesCopyAndRemoveWithoutFollowingLinks) {
  test::TempDir dir;
  std::string source = dir.file("src");
  std::string outside = dir.file("outside");
  ASSERT_EQ(mkdir(source.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((source + "/sub").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
  test::writeFile(source + "/sub/f", "content");
  test::writeFile(outside + "/keep", "k");
  EXPECT_EQ(dirCopy(source.c_str(), dir.file("copy").c_str()), nullptr);
  EXPECT_EQ(test::readFile(dir.file("copy") + "/sub/f"), "content");

  ASSERT_EQ(symlink(outside.c_str(), (source + "/link").c_str()), 0);
  EXPECT_EQ(pathRemove(source.c_str()), nullptr);
  EXPECT_FALSE(dirExists(source.c_str()));
  EXPECT_TRUE(fileExists((outside + "/keep").c_str()));

  EXPECT_EQ(dirClean(outside.c_str()), nullptr);
  EXPECT_EQ(dirIsEmpty(outside.c_str()), 1);
}

TEST(Files, GhostsAreSparseAndLargeFilesWork) {
  test::TempDir dir;
  std::string ghost = dir.file("ghost");
  EXPECT_EQ(fileCreateGhost(ghost.c_str(), 1 << 20, 1000000000), nullptr);
  EXPECT_EQ(fileSize(ghost.c_str()), 1u << 20);
  struct stat info;
  ASSERT_EQ(stat(ghost.c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1000000000);
  EXPECT_EQ(fileLargeFileTest(), nullptr);
  EXPECT_EQ(fileCopy(ghost.c_str(), dir.file("copy").c_str()), nullptr);
  EXPECT_EQ(fileSize(dir.file("copy").c_str()), 1u << 20);
}

}  // namespace
}  // namespace palvon
