// The XDMCP client against a test display manager on the loopback
// interface, with the event loop on a stepped clock: the packets of a whole
// session, retransmissions and keep-alives by the clock, the session's end,
// the exits, XDM-AUTHENTICATION-1, and datagrams that must change nothing.
#include <gtest/gtest.h>

#define HASXDMAUTH 1  // the wrap functions; libXdmcp is built with them
#include <X11/Xdmcp.h>
#include <arpa/inet.h>
#include <poll.h>

#include <string>
#include <vector>

#include "Proxy/clients/auth.h"
#include "Proxy/clients/client.h"
#include "Proxy/clients/xdmcp.h"
#include "base/orders.h"
#include "support/logcapture.h"
#include "support/testdm.h"

namespace palvon {
namespace {

using test::DmPacket;
using test::TestDisplayManager;

u64 gFakeMs;
u64 fakeClock() { return gFakeMs; }
// Never sleeps: a wait that finds nothing lets the stepped clock run on.
int fakePoll(pollfd* table, nfds_t count, int timeoutMs) {
  int ready = ::poll(table, count, 0);
  if (ready == 0) gFakeMs += u64(timeoutMs);
  return ready;
}

std::vector<std::string> gResets, gExits, gFails;

constexpr u32 kDisplay = 42;
const std::string kCookie = "0x0123456789abcdef";

class Xdmcp : public ::testing::Test {
 protected:
  void SetUp() override {
    gFakeMs = 5000000;
    gResets.clear(), gExits.clear(), gFails.clear();
    ordersSetClock(fakeClock);
    ordersSetPoll(fakePoll);
    ordersInit();
    xdmcpLifeHooks.requestReset = [](const char* reason) { gResets.push_back(reason); };
    xdmcpLifeHooks.requestExit = [](const char* reason) { gExits.push_back(reason); };
    xdmcpLifeHooks.fail = [](const char* reason) { gFails.push_back(reason); };
    proxyDisplayNumber = kDisplay;
    ASSERT_TRUE(dm.ok());
  }
  void TearDown() override {
    xdmcpShutdown();
    ordersFreeAll();
    ordersSetClock(nullptr);
    ordersSetPoll(nullptr);
    xdmcpLifeHooks = XdmcpLifeHooks{};
    resetAuthorizationProtocols();
  }

  void start(std::vector<std::string> words) {
    words.insert(words.begin(), {"-port", std::to_string(dm.port()), "-query", "127.0.0.1"});
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    for (int i = 0; i < int(argv.size());) {
      int next = xdmcpParseOption(int(argv.size()), argv.data(), i);
      ASSERT_GT(next, i) << words[size_t(i)];
      i = next;
    }
    xdmcpInit();
  }
  // Steps the loop (each quiet wait runs the clock to the next timer) until
  // the manager has a packet; opcode 0 when none came.
  DmPacket next(int steps = 4) {
    for (int i = 0; i < steps; i++) {
      DmPacket packet = dm.receive(0);
      if (packet.opcode) return packet;
      ordersRun(kOrdersMaxWait);
    }
    return dm.receive(0);
  }
  // Lets the client read what the manager sent.
  void deliver() { ordersRun(0); }
  DmPacket expect(int opcode) {
    DmPacket packet = next();
    EXPECT_EQ(packet.opcode, opcode);
    EXPECT_EQ(packet.error, "");
    return packet;
  }
  // Query, Willing, Request, Accept, Manage: the client awaits its first
  // client connection.
  void runUpToManage(u32 session = 77) {
    expect(QUERY);
    dm.willing("");
    deliver();
    expect(REQUEST);
    dm.accept(session, "", "", "", "");
    deliver();
    expect(MANAGE);
    ASSERT_EQ(xdmcpState(), kXdmcpAwaitManageResponse);
  }

  TestDisplayManager dm;
};

std::string bytes(const u8* data, size_t n) { return std::string(reinterpret_cast<const char*>(data), n); }

TEST_F(Xdmcp, AWholeSessionRegistersIsManagedAndEndsWithItsConnection) {
  start({"-class", "test-class", "-displayID", "display-7"});
  DmPacket query = expect(QUERY);
  EXPECT_TRUE(query.authenticationNames.empty());
  dm.willing("");
  deliver();
  DmPacket request = expect(REQUEST);
  EXPECT_EQ(request.displayNumber, kDisplay);
  EXPECT_EQ(request.authenticationName, "");
  EXPECT_EQ(request.authenticationData, "");
  EXPECT_EQ(request.authorizationNames,
            (std::vector<std::string>{"MIT-MAGIC-COOKIE-1", "XDM-AUTHORIZATION-1", "SUN-DES-1"}));
  EXPECT_EQ(request.manufacturerDisplayId, "display-7");
  EXPECT_EQ(request.connectionTypes.size(), request.connectionAddresses.size());

  std::string cookie = "0123456789abcdef";
  dm.accept(0x01020304, "", "", "MIT-MAGIC-COOKIE-1", cookie);
  deliver();
  DmPacket manage = expect(MANAGE);
  EXPECT_EQ(manage.sessionId, 0x01020304u);
  EXPECT_EQ(manage.displayNumber, kDisplay);
  EXPECT_EQ(manage.displayClass, "test-class");
  // The manager's cookie now admits clients.
  const char* reason = nullptr;
  AccessClient client{};
  client.descriptor = -1;
  EXPECT_GE(checkAuthorization(18, "MIT-MAGIC-COOKIE-1", 16, reinterpret_cast<const u8*>(cookie.data()), &client,
                               &reason),
            0);

  xdmcpSessionStarted(9);
  EXPECT_EQ(xdmcpState(), kXdmcpRunSession);
  xdmcpCloseDisplay(10);  // another client's connection
  EXPECT_TRUE(gResets.empty());
  xdmcpCloseDisplay(9);
  EXPECT_EQ(gResets, (std::vector<std::string>{"XDMCP close display"}));
  EXPECT_TRUE(gExits.empty());
  xdmcpReset();
  expect(QUERY);
}

TEST_F(Xdmcp, InOnceModeTheEndOfTheSessionEndsTheProxy) {
  start({"-once"});
  runUpToManage();
  xdmcpSessionStarted(4);
  xdmcpCloseDisplay(4);
  EXPECT_EQ(gExits, (std::vector<std::string>{"XDMCP close display"}));
  EXPECT_TRUE(gResets.empty());
}

TEST_F(Xdmcp, SilenceGivesResendsThatDoubleUpTo32SecondsThenItGivesUp) {
  test::LogCapture log({&logChWarning});
  start({});
  std::vector<u64> gaps;
  u64 last = ordersClock();
  ASSERT_EQ(next().opcode, QUERY);
  for (int i = 0; i < 6; i++) {
    ASSERT_EQ(next().opcode, QUERY) << i;
    gaps.push_back(ordersClock() - last);
    last = ordersClock();
  }
  EXPECT_EQ(gaps, (std::vector<u64>{2000, 4000, 8000, 16000, 32000, 32000}));
  EXPECT_FALSE(log.contains("warning: XDMCP: too many retransmissions"));
  EXPECT_EQ(next(3).opcode, 0);
  EXPECT_TRUE(log.contains("warning: XDMCP: too many retransmissions")) << testing::PrintToString(log.lines());
  EXPECT_EQ(xdmcpState(), kXdmcpAwaitUserInput);
  // A manager that speaks up later starts the machine again.
  dm.willing("");
  deliver();
  EXPECT_EQ(next().opcode, QUERY);
}

TEST_F(Xdmcp, KeepAlivesFollowTheDormancyAndAnAliveOfTheSessionKeepsItRunning) {
  start({});
  runUpToManage(5);
  xdmcpSessionStarted(3);
  u64 started = ordersClock();
  DmPacket keepAlive = expect(KEEPALIVE);
  EXPECT_EQ(ordersClock() - started, 180000u);
  EXPECT_EQ(keepAlive.sessionId, 5u);
  EXPECT_EQ(keepAlive.displayNumber, kDisplay);
  dm.alive(false, 5);  // the running byte is not consulted
  deliver();
  EXPECT_EQ(xdmcpState(), kXdmcpRunSession);
  u64 answered = ordersClock();
  expect(KEEPALIVE);
  EXPECT_EQ(ordersClock() - answered, 180000u);
  EXPECT_TRUE(gResets.empty());
}

TEST_F(Xdmcp, AnAliveOfAnotherSessionResetsTheProxy) {
  test::LogCapture log({&logChWarning});
  start({});
  runUpToManage(5);
  xdmcpSessionStarted(3);
  expect(KEEPALIVE);
  dm.alive(true, 6);
  deliver();
  EXPECT_EQ(gResets, (std::vector<std::string>{"XDMCP session dead"}));
  EXPECT_TRUE(log.contains("warning: XDMCP: Alive response indicates session dead, declaring session dead"));
  expect(QUERY);
}

TEST_F(Xdmcp, FourLostKeepAlivesResetTheProxy) {
  test::LogCapture log({&logChWarning});
  start({});
  runUpToManage(5);
  xdmcpSessionStarted(3);
  for (int i = 0; i < 4; i++) expect(KEEPALIVE);
  EXPECT_TRUE(gResets.empty());
  expect(QUERY);
  EXPECT_EQ(gResets, (std::vector<std::string>{"XDMCP session dead"}));
  EXPECT_TRUE(log.contains("warning: XDMCP: too many keepalive retransmissions, declaring session dead"));
}

TEST_F(Xdmcp, ARefusalOfThisSessionRequestsAgainAndOneOfAnotherIsIgnored) {
  start({});
  runUpToManage(8);
  dm.refuse(9);
  deliver();
  EXPECT_EQ(xdmcpState(), kXdmcpAwaitManageResponse);
  dm.refuse(8);
  deliver();
  expect(REQUEST);
  EXPECT_EQ(xdmcpState(), kXdmcpAwaitRequestResponse);
}

// How the manager ends the proxy, and in which state.
struct ExitCase {
  const char* name;
  XdmcpState at;  // reached first: collecting, awaiting the request's answer, awaiting Manage's
  void (*send)(TestDisplayManager& dm);
  const char* text;
};

class ManagerEndsTheProxy : public Xdmcp, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ManagerEndsTheProxy, WithTheTextsOfTheProtocol) {
  const ExitCase& c = GetParam();
  start({});
  expect(QUERY);
  if (c.at != kXdmcpCollectQuery) {
    dm.willing("");
    deliver();
    expect(REQUEST);
  }
  if (c.at == kXdmcpAwaitManageResponse) {
    dm.accept(31, "", "", "", "");
    deliver();
    expect(MANAGE);
  }
  ASSERT_EQ(xdmcpState(), c.at);
  c.send(dm);
  deliver();
  EXPECT_EQ(gFails, (std::vector<std::string>{c.text}));
}

INSTANTIATE_TEST_SUITE_P(
    Packets, ManagerEndsTheProxy,
    ::testing::Values(
        ExitCase{"Unwilling", kXdmcpCollectQuery, [](TestDisplayManager& dm) { dm.unwilling("dm", "busy"); },
                 "XDMCP: Manager unwilling Host unwilling"},
        ExitCase{"Decline", kXdmcpAwaitRequestResponse,
                 [](TestDisplayManager& dm) { dm.decline("no room", "", ""); }, "XDMCP: Session declined no room"},
        ExitCase{"Failed", kXdmcpAwaitManageResponse, [](TestDisplayManager& dm) { dm.failed(31, "no display"); },
                 "XDMCP: Session failed no display"}),
    [](const auto& info) { return std::string(info.param.name); });

// The wrapped value of XDM-AUTHENTICATION-1 as the manager computes it.
std::string wrap(const std::string& plain, const u8* key) {
  std::string out(plain.size(), '\0');
  XdmcpWrap(reinterpret_cast<unsigned char*>(const_cast<char*>(plain.data())), const_cast<u8*>(key),
            reinterpret_cast<unsigned char*>(out.data()), int(plain.size()));
  return out;
}
std::string unwrap(const std::string& wrapped, const u8* key) {
  std::string out(wrapped.size(), '\0');
  XdmcpUnwrap(reinterpret_cast<unsigned char*>(const_cast<char*>(wrapped.data())), const_cast<u8*>(key),
              reinterpret_cast<unsigned char*>(out.data()), int(wrapped.size()));
  return out;
}

class XdmAuthentication : public Xdmcp, public ::testing::WithParamInterface<bool> {};

TEST_P(XdmAuthentication, TheManagerMustProveItKnowsTheCookie) {
  bool honest = GetParam();
  const u8 key[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  start({"-cookie", kCookie});
  DmPacket query = expect(QUERY);
  EXPECT_EQ(query.authenticationNames, (std::vector<std::string>{"XDM-AUTHENTICATION-1"}));
  dm.willing("XDM-AUTHENTICATION-1");
  deliver();
  DmPacket request = expect(REQUEST);
  EXPECT_EQ(request.authenticationName, "XDM-AUTHENTICATION-1");
  ASSERT_EQ(request.authenticationData.size(), 8u);
  // The manager answers rho + 1, wrapped; a dishonest one answers rho.
  std::string rho = unwrap(request.authenticationData, key);
  XdmAuthKeyRec next;
  memcpy(next.data, rho.data(), 8);
  if (honest) XdmcpIncrementKey(&next);
  std::string authorization = wrap(std::string("0123456789abcdef"), key);
  dm.accept(12, "XDM-AUTHENTICATION-1", wrap(bytes(next.data, 8), key), "XDM-AUTHORIZATION-1", authorization);
  deliver();
  if (honest) {
    expect(MANAGE);
    EXPECT_TRUE(gFails.empty());
  } else {
    EXPECT_EQ(gFails, (std::vector<std::string>{"XDMCP: Authentication Failure XDM-AUTHENTICATION-1"}));
  }
}

INSTANTIATE_TEST_SUITE_P(Managers, XdmAuthentication, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Honest" : "Dishonest"; });

// Datagrams sent while the client awaits the answer to its Request, after
// one retransmission: none may change the state, the retransmission count
// or the time of the next resend.
struct Noise {
  const char* name;
  bool otherPort;
  std::vector<u8> (*bytes)();
};

std::vector<u8> acceptBody(u32 session) {
  std::vector<u8> body;
  TestDisplayManager::card32(&body, session);
  for (int i = 0; i < 4; i++) TestDisplayManager::array8(&body, "");
  return body;
}

class NoiseChangesNothing : public Xdmcp, public ::testing::WithParamInterface<Noise> {};

TEST_P(NoiseChangesNothing, WhileARequestIsOutstanding) {
  start({});
  expect(QUERY);
  dm.willing("");
  deliver();
  expect(REQUEST);
  expect(REQUEST);  // one resend: the count is 1
  ASSERT_EQ(xdmcpRetransmissions(), 1u);
  sockaddr_in client = dm.peer();
  u64 before = ordersClock();
  TestDisplayManager other;
  std::vector<u8> datagram = GetParam().bytes();
  if (GetParam().otherPort) other.sendRawTo(datagram, client);
  else dm.sendRaw(datagram);
  deliver();
  EXPECT_EQ(xdmcpState(), kXdmcpAwaitRequestResponse);
  EXPECT_EQ(xdmcpRetransmissions(), 1u);
  EXPECT_TRUE(gFails.empty());
  EXPECT_TRUE(dm.drain().empty());
  // The next resend keeps its time: 4 s after the last one.
  expect(REQUEST);
  EXPECT_EQ(ordersClock() - before, 4000u);
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, NoiseChangesNothing,
    ::testing::Values(
        Noise{"AcceptFromAnotherPort", true, [] { return TestDisplayManager::frame(1, ACCEPT, acceptBody(3)); }},
        Noise{"DeclineFromAnotherPort", true,
              [] {
                std::vector<u8> body;
                for (int i = 0; i < 3; i++) TestDisplayManager::array8(&body, "x");
                return TestDisplayManager::frame(1, DECLINE, body);
              }},
        Noise{"UnwillingOutOfState", false,
              [] {
                std::vector<u8> body;
                TestDisplayManager::array8(&body, "dm"), TestDisplayManager::array8(&body, "busy");
                return TestDisplayManager::frame(1, UNWILLING, body);
              }},
        Noise{"AliveOutOfState", false,
              [] {
                std::vector<u8> body{1, 0, 0, 0, 3};
                return TestDisplayManager::frame(1, ALIVE, body);
              }},
        Noise{"ShortArray", false,
              [] {
                std::vector<u8> body;
                TestDisplayManager::card32(&body, 3);
                TestDisplayManager::card16(&body, 40);  // 40 bytes promised, 3 given
                body.insert(body.end(), {'a', 'b', 'c'});
                return TestDisplayManager::frame(1, ACCEPT, body);
              }},
        Noise{"LengthFieldTooLong", false,
              [] {
                std::vector<u8> bytes = TestDisplayManager::frame(1, ACCEPT, acceptBody(3));
                bytes[5]++;
                return bytes;
              }},
        Noise{"BytesAfterTheFields", false,
              [] {
                std::vector<u8> body = acceptBody(3);
                body.push_back(0);
                return TestDisplayManager::frame(1, ACCEPT, body);
              }},
        Noise{"Version2", false, [] { return TestDisplayManager::frame(2, ACCEPT, acceptBody(3)); }},
        Noise{"UnknownOpcode", false, [] { return TestDisplayManager::frame(1, 99, acceptBody(3)); }},
        Noise{"Empty", false, [] { return std::vector<u8>{}; }},
        Noise{"NineThousandBytes", false,
              [] {
                std::vector<u8> body = acceptBody(3);
                body.resize(8994, 0);
                return TestDisplayManager::frame(1, ACCEPT, body);
              }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(XdmcpOptions, OnlyItsOwnWordsAreTaken) {
  std::string words[] = {"-nolisten", "-port", "1177", "-once"};
  char* argv[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data()};
  EXPECT_EQ(xdmcpParseOption(4, argv, 0), 0);
  EXPECT_EQ(xdmcpParseOption(4, argv, 1), 3);
  EXPECT_EQ(xdmcpParseOption(4, argv, 3), 4);
  EXPECT_EQ(xdmcpParseOption(4, argv, 4), 4);
  static std::vector<std::string> fails;
  xdmcpLifeHooks.fail = [](const char* reason) { fails.push_back(reason); };
  std::string query = "-query";
  char* missing[] = {query.data()};
  xdmcpParseOption(1, missing, 0);
  EXPECT_EQ(fails, (std::vector<std::string>{"Xserver: missing host name in command line"}));
  xdmcpShutdown();
  xdmcpLifeHooks = XdmcpLifeHooks{};
}

}  // namespace
}  // namespace palvon
