// A client's links to servers reached over TCP: the proxy connects to all
// of them at once, so that a server slow to take the connect does not hold
// the connects to the others back, and a server that refuses the connect,
// never takes it or never answers the set-up ends the client as it always
// did. The first of three heads is reached over its Unix socket; the
// second sits behind a relay on the loopback that controls its connects;
// the third behind one that only records when connections arrive.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "support/peers/tcprelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

using Clock = std::chrono::steady_clock;

// The first head's offline time-out: long enough for a held connect's
// next try (one second after the first), short enough for a quick test.
constexpr const char* kOfflineWord = "2.500";
constexpr int kAnswerMs = 10000;

struct ConnectCase {
  const char* name;
  TcpRelay::Mode first;  // how the first head's relay meets the client's connect
  bool release;          // a held connect is let in once the second head's has arrived
  int answer;            // 1: served (and a round trip works), 0: refused, -1: closed unanswered
  const char* logged;    // a line the proxy logs, the first head's name for %s ("": none)
};

const ConnectCase kCases[] = {
    {"SlowConnect", TcpRelay::Mode::kHold, true, 1, ""},
    {"RefusedConnect", TcpRelay::Mode::kRefuse, false, 0, "Can't connect to X server %s: Connection refused"},
    // Given up after the server's offline time-out.
    {"UnansweredConnect", TcpRelay::Mode::kHold, false, 0, "Can't connect to X server %s: Connection timed out"},
    {"SilentSetup", TcpRelay::Mode::kSilence, false, -1, "No complete answer from %s for 2500 ms (client 1)"},
};

class LinkConnect : public ::testing::TestWithParam<ConnectCase> {
 protected:
  static void SetUpTestSuite() {
    for (auto*& server : servers) server = new Xvfb({"-screen", "0", "320x240x24"});
  }
  static void TearDownTestSuite() {
    for (auto*& server : servers) {
      delete server;
      server = nullptr;
    }
  }
  static Xvfb* servers[3];
};
Xvfb* LinkConnect::servers[3] = {};

// Waits until the relay has accepted `count` connections.
bool waitArrivals(const TcpRelay& relay, size_t count, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (relay.arrivals().size() < count) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TEST_P(LinkConnect, ConnectsToEveryServerAtOnce) {
  const ConnectCase& c = GetParam();
  for (Xvfb* server : servers) ASSERT_TRUE(server && server->ok());
  TcpRelay slow(servers[0]->socketPath()), watched(servers[1]->socketPath());
  ASSERT_TRUE(slow.ok() && watched.ok());
  // The server over the Unix socket comes first: the proxy's atom server,
  // which it cannot do without, is never the one held.
  ProxyProcess proxy({"noReset", "on", "options", "Failsafe", "screen", servers[2]->display() + ".0", "screen",
                      slow.display() + ".0", "failsafeTimeout", kOfflineWord, "screen", watched.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  // The proxy's own connections came first.
  ASSERT_EQ(slow.arrivals().size(), 1u);
  ASSERT_EQ(watched.arrivals().size(), 1u);
  ASSERT_TRUE(slow.setMode(c.first));

  RawClient client;
  ASSERT_TRUE(client.connectUnix(proxy.number()));
  auto answer = std::async(std::launch::async, [&] { return client.setup('l', "", {}, kAnswerMs); });
  // The second head's connect arrives while the first one's is still held.
  bool secondWhileHeld = waitArrivals(watched, 2, 2000);
  if (c.first == TcpRelay::Mode::kHold) {
    EXPECT_TRUE(secondWhileHeld) << "the second server's connect waited for the first one's\n" << proxy.log();
    EXPECT_EQ(slow.arrivals().size(), 1u);
    if (c.release) slow.release();
  }
  int status = answer.get();
  ASSERT_EQ(status, c.answer) << proxy.log();
  if (status == 1) {
    client.send(client.request(43, 0));  // GetInputFocus: a round trip over every head
    Bytes reply = client.readMessage(kAnswerMs);
    ASSERT_EQ(reply.size(), 32u) << proxy.log();
    EXPECT_EQ(reply[0], 1);
    ASSERT_EQ(slow.arrivals().size(), 2u);
    EXPECT_GT(slow.arrivals()[1], watched.arrivals()[1]);
  } else if (status == 0) {
    const Bytes& refusal = client.setupReply();
    EXPECT_EQ(std::string(refusal.begin() + 8, refusal.begin() + 8 + refusal[1]), "Maximum number of clients reached");
  } else {
    EXPECT_TRUE(client.waitClosed(kAnswerMs)) << proxy.log();
  }
  if (c.logged[0]) {
    std::string line = c.logged;
    line.replace(line.find("%s"), 2, slow.display());
    EXPECT_TRUE(proxy.waitForLog(line, 5000)) << proxy.log();
  }
  // Whatever became of this client, the next one with every server
  // answering is served.
  slow.release();
  if (c.first != TcpRelay::Mode::kRefuse) {
    ASSERT_TRUE(slow.setMode(TcpRelay::Mode::kPass));
    RawClient next;
    ASSERT_TRUE(next.connectUnix(proxy.number()));
    EXPECT_EQ(next.setup('l', "", {}, kAnswerMs), 1) << proxy.log();
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkConnect, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon::test
