// The session scripts/run.sh starts for a user (scripts/session.sh with this
// build's proxy): only a client with the cookie it prints the lines for is
// admitted, over the local socket and TCP alike, and the tools people run
// against an X server (keyboard layouts, screen configuration, input
// synthesis, one short-lived client after another) work with those lines.
// Sessions started at once each claim numbers of their own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/rawclient.h"
#include "support/tempdir.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The value of "export NAME=value" in the script's output ("" when absent).
std::string exported(const std::string& out, const std::string& name) {
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("export " + name + "=", 0) == 0) return line.substr(8 + name.size());
  return "";
}

// The script run from this build tree (the tests' working directory), its
// output in files; ended by SIGTERM to the script, which ends the proxy,
// the proxy's Xvfb and the authority file.
class Session {
 public:
  Session() {
    pid_ = fork();
    if (pid_ == 0) {
      // A process group of its own, as a shell's foreground job has.
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      int out = open(dir_.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = open(dir_.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int in = open("/dev/null", O_RDONLY);
      dup2(in, 0), dup2(out, 1), dup2(err, 2);
      // A test runner may leave the interrupt and termination signals ignored.
      signal(SIGINT, SIG_DFL), signal(SIGTERM, SIG_DFL);
      execl("/bin/bash", "bash", PALVON_SOURCE_DIR "/scripts/session.sh", ".", static_cast<char*>(nullptr));
      _exit(127);
    }
    // The proxy of a sanitizer build on a loaded machine takes a while.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      display = exported(out(), "DISPLAY");
      authority = exported(out(), "XAUTHORITY");
      if (!display.empty() && !authority.empty()) break;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~Session() { end(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool ok() const { return pid_ > 0 && display.size() > 1 && !authority.empty(); }
  int number() const { return atoi(display.c_str() + 1); }
  std::string out() const { return readFile(dir_.file("out")); }
  std::string log() const { return readFile(dir_.file("err")); }
  std::string report() const { return out() + log(); }
  // Ends the session; true when the script ended in time.
  bool end() {
    if (pid_ <= 0) return true;
    bool ended = stopProcess(pid_, SIGTERM, 20000);
    pid_ = -1;
    return ended;
  }
  // Ctrl-C in the terminal: SIGINT to the script's process group.
  bool interrupt() {
    if (pid_ <= 0 || kill(-pid_, SIGINT) != 0) return false;
    bool ended = stopProcess(pid_, 0, 20000);  // signal 0: only waits
    pid_ = -1;
    return ended;
  }

  std::string display;
  std::string authority;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
};

// XAUTHORITY for the programs the test runs, put back afterwards.
class AuthorityVariable {
 public:
  explicit AuthorityVariable(const std::string& path) {
    if (const char* old = getenv("XAUTHORITY")) saved_ = old, had_ = true;
    setenv("XAUTHORITY", path.c_str(), 1);
  }
  ~AuthorityVariable() {
    if (had_) setenv("XAUTHORITY", saved_.c_str(), 1);
    else unsetenv("XAUTHORITY");
  }

 private:
  std::string saved_;
  bool had_ = false;
};

TEST(SessionScript, AdmitsOnlyTheCookieItPrints) {
  Session session;
  ASSERT_TRUE(session.ok()) << session.report();
  struct stat st {};
  ASSERT_EQ(stat(session.authority.c_str(), &st), 0) << session.authority;
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_uid, getuid());
  // The server has the cookie the proxy made for it: no warning about a
  // missing authority file of the user's, and no empty field in the banner.
  EXPECT_FALSE(contains(session.log(), "No server authorization file")) << session.log();
  EXPECT_FALSE(contains(session.log(), ", )")) << session.log();

  // No cookie and a wrong one, over the local socket and TCP on the loopback.
  struct Refused {
    const char* name;
    bool tcp;
    bool wrongCookie;
  };
  const Refused refused[] = {
      {"unix, no cookie", false, false},
      {"unix, wrong cookie", false, true},
      {"tcp, no cookie", true, false},
      {"tcp, wrong cookie", true, true},
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.name);
    RawClient c;
    ASSERT_TRUE(r.tcp ? c.connectTcp(session.number()) : c.connectUnix(session.number()));
    Bytes cookie(16, 0x5a);
    int status = r.wrongCookie ? c.setup('l', "MIT-MAGIC-COOKIE-1", cookie) : c.setup('l');
    EXPECT_EQ(status, 0) << session.log();
  }

  // The printed lines admit, over both transports.
  AuthorityVariable variable(session.authority);
  for (const std::string& display : {session.display, "127.0.0.1" + session.display}) {
    ProgramResult r = runProgram({"xdpyinfo"}, display, 20000);
    EXPECT_EQ(r.status, 0) << display << ": " << r.err << session.log();
    EXPECT_TRUE(contains(r.out, "name of display:    " + display)) << r.out;
  }

  ASSERT_TRUE(session.end()) << session.report();
  EXPECT_NE(access(session.authority.c_str(), F_OK), 0) << "the authority file outlives its session";
}

// Ctrl-C reaches the script alone: it ends the proxy, which stops its Xvfb
// in turn, rather than the Xvfb dying under the proxy.
TEST(SessionScript, CtrlCEndsTheProxyBeforeItsServer) {
  Session session;
  ASSERT_TRUE(session.ok()) << session.report();
  ASSERT_TRUE(session.interrupt()) << session.report();
  std::string log = session.log();
  EXPECT_TRUE(contains(log, "EXITED: Received exit signal 15")) << log;
  EXPECT_FALSE(contains(log, "offline") || contains(log, "Broken connection")) << log;
}

TEST(SessionScript, CommonToolsWorkWithThePrintedLines) {
  Session session;
  ASSERT_TRUE(session.ok()) << session.report();
  AuthorityVariable variable(session.authority);
  TempDir dir;
  struct Tool {
    std::vector<std::string> argv;
    const char* shows;  // a text of the tool's output, in the file out when the tool writes one
  };
  const Tool tools[] = {
      {{"xdotool", "mousemove", "17", "23", "getmouselocation"}, "x:17 y:23"},
      {{"setxkbmap", "-print"}, "xkb_keymap"},
      {{"xkbcomp", session.display, dir.file("out")}, "xkb_keycodes"},
      {{"xrandr"}, "Screen 0:"},
      // One client after another: the second finds the session as the first left it.
      {{"xdpyinfo"}, "XKEYBOARD"},
      {{"xdpyinfo"}, "RANDR"},
  };
  for (const Tool& tool : tools) {
    SCOPED_TRACE(tool.argv[0]);
    unlink(dir.file("out").c_str());
    ProgramResult r = runProgram(tool.argv, session.display, 20000);
    EXPECT_EQ(r.status, 0) << r.err << session.log();
    std::string shown = r.out + readFile(dir.file("out"));
    EXPECT_TRUE(contains(shown, tool.shows)) << shown;
  }
  // A reset when the last client leaves would sleep before the next one is
  // served: the session never resets for that.
  EXPECT_FALSE(contains(session.log(), "Resetting X proxy")) << session.log();
}

}  // namespace
}  // namespace palvon::test
