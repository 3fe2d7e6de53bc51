// Peers that misbehave on purpose, through the real proxy process: a client
// that sends but never reads, a server that cannot be reached at start-up
// or accepts and never answers, clients that fire garbage at every request
// area or refused set-ups as fast as they can. None of them may hang the
// proxy, crash it, fill its disk, learn its cookies or leave it unable to
// serve the next client.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/servers/display.h"
#include "base/hostclock.h"
#include "support/linkrig.h"
#include "support/netns.h"
#include "support/peers/tcprelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/tempdir.h"
#include "support/waitfor.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

using test::Bytes;
using test::ClaimedDisplay;
using test::ProxyProcess;
using test::RawClient;
using test::TempDir;
using test::testControl;
using test::Xvfb;
using test::ProgramResult;
using test::runProgram;

// Resident memory of a process in KiB; -1 when unreadable.
long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// The CPU time a process has used, in clock ticks; -1 when unreadable.
long cpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The fields after the command's name, which may hold spaces: state
  // first, user and system time 11th and 12th.
  size_t end = text.rfind(')');
  if (end == std::string::npos) return -1;
  std::istringstream fields(text.substr(end + 2));
  std::string field;
  long user = -1, system = -1;
  for (int i = 0; i < 13 && fields >> field; i++) {
    if (i == 11) user = std::stol(field);
    if (i == 12) system = std::stol(field);
  }
  return user < 0 || system < 0 ? -1 : user + system;
}

// A GetImage of the whole 256x256 root: 256 KiB of reply each.
Bytes getImage(const RawClient& client) {
  Bytes body(16, 0);
  client.put32(body, 0, client.rootWindow());
  client.put16(body, 8, 256);
  client.put16(body, 10, 256);
  client.put32(body, 12, 0xffffffff);
  return client.request(73, 2, body);
}

// A plain server stops reading a client whose replies pile up; the proxy
// must too, or the real server's memory takes every reply the client never
// reads. Another client is served meanwhile.
TEST(NeverReadingClient, LeavesOnlyABoundedBacklogAtTheServer) {
  Xvfb server({"-screen", "0", "256x256x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  ProxyProcess proxy({"noReset", "on", "screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  RawClient greedy;
  ASSERT_TRUE(greedy.connectUnix(proxy.number()));
  ASSERT_EQ(greedy.setup(), 1);
  long before = residentKiB(server.pid());
  ASSERT_GT(before, 0);
  // 1,200 replies of 256 KiB: 300 MiB if they all went to the server.
  Bytes burst;
  Bytes one = getImage(greedy);
  for (int i = 0; i < 1200; i++) burst.insert(burst.end(), one.begin(), one.end());
  ASSERT_TRUE(greedy.send(burst));

  RawClient polite;
  ASSERT_TRUE(polite.connectUnix(proxy.number()));
  ASSERT_EQ(polite.setup(), 1);
  ASSERT_TRUE(polite.send(polite.request(43, 0)));  // GetInputFocus
  Bytes answer = polite.readMessage(5000);
  ASSERT_EQ(answer.size(), 32u);
  EXPECT_EQ(answer[0], 1);

  // The server has worked through whatever reached it once it idles: no
  // CPU time used over a pause. (A server held off the processor for that
  // long on a loaded machine is measured early: a growth can be missed
  // then, never made up.)
  long used = cpuTicks(server.pid());
  EXPECT_TRUE(test::waitFor(
      [&] {
        long now = cpuTicks(server.pid());
        return std::exchange(used, now) == now;
      },
      30000, 300));
  long grown = residentKiB(server.pid()) - before;
  EXPECT_LT(grown, 80 * 1024) << "the server holds " << grown / 1024 << " MiB for a client that never reads";
  ASSERT_TRUE(polite.send(polite.request(43, 0)));
  EXPECT_EQ(polite.readMessage(5000).size(), 32u);
}

// A failed start-up ends with status 1 and a text that names the display
// and the whole time the proxy waited for it.
TEST(StartupFailure, ExitsWithStatusOneNamingTheDisplay) {
  ClaimedDisplay absent(400);
  ASSERT_TRUE(absent.ok());
  std::string name = "localhost" + absent.name();
  ProxyProcess proxy({"screen", name + ".0", "connectTimeout", "2"});
  ASSERT_FALSE(proxy.ok());
  EXPECT_EQ(proxy.wait(10000), 1);
  std::string expected = "Can't connect to display '" + name + "' for 2 seconds";
  EXPECT_NE(proxy.log().find(expected), std::string::npos) << proxy.log();
}


// A request the proxy writes on a client's link before the client's first
// request reads as sequence 0: its error is the proxy's and never reaches
// the client. The same request once the client has sent one is the
// client's, and its error comes back with the client's sequence.
TEST(ProxyRequestError, NeverReachesAClientThatDidNotSendIt) {
  Xvfb server({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  for (bool bigEndian : {false, true}) {
    test::LinkRig rig;
    ServerLink* link = rig.open(server, bigEndian);
    ASSERT_NE(link, nullptr);
    // ChangeWindowAttributes(event mask) on a window no client made.
    std::vector<u8> change = test::makeRequest(2, 0, std::vector<u8>(12, 0));
    test::put32At(change, 4, 0x1fffff0);
    test::put32At(change, 8, 0x800);
    test::put32At(change, 12, 0x1);
    rig.forward(link, change, "bbsiiI");
    ASSERT_TRUE(rig.sync());
    EXPECT_TRUE(rig.take().empty());
    rig.nextRequest();
    rig.forward(link, change, "bbsiiI");
    noteRequestWithoutReply(change.data());
    ASSERT_TRUE(rig.sync());
    std::vector<test::Message> got = rig.take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][0], 0);
    EXPECT_EQ(got[0][1], 3);  // BadWindow
    EXPECT_EQ(test::get16At(got[0], 2), 1);
  }
}


// Requests of random opcodes, lengths and bytes from clients of both byte
// orders, the control extension's included, then a fresh client: it is
// served as before. Requests that end the proxy, lock clients out or kill
// other clients by design are left out.
TEST(FuzzedClients, LeaveTheProxyServingTheNextClient) {
  Xvfb server({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  ProxyProcess proxy({"noReset", "on", "options", "DynamicServer", "screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  ProgramResult before = runProgram({"xdpyinfo"}, proxy.display());
  ASSERT_EQ(before.status, 0) << before.err;
  for (uint32_t seed = 1; seed <= 8; seed++) {
    std::mt19937 random(seed);
    RawClient client;
    ASSERT_TRUE(client.connectUnix(proxy.number()));
    ASSERT_EQ(client.setup(seed % 2 ? 'l' : 'B'), 1);
    uint8_t meta = client.queryExtension("MORVANDELL META").major;
    Bytes burst;
    for (int i = 0; i < 400; i++) {
      uint8_t major = uint8_t(random() % 128);
      if (meta && random() % 4 == 0) major = meta;
      if (major == 36 || major == 109 || major == 111 || major == 113) continue;
      uint8_t minor = uint8_t(random() % 24);
      if (major == meta && minor == 10) continue;  // MetaTerminateProxy
      Bytes body(4 * (random() % 12));
      for (uint8_t& b : body) b = uint8_t(random());
      // Ids of the client's own range now and then, so that handlers go past
      // their first check.
      if (body.size() >= 4 && random() % 2) client.put32(body, 0, client.resourceIdBase() | (random() % 64));
      Bytes request = client.request(major, minor, body);
      // A length field that lies, now and then.
      if (random() % 8 == 0) client.put16(request, 2, uint16_t(random() % 16));
      burst.insert(burst.end(), request.begin(), request.end());
    }
    client.send(burst);
    // Whatever came back is read until the proxy goes quiet or closes.
    while (!client.readMessage(300).empty()) {
    }
  }
  ProgramResult info = runProgram({"xdpyinfo"}, proxy.display());
  EXPECT_EQ(info.status, 0) << info.err << proxy.log();
  EXPECT_EQ(info.out, before.out);
  ProgramResult root = runProgram({"xprop", "-root"}, proxy.display());
  EXPECT_EQ(root.status, 0) << root.err;
  EXPECT_EQ(root.err, "");
}

// --- Who may connect -------------------------------------------------------------------------------

// Connections that never send their set-up hold a bounded number of client
// slots, so that a real client still gets in, and each is closed once the
// set-up time-out (shortened here through the test control) has run out.
TEST(IdleConnections, HoldFewSlotsAndAreClosedAfterTheSetupTimeOut) {
  constexpr size_t kIdle = 1100;
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < kIdle + 200) {
    files.rlim_cur = kIdle + 200;
    if (files.rlim_max < files.rlim_cur || setrlimit(RLIMIT_NOFILE, &files) != 0)
      GTEST_SKIP() << "cannot open " << kIdle << " connections";
  }
  Xvfb server({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  TempDir dir;
  std::string control = dir.file("control");
  ProxyProcess proxy({"noReset", "on", "screen", server.display() + ".0"}, {"PALVON_TEST_CONTROL=" + control});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  ASSERT_EQ(testControl(control, "setuptimeout 5000"), "ok");
  std::vector<std::unique_ptr<RawClient>> idle;
  for (size_t i = 0; i < kIdle; i++) {
    idle.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(idle.back()->connectUnix(proxy.number())) << i;
  }
  RawClient real;
  ASSERT_TRUE(real.connectUnix(proxy.number()));
  ASSERT_EQ(real.setup('l'), 1) << proxy.log();
  auto countClosed = [&] {
    size_t closed = 0;
    uint8_t byte;
    for (auto& c : idle) closed += recv(c->fd(), &byte, 1, MSG_DONTWAIT) == 0;
    return closed;
  };
  EXPECT_GE(countClosed(), kIdle - 128);
  EXPECT_LT(countClosed(), kIdle) << "closed before the time-out";
  // The rest go once their time is up.
  test::waitFor([&] { return countClosed() == kIdle; }, 20000, 200);
  EXPECT_EQ(countClosed(), kIdle);
  ASSERT_TRUE(real.send(real.request(43, 0)));
  Bytes reply = real.readMessage(5000);
  ASSERT_EQ(reply.size(), 32u) << proxy.log();
  EXPECT_EQ(reply[0], 1);
}

const std::string kCookieHex = "0123456789abcdef0123456789abcdef";

Bytes cookieBytes() {
  Bytes bytes;
  for (size_t i = 0; i < kCookieHex.size(); i += 2)
    bytes.push_back(uint8_t(std::stoi(kCookieHex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// A connection set-up (least significant byte first) with the cookie.
Bytes setupWithCookie() {
  const std::string name = "MIT-MAGIC-COOKIE-1";
  Bytes data = cookieBytes();
  Bytes bytes{'l', 0, 11, 0, 0, 0, uint8_t(name.size()), 0, uint8_t(data.size()), 0, 0, 0};
  bytes.insert(bytes.end(), name.begin(), name.end());
  bytes.resize((bytes.size() + 3) & ~size_t(3));
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

// ChangeHosts Insert of one address.
Bytes changeHosts(uint8_t family, const std::string& address) {
  Bytes bytes{109, 0, 0, 0, family, 0, uint8_t(address.size()), uint8_t(address.size() >> 8)};
  bytes.insert(bytes.end(), address.begin(), address.end());
  bytes.resize((bytes.size() + 3) & ~size_t(3));
  bytes[2] = uint8_t(bytes.size() / 4);
  return bytes;
}

// A TCP connection to the display from 127.0.0.2 (or another host): a
// loopback address that is none of the machine's own, so the peer is no
// local host.
int connectFromOtherHost(int number, const char* host = "127.0.0.2") {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  from.sin_addr.s_addr = inet_addr(host);
  to.sin_addr.s_addr = inet_addr("127.0.0.1");
  to.sin_port = htons(uint16_t(6000 + number));
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// The inode of a listed TCP end whose remote port is `port` (any port: 0)
// and whose inode is `inode` (any: 0); 0 when none is listed. An end that
// is still in its listener's queue has no inode yet; one that met a reset
// is no longer listed.
unsigned long listedTcpEnd(uint16_t port, unsigned long inode) {
  char ports[16];
  snprintf(ports, sizeof ports, ":%04X", port);
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, skip;
      unsigned long listed = 0;
      fields >> slot >> local >> remote;
      for (int i = 0; i < 6; i++) fields >> skip;
      fields >> listed;
      bool portMatches = !port || (remote.size() > 5 && remote.compare(remote.size() - 5, 5, ports) == 0);
      if (listed && portMatches && (!inode || listed == inode)) return listed;
    }
  }
  return 0;
}

// The inode of the display's end of the TCP connection whose other end is
// `fd`, once the display has accepted it; 0 before.
unsigned long acceptedEnd(int fd) {
  sockaddr_in self{};
  socklen_t length = sizeof self;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length) != 0) return 0;
  return listedTcpEnd(ntohs(self.sin_port), 0);
}

// Whether the process still holds the socket of that inode.
bool holdsSocket(pid_t pid, unsigned long inode) {
  std::string wanted = "socket:[" + std::to_string(inode) + "]";
  std::error_code error;
  for (std::filesystem::directory_iterator at("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && at != end; at.increment(error)) {
    std::error_code unread;
    if (std::filesystem::read_symlink(at->path(), unread).string() == wanted) return true;
  }
  return false;
}

// The set-up answer of a display and the message after it (or what came
// before the display closed or the deadline passed).
Bytes setupAnswerAndNext(int fd, int timeoutMs = 20000) {
  Bytes got;
  auto complete = [&] {
    return got.size() >= 8 && got.size() >= 8 + 4 * size_t(got[6] | got[7] << 8) + (got[0] == 1 ? 32 : 0);
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t buffer[4096];
  while (!complete()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, int(left.count())) != 1) break;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

// What the display answered a peer: its bytes until it went quiet.
Bytes answerTo(int fd, int quietMs) {
  Bytes got;
  uint8_t buffer[4096];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, quietMs) == 1) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

// The error code that follows a successful set-up reply; 0 when none came.
int errorAfterSetup(const Bytes& got) {
  if (got.size() < 8 || got[0] != 1) return -1;
  size_t end = 8 + 4 * size_t(got[6] | got[7] << 8);
  return got.size() >= end + 32 && got[end] == 0 ? got[end + 1] : 0;
}

// How a display treats host access: a peer of another host that holds the
// cookie may not change the host list; nor may one that resets its
// connection right behind its requests, so that its address can no longer
// be read when they run (the display is stopped meanwhile); a local client
// gets BadValue for net names that no secure-RPC name looks like. The
// answer: the error codes and whether 127.0.0.3 was let in.
std::string hostAccessAnswers(pid_t pid, int number) {
  std::string answers;
  Bytes bytes = setupWithCookie();
  Bytes insert = changeHosts(0, std::string("\x7f\x00\x00\x03", 4));
  bytes.insert(bytes.end(), insert.begin(), insert.end());
  // GetInputFocus: an answer follows the change's error or its success.
  bytes.insert(bytes.end(), {43, 0, 1, 0});
  int fd = connectFromOtherHost(number);
  if (fd < 0) return "no TCP connection";
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  answers += "remote " + std::to_string(errorAfterSetup(setupAnswerAndNext(fd)));
  close(fd);
  fd = connectFromOtherHost(number);
  if (fd < 0) return "no TCP connection";
  unsigned long end = 0;
  if (!test::waitFor([&] { return (end = acceptedEnd(fd)) != 0; }, 20000)) return "not accepted";
  kill(pid, SIGSTOP);
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  linger reset{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(fd);
  // The reset has reached the display's end: no longer listed.
  if (!test::waitFor([&] { return !listedTcpEnd(0, end); }, 20000)) return "the reset did not arrive";
  kill(pid, SIGCONT);
  // The display has read what it could of the reset connection, and run
  // or refused its requests, once it has closed its end.
  if (!test::waitFor([&] { return !holdsSocket(pid, end); }, 20000)) return "the reset connection is kept";
  RawClient local;
  if (!local.connectUnix(number) || local.setup('l', "MIT-MAGIC-COOKIE-1", cookieBytes()) != 1)
    return "no local client";
  for (const std::string& name : {std::string(), std::string("unix 0@x"), std::string("\x1b[2J@")}) {
    local.send(changeHosts(254, name));
    local.send(local.request(43, 0));
    Bytes first = local.readMessage();
    if (!first.empty() && first[0] == 0) local.readMessage();
    answers += ", netname " + (first.empty() ? "none" : first[0] == 0 ? std::to_string(first[1]) + "/" +
                                                                         std::to_string(local.get32(first, 4))
                                                                     : "ok");
  }
  local.send(local.request(110, 0));
  Bytes hosts = local.readMessage();
  bool added = false;
  for (size_t at = 32; hosts.size() >= 32 && at + 8 <= hosts.size(); at += 4 + ((local.get16(hosts, at + 2) + 3) & ~3))
    added = added || (hosts[at] == 0 && Bytes(hosts.begin() + at + 4, hosts.begin() + at + 8) == Bytes{127, 0, 0, 3});
  return answers + (added ? ", 127.0.0.3 let in" : "");
}

TEST(HostAccess, NeitherARemoteNorAnUnreadablePeerChangesTheHostList) {
  TempDir dir;
  std::string cookie = dir.file("cookie");
  ASSERT_EQ(system(("xauth -q -f " + cookie + " add :0 . " + kCookieHex).c_str()), 0);
  std::string plain;
  {
    Xvfb xvfb({"-screen", "0", "320x240x24", "-listen", "tcp", "-auth", cookie});
    ASSERT_TRUE(xvfb.ok()) << xvfb.error();
    plain = hostAccessAnswers(xvfb.pid(), xvfb.number());
  }
  EXPECT_EQ(plain, "remote 10, netname 2/254, netname 2/254, netname 2/254");
  Xvfb server({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  ProxyProcess proxy({"noReset", "on", "authorization", cookie, "screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  EXPECT_EQ(hostAccessAnswers(proxy.pid(), proxy.number()), plain) << proxy.log();
}

// --- Run-time servers, refused set-ups and the owner's files --------------------------------------

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The longest round trip of `other` while `fd` waits for its answer, and
// when the answer came (seconds).
std::pair<double, double> heldWhileAwaiting(RawClient& other, int fd) {
  double worst = 0;
  pollfd answered{fd, POLLIN, 0};
  auto start = Clock::now();
  while (poll(&answered, 1, 50) == 0 && secondsSince(start) < 30) {
    auto asked = Clock::now();
    other.send(other.request(43, 0));
    if (other.readMessage(30000).size() != 32) return {1e9, 1e9};
    worst = std::max(worst, secondsSince(asked));
  }
  return {worst, secondsSince(start)};
}

// What waits for a host name's look-up holds no other client up beyond the
// bound the README gives it; the name server is the test's own, inside a
// network of its own (nothing leaves the machine), and never answers. A TCP
// client whose host only a "hostname" entry may let in waits beside the
// loop: refused when the look-up gives up, let in when the name resolves
// to its address. A new client's links to a server named by a host go
// where the proxy's own connection went, whatever the name resolves to
// now; look-ups of clients that left do not keep it from others. An
// AddServer of a name only that name server could answer is refused
// within the 2 s of a run-time addition.
TEST(NameLookUps, HoldNoOtherClientBeyondTheirBound) {
  test::PrivateNetwork network;
  if (!network.ok()) GTEST_SKIP() << "no private network: " << network.error();
  const std::string hosts = "127.0.0.2 near.test\n127.0.0.1 " + std::string(hostName());
  test::StalledResolver resolver(hosts + "\n" + test::PrivateNetwork::kPrivateAddress + " server.test", 4);
  if (!resolver.ok()) GTEST_SKIP() << "no name server of the test's own: " << resolver.error();
  Xvfb server({"-screen", "0", "320x240x24", "-listen", "tcp"});
  ASSERT_TRUE(server.ok()) << server.error();
  ProxyProcess proxy({"noReset", "on", "options", "DynamicServer", "screen",
                      "server.test:" + std::to_string(server.number()) + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  RawClient local, fresh, control;
  ASSERT_TRUE(local.connectUnix(proxy.number()) && local.setup('l') == 1);
  ASSERT_TRUE(control.connectUnix(proxy.number()) && control.setup('l') == 1);
  uint8_t meta = control.queryExtension("MORVANDELL META").major;
  const Bytes bare{'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<int> peers;
  auto peerOf = [&](const std::string& name) {
    local.send(changeHosts(5, std::string("hostname") + '\0' + name));
    local.send(local.request(43, 0));
    local.readMessage();
    int fd = connectFromOtherHost(proxy.number());
    send(fd, bare.data(), bare.size(), MSG_NOSIGNAL);
    peers.push_back(fd);
    return fd;
  };
  struct Row {
    const char* what;
    std::function<int()> ask;  // the descriptor whose answer is awaited
    double held;               // the longest another client may wait
    double within;             // the latest the answer may come (0: any time)
    int first, second;         // the answer's first bytes (second -1: any)
  };
  const Row rows[] = {
      {"far.test.", [&] { return peerOf("far.test."); }, 2.0, 0, 0, -1},
      {"near.test", [&] { return peerOf("near.test"); }, 2.0, 0, 1, -1},
      {"near.test behind 128 that left", [&] {
         // Of another host, each waits for the silent name server, and
         // leaves at once.
         for (int i = 0; i < 128; i++) {
           int fd = connectFromOtherHost(proxy.number(), "127.0.0.3");
           send(fd, bare.data(), bare.size(), MSG_NOSIGNAL);
           close(fd);
         }
         return peerOf("near.test");
       }, 2.0, 0, 1, -1},
      {"links", [&] {
         // Only the silent name server could answer for server.test now.
         resolver.setHosts(hosts);
         return fresh.connectUnix(proxy.number()) && fresh.send(bare) ? fresh.fd() : -1;
       }, 2.0, 0, 1, 0},
      {"AddServer", [&] {
         Bytes addServer(8, 0);
         for (char c : std::string("far.test:1")) addServer.push_back(uint8_t(c));
         addServer.resize((addServer.size() + 4) & ~size_t(3), 0);
         control.send(control.request(meta, 4, addServer));
         return control.fd();
       }, 3.0, 3.5, 1, 1},
  };
  for (const Row& row : rows) {
    int fd = row.ask();
    ASSERT_GE(fd, 0) << row.what;
    auto [worst, took] = heldWhileAwaiting(local, fd);
    Bytes answer = answerTo(fd, 300);
    EXPECT_LT(worst, row.held) << row.what << proxy.log();
    EXPECT_LT(took, row.within ? row.within : 30) << row.what;
    ASSERT_GE(answer.size(), 2u) << row.what << proxy.log();
    EXPECT_EQ(answer[0], row.first) << row.what << proxy.log();
    EXPECT_TRUE(row.second < 0 || answer[1] == row.second) << row.what << proxy.log();
  }
  for (int fd : peers) close(fd);
}

// AddServer toward a peer that accepts and never answers, or answers the
// set-up and some of the proxy's first requests and then stalls: the other
// clients' round trips are answered throughout, the request is refused
// within the connect's bound (twice: the first attempt left nothing held)
// and the proxy goes on, and the silent peer is offered only a cookie
// written for its own address and number, never the owner's wildcard
// cookies (one of which the configured server needs) nor the proxy's own
// client cookie. A peer that answers every request, only late, is no
// stalled one: it is admitted, however long its opening takes within the
// connect time-out (20 s), and refused only at that time-out when its
// answers come too slowly for it; the other clients wait meanwhile.
struct StalledPeer {
  const char* name;
  test::TcpRelay::Mode mode;
  int answers;  // messages the peer passes after its set-up reply (on time)
  int lateMs;   // then each held back this long (0: stalls)
  bool admitted;
  double after, within;  // seconds the answer comes after and within
};

class RunTimeServers : public ::testing::TestWithParam<StalledPeer> {};

TEST_P(RunTimeServers, AStalledPeerHoldsNobodyUpAndGetsOnlyItsOwnCookie) {
  const StalledPeer& row = GetParam();
  const bool silent = row.mode == test::TcpRelay::Mode::kSilence;
  TempDir dir;
  std::string servers = dir.file("servers"), clients = dir.file("clients"), its = "ThePeersOwnCook";
  const std::string owners = "WildcardCookie1", wild = "WildcardCookie2", mit = "MIT-MAGIC-COOKIE-1";
  // The server takes the owner's cookie, the one behind the peer its own.
  test::writeAuthorityFile(dir.file("server"), {{0xffff, "", "", mit, owners}});
  test::writeAuthorityFile(dir.file("behind"), {{0xffff, "", "", mit, its}});
  Xvfb server({"-screen", "0", "320x240x24", "-auth", dir.file("server")});
  Xvfb behind({"-screen", "0", "320x240x24", "-auth", dir.file("behind")});
  ASSERT_TRUE(server.ok() && behind.ok()) << server.error() << behind.error();
  test::TcpRelay peer(behind.socketPath());
  ASSERT_TRUE(peer.ok() && peer.setMode(row.mode, row.answers, row.lateMs));
  // The host as the proxy names the peer ("localhost" for 127.0.0.1).
  const std::string name = peer.display(), canonical = canonicalDisplayName(name.c_str());
  const std::string host = canonical.substr(0, canonical.find(':'));
  const std::string n = std::to_string(peer.number()), x = std::to_string(server.number());
  const std::string own = "TheProxysClients";
  test::writeAuthorityFile(servers, {{0xffff, "", x, mit, owners}, {0xffff, "", n, mit, wild}});
  test::writeAuthorityFile(clients, {{256, hostName(), "", mit, own}});
  ProxyProcess proxy({"noReset", "on", "options", "DynamicServer", "serverAuthorization", servers, "authorization",
                      clients, "screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  RawClient control, other;
  const Bytes cookie(own.begin(), own.end());
  ASSERT_TRUE(control.connectUnix(proxy.number()) && other.connectUnix(proxy.number()));
  ASSERT_TRUE(control.setup('l', mit, cookie) == 1 && other.setup('l', mit, cookie) == 1);
  uint8_t meta = control.queryExtension("MORVANDELL META").major;
  Bytes addServer(8, 0);
  addServer.insert(addServer.end(), name.begin(), name.end());
  addServer.resize((addServer.size() + 4) & ~size_t(3), 0);
  // The peer that answers needs the cookie of its own name from the start:
  // the server behind it refuses a set-up without one. A late one is asked
  // once.
  for (int attempt = 0; attempt < (row.lateMs ? 1 : 2); attempt++) {
    bool itsOwnToo = attempt > 0 || !silent;
    if (itsOwnToo)
      test::writeAuthorityFile(servers,
                               {{0xffff, "", x, mit, owners}, {0xffff, "", n, mit, wild}, {256, host, n, mit, its}});
    auto start = Clock::now();
    control.send(control.request(meta, 4, addServer));
    Bytes reply;
    double worst = 0;
    while (reply.empty() && secondsSince(start) < 30) {
      auto asked = Clock::now();
      other.send(other.request(43, 0));
      ASSERT_EQ(other.readMessage(30000).size(), 32u) << proxy.log();
      worst = std::max(worst, secondsSince(asked));
      reply = control.readMessage(20);
    }
    EXPECT_GE(secondsSince(start), row.after) << proxy.log();
    EXPECT_LT(secondsSince(start), row.within);
    EXPECT_LT(worst, row.within);
    ASSERT_GE(reply.size(), 32u) << proxy.log();
    EXPECT_EQ(reply[1] == 0, row.admitted) << proxy.log();
  }
  if (!silent) return;
  std::string sent = peer.silencedBytes();
  EXPECT_NE(sent.find(its), std::string::npos) << "a cookie for the peer's own name still goes there";
  for (const std::string& secret : {owners, wild, own}) EXPECT_EQ(sent.find(secret), std::string::npos) << secret;
}

INSTANTIATE_TEST_SUITE_P(Peers, RunTimeServers,
                         // Fourteen answers take the proxy past the X library's own
                         // questions into its first ones, forty into the checks
                         // of a server added while clients run.
                         // Sixty milliseconds late take the opening past two
                         // seconds, half a second per answer after the X
                         // library's past twenty.
                         ::testing::Values(StalledPeer{"Silent", test::TcpRelay::Mode::kSilence, 0, 0, false, 0, 4},
                                           StalledPeer{"StallsInItsFirstQueries", test::TcpRelay::Mode::kStallAfterSetup, 14, 0, false, 0, 4},
                                           StalledPeer{"StallsInTheChecks", test::TcpRelay::Mode::kStallAfterSetup, 40, 0, false, 0, 4},
                                           StalledPeer{"AnswersEachRequestLate", test::TcpRelay::Mode::kLate, 0, 60, true, 2, 20},
                                           StalledPeer{"AnswersTooSlowly", test::TcpRelay::Mode::kLate, 14, 500, false, 19, 25}),
                         [](const auto& info) { return std::string(info.param.name); });

// Refused set-ups with the longest protocol name there is, as fast as one
// process sends them over TCP and the local socket: the log takes a few
// lines a second and a count, where a plain server writes nothing at all,
// and the next client with the cookie is served.
TEST(RefusedSetups, GrowTheLogByAFewLinesASecond) {
  TempDir dir;
  std::string cookie = dir.file("cookie");
  ASSERT_EQ(system(("xauth -q -f " + cookie + " add :0 . " + kCookieHex).c_str()), 0);
  Xvfb server({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  ProxyProcess proxy({"noReset", "on", "authorization", cookie, "screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  Bytes setup{'l', 0, 11, 0, 0, 0, 0xfc, 0xff, 0, 0, 0, 0};
  setup.resize(setup.size() + 0xfffc, 'N');
  size_t before = proxy.log().size();
  std::atomic<int> refused{0};
  auto flood = [&](bool tcp) {
    for (auto start = Clock::now(); secondsSince(start) < 3;) {
      RawClient client;
      if ((tcp ? client.connectTcp(proxy.number()) : client.connectUnix(proxy.number())) && client.send(setup) &&
          client.waitClosed(5000))
        refused++;
    }
  };
  std::thread overTcp(flood, true), overUnix(flood, false);
  overTcp.join();
  overUnix.join();
  EXPECT_GT(refused, 100);
  std::string log = proxy.log();
  EXPECT_LT(log.size() - before, 64u * 1024) << refused;
  EXPECT_NE(log.find("more connections refused (not logged one by one)", before), std::string::npos);
  RawClient next;
  ASSERT_TRUE(next.connectUnix(proxy.number()));
  EXPECT_EQ(next.setup('l', "MIT-MAGIC-COOKIE-1", cookieBytes()), 1);
}

// What the proxy keeps on disk is its owner's alone whatever the umask: the
// log (it holds the command line, keys included) and the test control
// socket. A link planted where the log goes is not followed.
TEST(OwnerFiles, TheLogAndTheControlSocketAreTheOwnersAlone) {
  Xvfb server({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  TempDir dir;
  std::string victim = dir.file("victim"), planted = dir.file("planted.log"), control = dir.file("control");
  test::writeFile(victim, "keep");
  ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
  mode_t umaskBefore = umask(0);
  EXPECT_TRUE(ProxyProcess({"logDestination", planted, "screen", server.display() + ".0"}, {}, 30000, false).ok());
  ProxyProcess proxy({"noReset", "on", "screen", server.display() + ".0"}, {"PALVON_TEST_CONTROL=" + control});
  umask(umaskBefore);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  EXPECT_EQ(test::readFile(victim), "keep");
  struct stat log{}, socket{};
  ASSERT_EQ(stat(proxy.dir().file("proxy.log").c_str(), &log), 0);
  ASSERT_EQ(stat(control.c_str(), &socket), 0);
  EXPECT_EQ(log.st_mode & 0777, 0600u);
  EXPECT_EQ(socket.st_mode & 0777, 0600u);
  EXPECT_EQ(testControl(control, "setuptimeout 60000"), "ok");
}

}  // namespace
}  // namespace palvon
