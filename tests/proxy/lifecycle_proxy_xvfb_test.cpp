// What a running session meets, through the proxy program in front of real
// Xvfb servers: a head that cannot be reached at start-up, two proxies side
// by side, a server frozen while a client connects or right after a mapping
// change, a dropped server added back, an addition that nobody answers
// while other clients are served, and a display manager across a reset.
#include <gtest/gtest.h>

#include <X11/Xdmcp.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Proxy/config/config.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/tempdir.h"
#include "support/testdm.h"
#include "support/waitfor.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

using Clock = std::chrono::steady_clock;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A frozen server is woken again however the test ends: its fixture stops
// it by pid, and a stopped process would hold that up.
struct Frozen {
  pid_t pid;
  explicit Frozen(pid_t p) : pid(p) { kill(pid, SIGSTOP); }
  ~Frozen() { kill(pid, SIGCONT); }
};

// A raw client of the control extension.
struct MetaClient {
  RawClient raw;
  uint8_t major = 0;
  bool open(int display) {
    if (!raw.connectUnix(display) || raw.setup('l') != 1) return false;
    major = raw.queryExtension("MORVANDELL META").major;
    return major != 0;
  }
  // offlineMs 0 takes the default time-out.
  void sendAddServer(const std::string& name, uint16_t offlineMs = 0) {
    Bytes body(8 + ((name.size() + 4) & ~size_t(3)), 0);
    raw.put16(body, 6, offlineMs);
    std::copy(name.begin(), name.end(), body.begin() + 8);
    raw.send(raw.request(major, 4, body));
  }
  // The reply or error, events skipped; empty when none came in time.
  Bytes next(int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (long long left = timeoutMs; left > 0; left = -msSince(end)) {
      Bytes m = raw.readMessage(int(left));
      if (m.empty() || m[0] <= 1) return m;
    }
    return {};
  }
  // RemoveServer: its status reply.
  Bytes removeServer(const std::string& name) {
    Bytes body(4 + ((name.size() + 4) & ~size_t(3)), 0);
    body[0] = uint8_t(name.size());
    std::copy(name.begin(), name.end(), body.begin() + 4);
    raw.send(raw.request(major, 5, body));
    return next(30000);
  }
  // SetHeadValues: the head joins meta screen 0 at the logical rectangle.
  Bytes join(uint32_t head, int x, int y, int width, int height) {
    Bytes body(4 * 7, 0);
    uint32_t mask = kHeadGivenMetaScreen | kHeadGivenLogicalX | kHeadGivenLogicalY | kHeadGivenLogicalWidth |
                    kHeadGivenLogicalHeight;
    uint32_t words[] = {head, mask, 0, uint32_t(x), uint32_t(y), uint32_t(width), uint32_t(height)};
    for (size_t k = 0; k < 7; k++) raw.put32(body, 4 * k, words[k]);
    raw.send(raw.request(major, 8, body));
    return next(30000);
  }
};

// A round trip of an ordinary client (GetInputFocus): its time in ms, -1
// when no reply came within the deadline.
long long roundTrip(RawClient& client, int deadlineMs) {
  auto start = Clock::now();
  if (!client.send(client.request(43, 0))) return -1;
  Bytes reply = client.readMessage(deadlineMs);
  return reply.size() >= 32 && reply[0] == 1 ? msSince(start) : -1;
}

// CreateColormap of the root visual: with several heads the proxy makes a
// round trip through every server before it answers.
void sendRoundTripThroughEveryServer(RawClient& client) {
  Bytes body(12);
  client.put32(body, 0, client.resourceIdBase() + 1);
  client.put32(body, 4, client.rootWindow());
  client.put32(body, 8, client.rootVisual());
  client.send(client.request(78, 0, body));
}

// --- Start-up ----------------------------------------------------------------------------------

// The first head names a loopback port nobody listens on: with Failsafe the
// proxy goes on with the other head, and its watchdog does not take the
// time spent trying for silence of the head that answered.
TEST(Startup, FailsafeGoesOnWithoutAHeadNobodyAnswers) {
  Xvfb s({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(s.ok()) << s.error();
  ClaimedDisplay nobody(500);
  ProxyProcess proxy({"options", "+Failsafe", "screen", "127.0.0.1" + nobody.name() + ".0", "connectTimeout", "2",
                      "screen", s.display() + ".0", "failsafeTimeout", "2", "borderWidth", "0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  EXPECT_TRUE(contains(proxy.log(), "(trying to continue...)")) << proxy.log();
  EXPECT_EQ(proxy.wait(3000), -1) << "the proxy ended\n" << proxy.log();
  ProgramResult info = runProgram({"xdpyinfo"}, proxy.display());
  EXPECT_EQ(info.status, 0) << info.err << proxy.log();
  EXPECT_TRUE(contains(info.out, "640x480 pixels")) << info.out;
}

// A display number another server holds: the start ends with status 1
// naming the port, the proxy leaks nothing at that exit, and the other
// server's sockets stay its own.
TEST(Startup, ADisplayInUseEndsTheStartAndLeavesItsServerAlone) {
  Xvfb s({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(s.ok()) << s.error();
  TempDir reports;
  ProxyProcess proxy({"connection", s.display(), "screen", s.display() + ".0"},
                     {"ASAN_OPTIONS=detect_leaks=1:log_path=" + reports.file("asan")});
  ASSERT_FALSE(proxy.ok());
  EXPECT_EQ(proxy.wait(10000), 1);
  EXPECT_TRUE(contains(proxy.log(), "Can't establish listening port")) << proxy.log();
  EXPECT_EQ(reports.allFiles(), "");
  EXPECT_EQ(runProgram({"xdpyinfo"}, s.display()).status, 0);
}

// Two proxies of one installation, each with the default log file: each
// writes its own, named by its display number.
TEST(Startup, TwoProxiesSideBySideLogToFilesOfTheirOwn) {
  Xvfb s({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(s.ok()) << s.error();
  TempDir var;
  ASSERT_EQ(mkdir(var.file("logs").c_str(), 0700), 0);
  std::vector<std::string> environment{"PALVON_VAR=" + var.path()};
  ProxyProcess first({"screen", s.display() + ".0"}, environment, 30000, false);
  ProxyProcess second({"screen", s.display() + ".0"}, environment, 30000, false);
  ASSERT_TRUE(first.ok() && second.ok());
  const passwd* user = getpwuid(getuid());
  ASSERT_NE(user, nullptr);
  for (const ProxyProcess* proxy : {&first, &second}) {
    const ProxyProcess* other = proxy == &first ? &second : &first;
    std::string log = readFile(var.file("logs/palvon-" + std::string(user->pw_name) + "-" +
                                        std::to_string(proxy->number()) + ".log"));
    EXPECT_TRUE(contains(log, "on " + proxy->display() + " as ")) << proxy->display() << ":\n" << log;
    EXPECT_FALSE(contains(log, "on " + other->display() + " as ")) << proxy->display() << ":\n" << log;
  }
}

// How many windows of the size ("600x600") the display's tree shows.
size_t windowsOfSize(const std::string& display, const std::string& size) {
  std::string tree = runProgram({"xwininfo", "-root", "-tree"}, display).out;
  size_t count = 0;
  for (size_t at = tree.find(" " + size + "+"); at != std::string::npos; at = tree.find(" " + size + "+", at + 1))
    count++;
  return count;
}

// --- Resets and exits --------------------------------------------------------------------------

// The only server dies while the proxy sleeps in its reset: the restart
// after the sleep fails, and a failure ends the proxy with status 1.
TEST(Reset, AServerThatDiesDuringTheSleepEndsTheProxyWithStatusOne) {
  auto s = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "320x240x24"});
  ASSERT_TRUE(s->ok()) << s->error();
  ProxyProcess proxy({"screen", s->display() + ".0", "connectTimeout", "2"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  // The last client leaving resets the proxy.
  ASSERT_EQ(runProgram({"xdpyinfo"}, proxy.display()).status, 0) << proxy.log();
  ASSERT_TRUE(proxy.waitForLog("Sleeping", 10000)) << proxy.log();
  int number = s->number();
  kill(s->pid(), SIGKILL);
  s.reset();
  // The number is held until the proxy ends: a server another test starts
  // on it would answer the restart in the dead server's place.
  std::string lock;
  waitFor([&] { return claimDisplayNumber(number, &lock); }, 10000, 20);
  EXPECT_EQ(proxy.wait(30000), 1) << proxy.log();
  if (!lock.empty()) unlink(lock.c_str());
}

// A server that stops while the proxy sleeps in its reset is left out with
// Failsafe, as at start-up: the session goes on with the other one, and a
// client that connects meanwhile is answered.
TEST(Reset, AServerStoppedDuringTheSleepIsLeftOutWithFailsafe) {
  Xvfb a({"-screen", "0", "320x240x24"}), b({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  ProxyProcess proxy({"options", "+Failsafe", "screen", a.display() + ".0", "screen", b.display() + ".0",
                      "connectTimeout", "2"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  // The last client leaving resets the proxy.
  ASSERT_EQ(runProgram({"xdpyinfo"}, proxy.display()).status, 0) << proxy.log();
  ASSERT_TRUE(proxy.waitForLog("Sleeping", 10000)) << proxy.log();
  Frozen freeze(b.pid());
  ProgramResult info = runProgram({"xdpyinfo"}, proxy.display(), 20000);
  EXPECT_EQ(info.status, 0) << info.err << proxy.log();
  EXPECT_TRUE(contains(proxy.log(), "(trying to continue...)")) << proxy.log();
  EXPECT_EQ(proxy.wait(50), -1) << "the proxy ended\n" << proxy.log();
}

// A signal while a head has stopped: an exit ends the proxy at once with the
// status of an exit that was asked for, also when the proxy was waiting on
// that head just then; a reset leaves the head out (Failsafe) and serves on.
struct StoppedHeadCase {
  const char* name;
  int signal;
  bool failsafe;
  bool waiting;  // a client's request holds the proxy in a wait on the head
};

void PrintTo(const StoppedHeadCase& c, std::ostream* os) { *os << c.name; }

class StoppedHead : public ::testing::TestWithParam<StoppedHeadCase> {};

TEST_P(StoppedHead, SignalIsHonouredAtOnce) {
  const StoppedHeadCase& c = GetParam();
  Xvfb a({"-screen", "0", "320x240x24"}), b({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  std::vector<std::string> words{"screen", a.display() + ".0", "screen", b.display() + ".0", "connectTimeout", "2"};
  if (c.failsafe) words.insert(words.begin(), {"options", "+Failsafe"});
  ProxyProcess proxy(words);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  RawClient client;
  ASSERT_TRUE(client.connectUnix(proxy.number()) && client.setup('l') == 1) << proxy.log();
  ASSERT_GE(roundTrip(client, 5000), 0) << proxy.log();
  Frozen freeze(b.pid());
  if (c.waiting) {
    // The proxy has the request in hand: it is in its wait on B then.
    sendRoundTripThroughEveryServer(client);
    ASSERT_TRUE(client.waitSentRead()) << proxy.log();
  }
  auto signalled = Clock::now();
  proxy.signal(c.signal);
  if (c.signal == SIGHUP) {
    // The client goes with the reset; a new one is served by A alone.
    ProgramResult info = runProgram({"xdpyinfo"}, proxy.display(), 20000);
    EXPECT_EQ(info.status, 0) << info.err << proxy.log();
    EXPECT_EQ(proxy.wait(50), -1) << "the proxy ended\n" << proxy.log();
    return;
  }
  int status = proxy.wait(10000);
  long long took = msSince(signalled);
  std::cout << c.name << ": ended " << took << " ms after the signal\n";
  EXPECT_EQ(status, 0) << proxy.log();
  // The exit waits 400 ms for the servers at most; the rest is room for a
  // loaded machine and a sanitizer's exit.
  EXPECT_LT(took, 2000) << proxy.log();
  EXPECT_FALSE(contains(proxy.log(), "Broken connection")) << proxy.log();
}

INSTANTIATE_TEST_SUITE_P(Table, StoppedHead,
                         ::testing::Values(StoppedHeadCase{"TermWithFailsafe", SIGTERM, true, false},
                                           StoppedHeadCase{"TermWithoutFailsafe", SIGTERM, false, false},
                                           StoppedHeadCase{"TermDuringAWaitOnTheHead", SIGTERM, true, true},
                                           StoppedHeadCase{"IntDuringAWaitWithoutFailsafe", SIGINT, false, true},
                                           StoppedHeadCase{"HupWithFailsafe", SIGHUP, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// An exit signal while the proxy connects to a server that takes the
// connection and never answers ends the proxy at once, with the signal as
// its reason.
TEST(Exit, ASignalEndsAConnectToASilentServer) {
  ClaimedDisplay silent(500);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(uint16_t(6000 + silent.number()));
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << strerror(errno);
  ASSERT_EQ(listen(listener, 8), 0);
  ProxyProcess proxy({"screen", "127.0.0.1" + silent.name() + ".0", "connectTimeout", "30"}, {}, 500);
  ASSERT_FALSE(proxy.ok());
  ASSERT_TRUE(proxy.waitForLog("Connecting to display", 10000)) << proxy.log();
  // The connection is made (in the listener's queue): the proxy waits for
  // an answer that never comes.
  pollfd queued{listener, POLLIN, 0};
  ASSERT_TRUE(waitFor([&] { return poll(&queued, 1, 0) == 1; }, 10000)) << proxy.log();
  auto signalled = Clock::now();
  proxy.signal(SIGTERM);
  int status = proxy.wait(5000);
  long long took = msSince(signalled);
  close(listener);
  EXPECT_NE(status, -1) << proxy.log();
  // The connect alone would hold it for its 30 s time-out; the bound leaves
  // room for a loaded machine and a sanitizer's exit.
  EXPECT_LT(took, 3000) << proxy.log();
  EXPECT_TRUE(contains(proxy.log(), "Exiting: Received exit signal 15")) << proxy.log();
}

// --- A frozen server ---------------------------------------------------------------------------

class FrozenServer : public ::testing::Test {
 protected:
  // `cloned`: B shows what A shows (every window is on both heads).
  void start(std::vector<std::string> options, const std::string& size = "640x480x24", bool cloned = false) {
    for (auto* server : {&a, &b}) {
      *server = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", size});
      ASSERT_TRUE((*server)->ok()) << (*server)->error();
    }
    std::vector<std::string> words{"noReset", "on", "options", "+Failsafe"};
    words.insert(words.end(), options.begin(), options.end());
    words.insert(words.end(), {"screen", a->display() + ".0", "tags", "static", "borderWidth", "0", "screen",
                               b->display() + ".0", "failsafeTimeout", "2", "borderWidth", "0"});
    if (cloned) words.insert(words.end(), {"sameAs", a->display() + ".0"});
    // What a sanitizer finds at the proxy's exit (nothing without one).
    proxy = std::make_unique<ProxyProcess>(
        words, std::vector<std::string>{"ASAN_OPTIONS=detect_leaks=1:log_path=" + reports.file("asan")});
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }
  // Ends the proxy with SIGTERM; what a sanitizer reported at its exit.
  std::string exitReports() {
    proxy->signal(SIGTERM);
    proxy->wait(20000);
    return reports.allFiles();
  }
  TempDir reports;
  std::unique_ptr<Xvfb> a, b;
  std::unique_ptr<ProxyProcess> proxy;
};

// A client that connects while B is frozen gets its set-up reply once B is
// dropped, and is served by A alone.
TEST_F(FrozenServer, AClientConnectingDuringTheFreezeIsAnsweredWhenTheServerIsDropped) {
  start({});
  // The proxy has settled: what the servers sent at start-up is handled.
  ASSERT_EQ(runProgram({"xdpyinfo"}, proxy->display()).status, 0) << proxy->log();
  Frozen freeze(b->pid());
  RawClient late;
  ASSERT_TRUE(late.connectUnix(proxy->number()));
  EXPECT_EQ(late.setup('l', "", {}, 12000), 1) << proxy->log();
  EXPECT_TRUE(contains(proxy->log(), "is offline, resuming")) << proxy->log();
  EXPECT_GE(roundTrip(late, 5000), 0) << proxy->log();
  ProgramResult tree = runProgram({"xwininfo", "-root", "-tree"}, proxy->display());
  EXPECT_EQ(tree.status, 0) << tree.err << proxy->log();
}

// B changes its pointer mapping and freezes before the proxy has read the
// news (the proxy is held meanwhile): asking B for the new mapping must not
// hang the proxy, which drops B and serves the others.
TEST_F(FrozenServer, AMappingChangeJustBeforeTheFreezeHoldsNobodyUp) {
  start({});
  RawClient other;
  ASSERT_TRUE(other.connectUnix(proxy->number()));
  ASSERT_EQ(other.setup('l'), 1) << proxy->log();
  ProgramResult swapped;
  {
    Frozen holdProxy(proxy->pid());
    swapped = runProgram({"xmodmap", "-e", "pointer = 3 2 1"}, b->display());
    kill(b->pid(), SIGSTOP);
  }
  Frozen freeze(b->pid());
  ASSERT_EQ(swapped.status, 0) << swapped.err;
  EXPECT_GE(roundTrip(other, 8000), 0) << proxy->log();
  EXPECT_TRUE(proxy->waitForLog("is offline, resuming", 5000)) << proxy->log();
}

// QueryBestSize for a cursor asks every head on the proxy's own
// connections. Put 1.5 s after B stopped, that question ends when B is due
// to be dropped (its time-out of 2 s after it last answered), not a whole
// time-out after it was put; a client that connected meanwhile, whose
// set-up B never answered, waits for the drop and is not cut.
TEST_F(FrozenServer, AQuestionOfTheProxysOwnEndsWhenTheStoppedServerIsDue) {
  start({});
  RawClient asking, late;
  ASSERT_TRUE(asking.connectUnix(proxy->number()) && asking.setup('l') == 1) << proxy->log();
  auto stopped = Clock::now();
  Frozen freeze(b->pid());
  // Time on purpose: the question comes well into B's time-out.
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  ASSERT_TRUE(late.connectUnix(proxy->number()));
  int lateSetup = 0;
  std::atomic<bool> setupSent{false};
  std::thread connecting([&] {
    setupSent = true;
    lateSetup = late.setup('l', "", {}, 10000);
  });
  // The proxy has the late client's set-up in hand.
  EXPECT_TRUE(waitFor([&] { return setupSent && late.waitSentRead(0); }, 5000)) << proxy->log();
  Bytes body(8);
  asking.put32(body, 0, asking.rootWindow());
  asking.put16(body, 4, 16);
  asking.put16(body, 6, 16);
  ASSERT_TRUE(asking.send(asking.request(97, 0, body)));
  Bytes reply = asking.readMessage(10000);
  long long answered = msSince(stopped);
  EXPECT_TRUE(reply.size() >= 32 && reply[0] == 1) << proxy->log();
  EXPECT_LT(answered, 3000) << proxy->log();
  connecting.join();
  EXPECT_EQ(lateSetup, 1) << proxy->log();
  EXPECT_FALSE(contains(proxy->log(), "No complete answer")) << proxy->log();
}

// A server dropped while frozen comes back only when added again: META's
// AddServer opens it anew and SetHeadValues puts it back at its place,
// where it shows the session's windows again.
TEST_F(FrozenServer, ADroppedServerIsAddedBackThroughAddServer) {
  start({"+DynamicServer"});
  BackgroundProgram logo({"xlogo", "-geometry", "100x100+700+100"}, proxy->display());
  ASSERT_TRUE(waitFor([&] { return contains(runProgram({"xwininfo", "-root", "-tree"}, b->display()).out,
                                            "100x100+700+100"); },
                      15000))
      << proxy->log();
  {
    Frozen freeze(b->pid());
    ASSERT_TRUE(proxy->waitForLog("is offline, resuming", 10000)) << proxy->log();
  }
  EXPECT_EQ(runProgram({"xdpyinfo"}, proxy->display()).status, 0) << proxy->log();
  MetaClient meta;
  ASSERT_TRUE(meta.open(proxy->number())) << proxy->log();
  meta.sendAddServer(b->display());
  Bytes added = meta.next(15000);
  ASSERT_GE(added.size(), 36u) << proxy->log();
  ASSERT_EQ(added[1], 0) << std::string(added.begin() + 32, added.end()) << proxy->log();
  ASSERT_EQ(meta.raw.get16(added, 8), 1);
  Bytes joined = meta.join(meta.raw.get32(added, 32), 640, 0, 640, 480);
  ASSERT_GE(joined.size(), 32u) << proxy->log();
  EXPECT_EQ(meta.raw.get32(joined, 8), 0u) << std::string(joined.begin() + 32, joined.end()) << proxy->log();
  EXPECT_TRUE(waitFor([&] { return contains(runProgram({"xwininfo", "-root", "-tree"}, b->display()).out,
                                            "100x100+700+100"); },
                      10000))
      << runProgram({"xwininfo", "-root", "-tree"}, b->display()).out << proxy->log();
}

// Image traffic (core and shared-memory puts and gets, copies between
// windows and pixmaps) fills every client's link to B when B stops: the
// drop after B's time-out closes those links without waiting for B, and
// lets go of the shared segments without writing to a closing link. The
// proxy lives, the image clients go on, and a new client is answered at
// once. A probe connects and makes a round trip again and again: the ones
// that connect while B is stopped wait for the drop like every other
// client (none is cut for its own link's silence, which would hold the
// drop up by another time-out), and it is answered after it.
TEST_F(FrozenServer, ImageTrafficToAStoppedServerIsDroppedWithIt) {
  // x11perf's window (600x600) must lie wholly on A for its reads; B
  // shows the same, so every client draws on both.
  start({}, "800x700x24", true);
  std::vector<std::unique_ptr<BackgroundProgram>> clients;
  for (const char* test : {"-putimage500", "-getimage500", "-shmput500", "-shmget500", "-copywinpix500",
                           "-copypixwin500"}) {
    clients.push_back(std::make_unique<BackgroundProgram>(
        std::vector<std::string>{"x11perf", "-repeat", "1000", "-time", "1", test}, proxy->display()));
  }
  // Clients that draw without ever waiting for an answer: what they send
  // B waits in their links' output when B stops.
  constexpr int kFlooders = 4;
  std::atomic<bool> stopFlooding{false};
  std::atomic<long> flooded[kFlooders] = {};
  std::vector<std::unique_ptr<RawClient>> flooding;
  std::vector<std::thread> flooders;
  std::vector<Bytes> requests;
  for (int i = 0; i < kFlooders; i++) {
    flooding.push_back(std::make_unique<RawClient>());
    RawClient& flood = *flooding.back();
    ASSERT_TRUE(flood.connectUnix(proxy->number()) && flood.setup('l') == 1);
    uint32_t gc = flood.resourceIdBase() + 1;
    Bytes create(12);
    flood.put32(create, 0, gc);
    flood.put32(create, 4, flood.rootWindow());
    flood.send(flood.request(55, 0, create));  // CreateGC, no values
    Bytes points(8 + 4 * 1020);
    flood.put32(points, 0, flood.rootWindow());
    flood.put32(points, 4, gc);
    for (size_t k = 0; k < 1020; k++) {
      flood.put16(points, 8 + 4 * k, uint16_t(k % 700));
      flood.put16(points, 10 + 4 * k, uint16_t(k / 2));
    }
    requests.push_back(flood.request(64, 0, points));  // PolyPoint
  }
  auto endFlooding = [&] {
    stopFlooding = true;
    for (auto& flood : flooding) shutdown(flood->fd(), SHUT_RDWR);
    for (std::thread& flooder : flooders) flooder.join();
  };
  std::atomic<bool> stopProbing{false};
  std::atomic<int> probesAnswered{0}, probesFailed{0};
  std::thread probe;
  // However the test ends.
  struct Finally {
    std::function<void()> run;
    ~Finally() { run(); }
  } finish{[&] {
    stopProbing = true;
    if (probe.joinable()) probe.join();
    endFlooding();
  }};
  for (int i = 0; i < kFlooders; i++) {
    flooders.emplace_back([&, i] {
      while (!stopFlooding && flooding[size_t(i)]->send(requests[size_t(i)])) flooded[i]++;
    });
  }
  probe = std::thread([&] {
    while (!stopProbing) {
      RawClient client;
      bool answered = client.connectUnix(proxy->number()) && client.setup('l', "", {}, 15000) == 1 &&
                      roundTrip(client, 15000) >= 0;
      (answered ? probesAnswered : probesFailed)++;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  // Every client draws before B stops: the programs' windows are on B, and
  // every flooding client has sent a drawing.
  ASSERT_TRUE(waitFor(
      [&] {
        for (long count : flooded)
          if (count == 0) return false;
        return windowsOfSize(b->display(), "600x600") >= clients.size();
      },
      30000, 100))
      << proxy->log();
  size_t from = proxy->log().size();
  auto stopped = Clock::now();
  Frozen freeze(b->pid());
  ASSERT_TRUE(proxy->waitForLog("is offline, resuming", 15000, from)) << proxy->log();
  auto dropped = Clock::now();
  // B's time-out is 2 s; a client cut first held the drop up by another.
  EXPECT_LT(msSince(stopped), 2000 + 1500) << proxy->log();
  EXPECT_FALSE(contains(proxy->log(), "No complete answer")) << proxy->log();
  RawClient late;
  ASSERT_TRUE(late.connectUnix(proxy->number()));
  ASSERT_EQ(late.setup('l', "", {}, 15000), 1) << proxy->log();
  EXPECT_GE(roundTrip(late, 15000), 0) << proxy->log();
  long long answered = msSince(dropped);
  std::cout << "new client answered " << answered << " ms after the drop\n";
  // A drop that waited for the stopped server's links took one offline
  // time-out (2 s) per link; the bound leaves room for a loaded machine.
  EXPECT_LT(answered, 5000) << proxy->log();
  // The flooding clients draw on, and the proxy lives.
  long before[kFlooders];
  for (int i = 0; i < kFlooders; i++) before[i] = flooded[i];
  for (int i = 0; i < kFlooders; i++)
    EXPECT_TRUE(waitFor([&] { return flooded[i] > before[i]; }, 20000)) << "flooding client " << i;
  EXPECT_EQ(proxy->wait(0), -1) << "the proxy ended\n" << proxy->log();
  size_t kept = 0;
  for (auto& client : clients) kept += client->running();
  EXPECT_EQ(kept, clients.size()) << proxy->log();
  EXPECT_GE(roundTrip(late, 5000), 0) << proxy->log();
  int answeredBefore = probesAnswered;
  EXPECT_TRUE(waitFor([&] { return probesAnswered > answeredBefore; }, 5000)) << proxy->log();
  EXPECT_EQ(probesFailed, 0) << proxy->log();
  EXPECT_FALSE(contains(proxy->log(), "Out of memory")) << proxy->log();
  // Nothing of the dropped server's is left behind.
  EXPECT_EQ(exitReports(), "");
}

// A client reads a window while B is stopped: its GetImage waits on B until
// B is dropped, and is then answered as the proxy answers it after the drop,
// from the heads that remain (B's area, now outside every head, reads as
// zeros): the same reply as the same GetImage asked after the drop, not an
// error that ends a client on its library's default error handler. A piece
// of the window on A, a window on B alone, a read of some planes, and a
// read into shared memory (MIT-SHM's GetImage, the same pieces).
struct WaitingReadCase {
  const char* name;
  int x;             // the window's place on the meta screen (B from 640 on)
  uint8_t format;    // 1 XYPixmap, 2 ZPixmap
  uint32_t planeMask;
  bool shared;
};

void PrintTo(const WaitingReadCase& c, std::ostream* os) { *os << c.name; }

class WaitingRead : public FrozenServer, public ::testing::WithParamInterface<WaitingReadCase> {
 protected:
  void TearDown() override {
    if (segment) shmdt(segment);
    if (segmentId >= 0) shmctl(segmentId, IPC_RMID, nullptr);
  }
  // A segment of the image's size, attached through the proxy.
  bool attachSegment(RawClient& client) {
    segmentId = shmget(IPC_PRIVATE, size_t(kWidth) * kHeight * 4, IPC_CREAT | 0600);
    void* address = segmentId >= 0 ? shmat(segmentId, nullptr, 0) : reinterpret_cast<void*>(-1);
    if (address == reinterpret_cast<void*>(-1)) return false;
    segment = static_cast<uint8_t*>(address);
    shm = client.queryExtension("MIT-SHM").major;
    Bytes body(12);
    client.put32(body, 0, client.resourceIdBase() + 3);
    client.put32(body, 4, uint32_t(segmentId));
    return shm && client.send(client.request(shm, 1, body));
  }
  // The row's read of the whole window; `whole`: every plane as ZPixmap.
  // A read into the segment comes back as its reply followed by what the
  // segment then holds.
  Bytes getImage(RawClient& client, uint32_t window, int timeoutMs, bool whole = false) {
    const WaitingReadCase& c = GetParam();
    bool shared = c.shared && !whole;
    Bytes body(shared ? 28 : 16);
    client.put32(body, 0, window);
    client.put16(body, 8, kWidth);
    client.put16(body, 10, kHeight);
    client.put32(body, 12, whole ? 0xffffffff : c.planeMask);
    if (shared) {
      body[16] = c.format;
      client.put32(body, 20, client.resourceIdBase() + 3);
    }
    Bytes request = shared ? client.request(shm, 4, body) : client.request(73, whole ? 2 : c.format, body);
    if (!client.send(request)) return {};
    for (auto end = Clock::now() + std::chrono::milliseconds(timeoutMs); Clock::now() < end;) {
      Bytes m = client.readMessage(int(std::max<long long>(1, -msSince(end))));
      if (m.empty() || m[0] == 0 || (m[0] == 1 && !shared)) return m;
      if (m[0] == 1) {
        m.insert(m.end(), segment, segment + client.get32(m, 12));
        return m;
      }
    }
    return {};
  }
  static constexpr uint16_t kWidth = 400, kHeight = 300;
  int segmentId = -1;
  uint8_t* segment = nullptr;
  uint8_t shm = 0;
};

TEST_P(WaitingRead, IsAnsweredFromTheHeadsThatRemain) {
  const WaitingReadCase& c = GetParam();
  start({});
  RawClient client;
  ASSERT_TRUE(client.connectUnix(proxy->number()) && client.setup('l') == 1) << proxy->log();
  uint32_t window = client.resourceIdBase() + 1;
  Bytes create(32);
  client.put32(create, 0, window);
  client.put32(create, 4, client.rootWindow());
  client.put16(create, 8, uint16_t(c.x));
  client.put16(create, 10, 100);
  client.put16(create, 12, kWidth);
  client.put16(create, 14, kHeight);
  client.put16(create, 18, 1);           // InputOutput
  client.put32(create, 24, 0x2);         // CWBackPixel
  client.put32(create, 28, 0x00ff0000);  // red
  ASSERT_TRUE(client.send(client.request(1, 0, create)));
  Bytes map(4);
  client.put32(map, 0, window);
  ASSERT_TRUE(client.send(client.request(8, 0, map)));
  if (c.shared) {
    ASSERT_TRUE(attachSegment(client)) << proxy->log();
  }
  // Both heads show the window before B stops (its pixels are the proof).
  auto redAt = [&](const Bytes& image, int x) {
    size_t at = 32 + 50 * 4u * size_t(kWidth) + 4u * size_t(x) + 2;
    return image.size() > at && image[0] == 1 ? image[at] : 0;
  };
  ASSERT_TRUE(waitFor([&] {
    Bytes image = getImage(client, window, 10000, true);
    return redAt(image, 0) == 0xff && redAt(image, kWidth - 1) == 0xff;
  }, 15000)) << proxy->log();
  size_t from = proxy->log().size();
  Bytes waiting, after;
  {
    Frozen freeze(b->pid());
    // Drawing and a round trip first, as a client that reads back what it
    // drew: what B owes grows before the read.
    uint32_t gc = client.resourceIdBase() + 2;
    Bytes createGc(12);
    client.put32(createGc, 0, gc);
    client.put32(createGc, 4, window);
    ASSERT_TRUE(client.send(client.request(55, 0, createGc)));
    Bytes rectangle(8 + 8);
    client.put32(rectangle, 0, window);
    client.put32(rectangle, 4, gc);
    client.put16(rectangle, 12, 4);
    client.put16(rectangle, 14, 4);
    ASSERT_TRUE(client.send(client.request(70, 0, rectangle)));  // PolyFillRectangle, black
    waiting = getImage(client, window, 20000);
    EXPECT_TRUE(proxy->waitForLog("is offline, resuming", 5000, from)) << proxy->log();
    after = getImage(client, window, 10000);
  }
  ASSERT_GE(waiting.size(), 32u) << "no answer\n" << proxy->log();
  ASSERT_EQ(waiting[0], 1) << "error " << int(waiting[1]) << " in place of the image\n" << proxy->log();
  ASSERT_GE(after.size(), 32u) << proxy->log();
  ASSERT_EQ(after[0], 1) << proxy->log();
  // All but the sequence number.
  waiting[2] = after[2], waiting[3] = after[3];
  EXPECT_EQ(waiting.size(), after.size());
  EXPECT_TRUE(waiting == after) << "the waiting read differs from the one after the drop";
  if (c.format == 2) {
    // ZPixmap at 32 bits a pixel: A's part red (but the black square), B's
    // part zeros.
    for (int x : {5, 100, 300, 399}) {
      int metaX = c.x + x;
      EXPECT_EQ(redAt(after, x), metaX < 640 ? 0xff : 0) << "at " << metaX;
    }
  }
  EXPECT_GE(roundTrip(client, 5000), 0) << proxy->log();
  EXPECT_EQ(proxy->wait(50), -1) << "the proxy ended\n" << proxy->log();
}

INSTANTIATE_TEST_SUITE_P(Table, WaitingRead,
                         ::testing::Values(WaitingReadCase{"AcrossTheSeam", 440, 2, 0xffffffff, false},
                                           WaitingReadCase{"OnTheStoppedHeadAlone", 800, 2, 0xffffffff, false},
                                           WaitingReadCase{"SomePlanesAcrossTheSeam", 440, 1, 0x00ff00ff, false},
                                           WaitingReadCase{"IntoSharedMemoryAcrossTheSeam", 440, 2, 0xffffffff,
                                                           true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Joins under load ----------------------------------------------------------------------------

// A server joins the session through META and leaves again, over and over,
// while four programs draw core and shared-memory images on the first
// server and new clients keep connecting (some are half set up when it
// joins or leaves): every join and leave is answered, every program ends
// its run as on a plain server, no client is cut, and the proxy leaks
// nothing. Each program draws a fixed number of images: a count x11perf
// scales itself is measured while joins hold the proxy up and while its
// window may lie under the others' (a clipped put costs the server
// nothing); run once the window shows, that count took up to a minute of a
// loaded server's time.
TEST(AddServer, JoinsAndLeavesWhileProgramsDraw) {
  Xvfb a({"-screen", "0", "800x700x24"}), b({"-screen", "0", "800x700x24"});
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  TempDir reports;
  ProxyProcess proxy({"noReset", "on", "options", "+DynamicServer", "+Failsafe", "screen", a.display() + ".0",
                      "borderWidth", "0"},
                     {"ASAN_OPTIONS=detect_leaks=1:log_path=" + reports.file("asan")});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  MetaClient meta;
  ASSERT_TRUE(meta.open(proxy.number())) << proxy.log();
  // Each rep puts four images.
  const std::vector<std::string> tests[] = {
      {"-shmput500", "1000"}, {"-shmput100", "10000"}, {"-putimage500", "10"}, {"-putimage100", "100"}};
  std::vector<ProgramResult> runs(4);
  std::atomic<int> drawing{4};
  std::vector<std::thread> programs;
  for (size_t i = 0; i < runs.size(); i++) {
    programs.emplace_back([&, i] {
      runs[i] = runProgram({"x11perf", "-repeat", "1", "-reps", tests[i][1], tests[i][0]}, proxy.display(), 90000);
      drawing--;
    });
  }
  std::atomic<bool> stop{false};
  std::atomic<int> unanswered{0};
  std::thread churn([&] {
    while (!stop) {
      RawClient client;
      if (client.connectUnix(proxy.number()) && client.setup('l', "", {}, 30000) != 1) unanswered++;
    }
  });
  // The programs' windows are up (or a program is done already).
  EXPECT_TRUE(waitFor([&] { return drawing < 4 || windowsOfSize(proxy.display(), "600x600") >= 4; }, 60000, 100))
      << proxy.log();
  int joins = 0, joinsWhileDrawing = 0;
  for (; joins < 20 && (drawing > 0 || joins < 3); joins++) {
    joinsWhileDrawing += drawing > 0;
    meta.sendAddServer(b.display());
    Bytes added = meta.next(30000);
    ASSERT_TRUE(added.size() >= 36 && added[1] == 0) << "join " << joins << "\n" << proxy.log();
    Bytes joined = meta.join(meta.raw.get32(added, 32), 800, 0, 800, 700);
    ASSERT_TRUE(joined.size() >= 32 && meta.raw.get32(joined, 8) == 0) << "join " << joins << "\n" << proxy.log();
    // On purpose: B stays a moment in the session while the programs draw.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Bytes left = meta.removeServer(b.display());
    ASSERT_TRUE(left.size() >= 32 && meta.raw.get32(left, 8) == 0) << "leave " << joins << "\n" << proxy.log();
  }
  stop = true;
  churn.join();
  for (std::thread& program : programs) program.join();
  std::cout << joins << " joins, " << joinsWhileDrawing << " of them while programs drew\n";
  for (size_t i = 0; i < runs.size(); i++) {
    EXPECT_EQ(runs[i].status, 0) << tests[i][0] << ": " << runs[i].err << proxy.log();
    EXPECT_TRUE(contains(runs[i].out, "reps")) << tests[i][0] << ": " << runs[i].out;
  }
  EXPECT_EQ(unanswered, 0) << proxy.log();
  EXPECT_FALSE(contains(proxy.log(), "No complete answer")) << proxy.log();
  EXPECT_FALSE(contains(proxy.log(), "Broken connection")) << proxy.log();
  proxy.signal(SIGTERM);
  EXPECT_EQ(proxy.wait(10000), 0) << proxy.log();
  EXPECT_EQ(reports.allFiles(), "");
}

// A server that leaves (RemoveServer) while a client's answer from the
// other server waits for it to pass the same point: the answer goes out
// once it has left, though it never passed that point (it had stopped).
TEST(AddServer, ALeavingServerHoldsNoAnswerBack) {
  Xvfb a({"-screen", "0", "320x240x24"}), b({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  ProxyProcess proxy({"noReset", "on", "options", "+DynamicServer", "+Failsafe", "screen", a.display() + ".0",
                      "borderWidth", "0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  MetaClient meta;
  ASSERT_TRUE(meta.open(proxy.number())) << proxy.log();
  // B's time-out is long enough that it leaves before Failsafe drops it,
  // on a loaded machine too.
  meta.sendAddServer(b.display(), 5000);
  Bytes added = meta.next(15000);
  ASSERT_TRUE(added.size() >= 36 && added[1] == 0) << proxy.log();
  Bytes joined = meta.join(meta.raw.get32(added, 32), 320, 0, 320, 240);
  ASSERT_TRUE(joined.size() >= 32 && meta.raw.get32(joined, 8) == 0) << proxy.log();
  RawClient client;
  ASSERT_TRUE(client.connectUnix(proxy.number()) && client.setup('l') == 1) << proxy.log();
  Frozen freeze(b.pid());
  // A drawing on the root (both servers take it), then a round trip that A
  // answers: its reply waits until B has passed the drawing too.
  Bytes point(12);
  client.put32(point, 0, client.rootWindow());
  client.put32(point, 4, client.rootWindow());
  client.send(client.request(64, 0, point));  // PolyPoint with the root as GC: an error from each
  client.send(client.request(43, 0));
  ASSERT_TRUE(client.waitSentRead()) << proxy.log();
  // Time on purpose, briefly, for A's answer to reach the proxy, which holds
  // it for B: a late answer only makes the case an easy one.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Bytes left = meta.removeServer(b.display());
  EXPECT_TRUE(left.size() >= 32 && meta.raw.get32(left, 8) == 0) << proxy.log();
  Bytes error = client.readMessage(5000), reply = client.readMessage(5000);
  EXPECT_TRUE(!error.empty() && error[0] == 0) << "the drawing's error\n" << proxy.log();
  EXPECT_TRUE(!reply.empty() && reply[0] == 1) << "the round trip's reply\n" << proxy.log();
}

// The static head that holds the atoms stops for longer than its time-out
// in the middle of a large reply, while another client connects: no client
// is cut for its silence (such a head is never dropped), and each is
// answered once it runs again, as on a plain server that stopped.
TEST(StaticHead, ItsClientsWaitForItAlike) {
  Xvfb a({"-screen", "0", "2000x1000x24"}), b({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  ProxyProcess proxy({"noReset", "on", "options", "+Failsafe", "screen", a.display() + ".0", "tags", "static",
                      "failsafeTimeout", "1", "borderWidth", "0", "screen", b.display() + ".0", "failsafeTimeout",
                      "1", "borderWidth", "0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  RawClient reading;
  ASSERT_TRUE(reading.connectUnix(proxy.number()) && reading.setup('l') == 1) << proxy.log();
  // GetImage of A's whole screen: some 8 MB, read as it comes.
  Bytes body(16);
  reading.put32(body, 0, reading.rootWindow());
  reading.put16(body, 8, 2000);
  reading.put16(body, 10, 1000);
  reading.put32(body, 12, 0xffffffff);
  RawClient late;
  Bytes image;
  ASSERT_TRUE(reading.send(reading.request(73, 2, body)));
  // The reply has begun to arrive.
  pollfd begun{reading.fd(), POLLIN, 0};
  ASSERT_TRUE(waitFor([&] { return poll(&begun, 1, 0) == 1; }, 20000, 1)) << proxy.log();
  {
    Frozen freeze(a.pid());
    ASSERT_TRUE(late.connectUnix(proxy.number()));
    std::thread reader([&] { image = reading.readMessage(10000); });
    // Time on purpose: A stays stopped for three of its time-outs.
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    kill(a.pid(), SIGCONT);
    reader.join();
  }
  EXPECT_EQ(image.size(), 32u + 2000u * 1000u * 4u) << proxy.log();
  EXPECT_EQ(late.setup('l', "", {}, 10000), 1) << proxy.log();
  EXPECT_FALSE(contains(proxy.log(), "No complete answer")) << proxy.log();
  EXPECT_EQ(proxy.wait(50), -1) << "the proxy ended\n" << proxy.log();
}

// While the proxy waits its time-out on a stopped server, the others get
// no keep-alive: an idle one that then looks silent as long answers a ping
// and stays, and only the stopped one is dropped.
TEST(Failsafe, AWaitOnAStoppedServerDropsNoOther) {
  Xvfb a({"-screen", "0", "320x240x24"}), b({"-screen", "0", "320x240x24"}), c({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(a.ok() && b.ok() && c.ok()) << a.error() << b.error() << c.error();
  // Time-outs of 3 s: an idle server that answers its ping is never taken
  // for a stopped one on a loaded machine.
  ProxyProcess proxy({"noReset", "on", "options", "+Failsafe", "screen", a.display() + ".0", "tags", "static",
                      "screen", b.display() + ".0", "failsafeTimeout", "3", "screen", c.display() + ".0",
                      "failsafeTimeout", "3"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  RawClient client;
  ASSERT_TRUE(client.connectUnix(proxy.number()) && client.setup('l') == 1) << proxy.log();
  Frozen freeze(c.pid());
  sendRoundTripThroughEveryServer(client);
  EXPECT_GE(roundTrip(client, 20000), 0) << proxy.log();
  EXPECT_TRUE(proxy.waitForLog(c.display() + " is offline, resuming", 20000)) << proxy.log();
  // Time on purpose: B would be dropped within its time-out and a bit.
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));
  EXPECT_FALSE(contains(proxy.log(), b.display() + " is offline")) << proxy.log();
  EXPECT_EQ(proxy.wait(50), -1) << "the proxy ended\n" << proxy.log();
}

// --- Additions nobody answers ----------------------------------------------------------------

// While AddServer tries a name nobody answers on, another client's round
// trip is answered within the short bound a run-time connect gets.
TEST(AddServer, ADeadNameHoldsOtherClientsUpOnlyBriefly) {
  Xvfb a({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(a.ok()) << a.error();
  ProxyProcess proxy({"noReset", "on", "options", "+DynamicServer", "+Failsafe", "screen", a.display() + ".0",
                      "connectTimeout", "20"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  MetaClient meta;
  ASSERT_TRUE(meta.open(proxy.number())) << proxy.log();
  RawClient other;
  ASSERT_TRUE(other.connectUnix(proxy.number()));
  ASSERT_EQ(other.setup('l'), 1);
  ClaimedDisplay nobody(500);
  size_t from = proxy.log().size();
  meta.sendAddServer(nobody.name());
  // The proxy tries the name.
  ASSERT_TRUE(proxy.waitForLog("Connecting to display", 20000, from)) << proxy.log();
  long long waited = roundTrip(other, 15000);
  EXPECT_GE(waited, 0) << proxy.log();
  EXPECT_LT(waited, 4000) << proxy.log();
  Bytes refused = meta.next(15000);
  ASSERT_GE(refused.size(), 32u) << proxy.log();
  EXPECT_NE(refused[1], 0);
}

// --- XDMCP across a reset ---------------------------------------------------------------------

// The session's end resets the proxy; after the reset's sleep the proxy
// queries again, and one Willing gets one Request.
TEST(Xdmcp, AfterAResetOneWillingGetsOneRequest) {
  Xvfb a({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(a.ok()) << a.error();
  TestDisplayManager dm;
  ASSERT_TRUE(dm.ok());
  ProxyProcess proxy({"xdmcpMode", "query", "xdmcpHost", "127.0.0.1", "xdmcpPort", std::to_string(dm.port()),
                      "screen", a.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  // One registration up to the managed session.
  auto registerSession = [&](uint32_t session) {
    DmPacket query = dm.receive(20000);
    if (query.opcode != QUERY) return "query: opcode " + std::to_string(query.opcode);
    auto willingAt = std::chrono::steady_clock::now();
    dm.willing("");
    DmPacket request = dm.receiveSkipping(QUERY, 20000);
    if (request.opcode != REQUEST) return "request: opcode " + std::to_string(request.opcode);
    // A second Request for the same Willing would come at once; the
    // proxy's own resend of an unanswered one comes 2 s or more after the
    // first was sent (after the Willing) and is no fault, so only what
    // comes within 1.5 s of the Willing counts.
    auto until = willingAt + std::chrono::milliseconds(1500);
    for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now()) {
      DmPacket extra = dm.receive(int(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count()) + 1);
      if (!extra.opcode) break;
      if (extra.opcode == REQUEST && std::chrono::steady_clock::now() < until)
        return std::string("a second Request for one Willing");
    }
    dm.accept(session, "", "", "", "");
    DmPacket manage = dm.receiveSkipping(REQUEST, 20000);
    if (manage.opcode != MANAGE) return "manage: opcode " + std::to_string(manage.opcode);
    return std::string();
  };
  ASSERT_EQ(registerSession(7), "") << proxy.log();
  {
    RawClient session;
    ASSERT_TRUE(session.connectUnix(proxy.number()));
    ASSERT_EQ(session.setup('l'), 1) << proxy.log();
  }
  EXPECT_EQ(registerSession(8), "") << proxy.log();
}

// --- Who a managed display lets in ----------------------------------------------------------------

const std::string kManagerCookie = "0123456789abcdef";

// Query, Willing, Request, Accept with the cookie, Manage: "" when the
// display went through them.
std::string manage(TestDisplayManager& dm, const std::string& cookie) {
  DmPacket query = dm.receive(20000);
  if (query.opcode != QUERY) return "query: opcode " + std::to_string(query.opcode);
  dm.willing("");
  DmPacket request = dm.receiveSkipping(QUERY, 20000);
  if (request.opcode != REQUEST) return "request: opcode " + std::to_string(request.opcode);
  dm.accept(9, "", "", "MIT-MAGIC-COOKIE-1", cookie);
  DmPacket manage = dm.receiveSkipping(REQUEST, 20000);
  return manage.opcode == MANAGE ? "" : "manage: opcode " + std::to_string(manage.opcode);
}

// What a client meets at a display: its set-up status without a cookie,
// with the manager's, and the number of hosts that ListHosts shows the
// one that got in.
std::string admission(int number) {
  RawClient bare, holder;
  int without = bare.connectUnix(number) ? bare.setup('l') : -2;
  Bytes cookie(kManagerCookie.begin(), kManagerCookie.end());
  int with = holder.connectUnix(number) ? holder.setup('l', "MIT-MAGIC-COOKIE-1", cookie) : -2;
  int hosts = -1;
  if (with == 1 && holder.send(holder.request(110, 0))) {
    Bytes reply = holder.readMessage();
    if (reply.size() >= 32 && reply[0] == 1) hosts = holder.get16(reply, 8);
  }
  return "without " + std::to_string(without) + ", with " + std::to_string(with) + ", hosts " +
         std::to_string(hosts);
}

// Without an authorization file the manager's cookie is the only way in,
// for the local socket and TCP alike, as on a plain server.
TEST(ManagedDisplay, AdmitsOnlyTheManagersCookie) {
  std::string plain;
  {
    TestDisplayManager dm;
    ASSERT_TRUE(dm.ok());
    Xvfb xvfb({"-screen", "0", "320x240x24", "-listen", "tcp", "-port", std::to_string(dm.port()), "-query",
               "127.0.0.1"});
    ASSERT_TRUE(xvfb.ok()) << xvfb.error();
    ASSERT_EQ(manage(dm, kManagerCookie), "");
    plain = admission(xvfb.number());
  }
  EXPECT_EQ(plain, "without 0, with 1, hosts 0");
  Xvfb server({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  TestDisplayManager dm;
  ASSERT_TRUE(dm.ok());
  ProxyProcess proxy({"noReset", "on", "xdmcpMode", "query", "xdmcpHost", "127.0.0.1", "xdmcpPort",
                      std::to_string(dm.port()), "screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  ASSERT_EQ(manage(dm, kManagerCookie), "") << proxy.log();
  EXPECT_EQ(admission(proxy.number()), plain) << proxy.log();
  RawClient tcp;
  ASSERT_TRUE(tcp.connectTcp(proxy.number()));
  EXPECT_EQ(tcp.setup('l'), 0) << proxy.log();
}

// A Decline must prove that it comes from the manager that knows the
// XDM-AUTHENTICATION-1 key, as an Accept must: a forged one, with any name
// and any eight bytes, is ignored and the Request is sent again.
TEST(ManagedDisplay, IgnoresAForgedDeclineAndRequestsAgain) {
  auto forgeDeclines = [](TestDisplayManager& dm) {
    DmPacket query = dm.receive(20000);
    if (query.opcode != QUERY) return "query: opcode " + std::to_string(query.opcode);
    dm.willing("XDM-AUTHENTICATION-1");
    DmPacket request = dm.receiveSkipping(QUERY, 20000);
    if (request.opcode != REQUEST) return "request: opcode " + std::to_string(request.opcode);
    if (request.authenticationName != "XDM-AUTHENTICATION-1") return "request: " + request.authenticationName;
    dm.decline("forged", "XDM-AUTHENTICATION-1", "ABCDEFGH");
    dm.decline("forged", "XDM-AUTHORIZATION-1", "ABCDEFGH");
    dm.decline("forged", "", "");
    DmPacket again = dm.receiveSkipping(QUERY, 20000);
    return again.opcode == REQUEST ? std::string() : "after the declines: opcode " + std::to_string(again.opcode);
  };
  const std::string key = "0x0123456789abcdef";
  {
    TestDisplayManager dm;
    ASSERT_TRUE(dm.ok());
    Xvfb xvfb({"-screen", "0", "320x240x24", "-listen", "tcp", "-port", std::to_string(dm.port()), "-query",
               "127.0.0.1", "-cookie", key});
    ASSERT_TRUE(xvfb.ok()) << xvfb.error();
    EXPECT_EQ(forgeDeclines(dm), "") << "plain server";
  }
  Xvfb server({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  TestDisplayManager dm;
  ASSERT_TRUE(dm.ok());
  ProxyProcess proxy({"noReset", "on", "xdmcpMode", "query", "xdmcpHost", "127.0.0.1", "xdmcpPort",
                      std::to_string(dm.port()), "xdmcpAuthorizationCookie", key, "screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  EXPECT_EQ(forgeDeclines(dm), "") << proxy.log();
  EXPECT_EQ(proxy.wait(0), -1) << proxy.log();
}

// The manager's status texts end the proxy; they reach its log as one line
// of printable text, whatever bytes they hold.
struct StatusCase {
  const char* name;
  void (*answer)(TestDisplayManager& dm, const std::string& text);
  const char* logged;  // what the exit line says before the text
};

class ManagerStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(ManagerStatus, ReachesTheLogAsOnePrintableLine) {
  Xvfb server({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  TestDisplayManager dm;
  ASSERT_TRUE(dm.ok());
  ProxyProcess proxy({"xdmcpMode", "query", "xdmcpHost", "127.0.0.1", "xdmcpPort", std::to_string(dm.port()),
                      "screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  ASSERT_EQ(dm.receive(20000).opcode, QUERY);
  dm.willing("");
  ASSERT_EQ(dm.receiveSkipping(QUERY, 20000).opcode, REQUEST);
  GetParam().answer(dm, "gone\nXDMCP: forged line\r\x1b[2J\x07");
  EXPECT_EQ(proxy.wait(10000), 1) << proxy.log();
  std::string log = proxy.log();
  EXPECT_TRUE(contains(log, std::string(GetParam().logged) + " gone XDMCP: forged line ?[2J?")) << log;
  EXPECT_FALSE(contains(log, "\nXDMCP: forged")) << log;
  EXPECT_EQ(log.find_first_of("\r\x1b\x07"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Packets, ManagerStatus,
    ::testing::Values(
        StatusCase{"Decline", [](TestDisplayManager& dm, const std::string& text) { dm.decline(text, "", ""); },
                   "XDMCP: Session declined"},
        StatusCase{"Failed",
                   [](TestDisplayManager& dm, const std::string& text) {
                     dm.accept(3, "", "", "", "");
                     if (dm.receiveSkipping(REQUEST, 20000).opcode == MANAGE) dm.failed(3, text);
                   },
                   "XDMCP: Session failed"},
        StatusCase{"AuthenticationFailure",
                   [](TestDisplayManager& dm, const std::string& text) { dm.accept(3, text, "", "", ""); },
                   "XDMCP: Authentication Failure"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon::test
