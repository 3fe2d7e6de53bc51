// The auxiliary resource server through the proxy program: with
// "options +Failsafe +DynamicServer" and no static head it holds the atoms,
// properties and selections, so losing any real server (kill -9) leaves the
// clients served.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/proxyprocess.h"
#include "support/tempdir.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {


bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Which real server dies: 0 the first configured, 1 the second.
class LosingAServer : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    for (auto* s : {&first, &second}) ASSERT_TRUE(s->ok()) << s->error();
    proxy = std::make_unique<ProxyProcess>(std::vector<std::string>{
        "noReset", "on", "options", "+Failsafe", "+DynamicServer", "screen", first.display() + ".0", "screen",
        second.display() + ".0"});
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }

  Xvfb first{{"-screen", "0", "320x200x24"}};
  Xvfb second{{"-screen", "0", "320x200x24"}};
  std::unique_ptr<ProxyProcess> proxy;
};

TEST_P(LosingAServer, LeavesClientsServed) {
  Display* kept = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(kept, nullptr);
  Atom atom = XInternAtom(kept, "_TEST_KEPT", False);
  BackgroundProgram xlogo({"xlogo"}, proxy->display());
  ASSERT_TRUE(xlogo.ok());
  ProgramResult before = runProgramUntil({"xprop", "-name", "xlogo", "WM_CLASS"}, proxy->display(), "XLogo");
  ASSERT_TRUE(contains(before.out, "XLogo")) << before.err << proxy->log();

  Xvfb& lost = GetParam() == 0 ? first : second;
  kill(lost.pid(), SIGKILL);
  lost.stop();
  ASSERT_TRUE(proxy->waitForLog("is offline, resuming", 10000)) << proxy->log();

  // The running clients and new ones are served; the atoms and the
  // properties set before are still there.
  ProgramResult after = runProgramUntil({"xprop", "-name", "xlogo", "WM_CLASS"}, proxy->display(), "XLogo");
  EXPECT_TRUE(contains(after.out, "XLogo")) << after.err << proxy->log();
  char* name = XGetAtomName(kept, atom);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "_TEST_KEPT");
  XFree(name);
  ProgramResult info = runProgram({"xdpyinfo"}, proxy->display());
  EXPECT_EQ(info.status, 0) << info.err;
  XCloseDisplay(kept);
  EXPECT_EQ(kill(proxy->pid(), 0), 0) << proxy->log();
}

INSTANTIATE_TEST_SUITE_P(Servers, LosingAServer, ::testing::Values(0, 1));

// Another server takes the resource server's number between the proxy's
// check that it is free and the start: an installation whose holdsrv first
// starts a stranger on the number, outside its own process tree, and then
// the real server, which finds the number taken and ends. The proxy moves
// on to the next number instead of adopting the stranger, so the stranger's
// end costs the session nothing.
TEST(ResourceServerNumber, TakenAtTheStartIsLeftToItsOwner) {
  Xvfb head{{"-screen", "0", "320x200x24"}};
  ASSERT_TRUE(head.ok()) << head.error();
  TempDir home;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  for (const char* dir : {"bin", "libexec", "etc", "var", "var/logs"}) mkdir(home.file(dir).c_str(), 0700);
  ASSERT_EQ(symlink((std::string(cwd) + "/libexec/palvon").c_str(), home.file("libexec/palvon").c_str()), 0);
  std::string stranger = home.file("stranger.pid");
  writeFile(home.file("bin/holdsrv"),
            "#!/bin/sh\n"
            "if [ ! -e " + stranger + " ]; then\n"
            "  echo \"$1\" > " + stranger + ".number\n"
            "  (setsid Xvfb \"$1\" -screen 0 64x64x24 -nolisten tcp >/dev/null 2>&1 & echo $! > " + stranger + ")\n"
            "  sleep 1\n"
            "fi\n"
            "exec " + cwd + "/bin/holdsrv \"$@\"\n");
  chmod(home.file("bin/holdsrv").c_str(), 0700);

  // Without Failsafe: losing the server the proxy took for its resource
  // server would end the session.
  ProxyProcess proxy({"noReset", "on", "options", "+DynamicServer", "screen", head.display() + ".0"},
                     {"PALVON_HOME=" + home.path()});
  pid_t strangerPid = atoi(readFile(stranger).c_str());
  struct StopStranger {
    pid_t pid;
    ~StopStranger() {
      if (pid > 0) kill(pid, SIGKILL);
    }
  } stop{strangerPid};
  ASSERT_GT(strangerPid, 0);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  EXPECT_TRUE(contains(proxy.log(), "another server took the number")) << proxy.log();
  std::string taken = readFile(stranger + ".number");
  taken.erase(taken.find_last_not_of('\n') + 1);
  ASSERT_FALSE(taken.empty());
  EXPECT_FALSE(contains(proxy.log(), "Connecting to display " + taken + ".0")) << proxy.log();

  Display* client = XOpenDisplay(proxy.display().c_str());
  ASSERT_NE(client, nullptr) << proxy.log();
  Atom atom = XInternAtom(client, "_TEST_HELD", False);
  kill(strangerPid, SIGKILL);
  stop.pid = 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  char* name = XGetAtomName(client, atom);
  ASSERT_NE(name, nullptr) << proxy.log();
  EXPECT_STREQ(name, "_TEST_HELD");
  XFree(name);
  XCloseDisplay(client);
  EXPECT_EQ(kill(proxy.pid(), 0), 0) << proxy.log();
}

}  // namespace
}  // namespace palvon::test
