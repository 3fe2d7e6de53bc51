// Peers that misbehave on purpose, through the real proxy process: a client
// that sends but never reads, a server that cannot be reached at start-up,
// and clients that fire garbage at every request area. None of them may
// hang the proxy, crash it, or leave it unable to serve the next client.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <fstream>
#include <string>
#include <thread>

#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "support/linkrig.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

using test::Bytes;
using test::ClaimedDisplay;
using test::ProxyProcess;
using test::RawClient;
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

  // Let the server work through whatever reached it.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
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

}  // namespace
}  // namespace palvon
