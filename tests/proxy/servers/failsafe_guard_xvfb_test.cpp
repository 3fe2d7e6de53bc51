// The failsafe layer's last lines of defence, each in a child process of
// its own (they end or would end a process): the X library aborting on a
// server's message inside a wrapped call, a wait that only the display's
// time-out ends, and an exit signal that must end a stuck process.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include <X11/Xlib.h>
#include <X11/Xproto.h>

// For the display lock around a reply read by hand.
#include <X11/Xlibint.h>
#undef min
#undef max

#include "Proxy/config/config.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/servers/raw.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

using test::Xvfb;

// Runs body in a child; its exit status (128 + signal when killed), or -1
// when it did not end within timeoutMs (it is then killed).
int inChild(const std::function<int()>& body, int timeoutMs) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// The proxy's own connection, registered with the layer, with Failsafe so
// that a broken display is only reported.
Display* openGuarded(const Xvfb& server) {
  Display* display = XOpenDisplay(server.display().c_str());
  if (!display) return nullptr;
  xfsInstall();
  xfsAttach(display);
  proxyConfig.options |= kOptionFailsafe;
  return display;
}

// Reads a GetFontPath reply's header and leaves its data unread, so that
// the X library aborts at its next reply; 0, or the step that failed.
int leaveReplyDataUnread(Display* display) {
  if (!display || !rawBegin(display) || !rawRequest(display, X_GetFontPath, 0, 4)) return 10;
  xReply reply;
  LockDisplay(display);
  Status got = XfsReply(display, &reply, 0, False);
  UnlockDisplay(display);
  return got && reply.generic.length != 0 ? 0 : 11;
}

// A reply whose data the call did not read (as when a server sends more
// than the request asked for) makes the X library abort at the next reply.
// Inside a wrapper that breaks the display, not the process.
TEST(FailsafeGuard, AnAbortOfTheXLibraryBreaksOnlyTheDisplay) {
  Xvfb server({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  int status = inChild(
      [&] {
        Display* display = openGuarded(server);
        if (int failed = leaveReplyDataUnread(display)) return failed;
        XfsSync(display, False);  // finds the unread data
        return isDisplayOffline(display) ? 0 : 12;
      },
      10000);
  EXPECT_EQ(status, 0) << "128 + " << SIGABRT << " is the abort";
}

// The same outside every wrapper: no call to return from, so the proxy
// ends with status 1 and a message instead of the abort.
TEST(FailsafeGuard, AnAbortOutsideAWrapperEndsWithStatusOne) {
  Xvfb server({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  int status = inChild(
      [&] {
        Display* display = openGuarded(server);
        if (int failed = leaveReplyDataUnread(display)) return failed;
        XSync(display, False);
        return 12;
      },
      10000);
  EXPECT_EQ(status, 1) << "128 + " << SIGABRT << " is the abort";
}

// A server that stops answering: the library's own wait (not a wrapper's)
// ends after the display's guard time-out.
TEST(FailsafeGuard, AStoppedServerEndsTheLibrarysWait) {
  Xvfb server({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  int status = inChild(
      [&] {
        Display* display = openGuarded(server);
        if (!display) return 10;
        xfsSetGuardTimeout(500);
        kill(server.pid(), SIGSTOP);
        XSync(display, False);  // unwrapped: ends by the I/O error path
        return 11;
      },
      8000);
  kill(server.pid(), SIGCONT);
  // Outside a wrapper the broken connection ends the process (status 1),
  // within the time-out instead of never.
  EXPECT_EQ(status, 1);
}

// Stuck where no time-out reaches: an exit signal still ends the process,
// one guard time-out (and a second) later.
TEST(FailsafeGuard, AnExitSignalEndsAStuckProcess) {
  int status = inChild(
      [] {
        xfsInstall();
        xfsSetGuardTimeout(200);
        xfsExitRequested();
        for (;;) pause();
        return 10;
      },
      5000);
  EXPECT_EQ(status, 1);
}

}  // namespace
}  // namespace palvon
