// The client layer under pressure from its peers: many clients at once
// against a real server that refuses most of their links, and a server that
// accepts a link and closes it at once. Every client ends served or refused,
// and nothing touches a client record that a broken link freed.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "base/orders.h"
#include "support/proxyloop.h"
#include "support/rawclient.h"
#include "support/testrows.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

using test::Bytes;
using test::RawClient;
using test::rawRequest;

constexpr u8 kGetInputFocus = 43;  // forwarded; the server's reply comes back
constexpr u8 kAfterHangUp = 120;   // no core request: forwarded once the link's server has hung up

void forwardToFirstLink(u8* request, u32 length) {
  if (ServerLink* link = clientLink(currentClient, 0)) copyRequestToServer(request, length, link);
}

// Holds the request until the link's server has closed its end (bounded),
// so that handing it on finds the link broken.
void forwardAfterHangUp(u8* request, u32 length) {
  ServerLink* link = clientLink(currentClient, 0);
  if (!link) return;
  pollfd entry{link->descriptor, POLLRDHUP, 0};
  poll(&entry, 1, 5000);
  copyRequestToServer(request, length, link);
}

// What one raw client has seen so far.
struct Seen {
  Bytes bytes;
  bool closed = false;
  bool served() const { return bytes.size() >= 32 && bytes[0] == 1; }
  bool refused() const { return (!bytes.empty() && bytes[0] == 0) || (closed && !served()); }
};

void drain(RawClient& raw, Seen& seen) {
  u8 buffer[4096];
  for (;;) {
    ssize_t got = recv(raw.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) {
      seen.bytes.insert(seen.bytes.end(), buffer, buffer + got);
      continue;
    }
    if (got == 0) seen.closed = true;
    return;
  }
}

class ClientLimits : public test::ProxyLoopTest {
 protected:
  void useServer(const std::string& displayName) {
    name = displayName;
    server = LinkServerInfo{};
    server.displayName = name.c_str();
    server.offlineTimeoutMs = 5000;
    clientServerList = ClientServerList{&server, 1};
  }
  void SetUp() override {
    ProxyLoopTest::SetUp();
    // Room for more clients than the real server takes.
    proxyState.resourceIdShift = 19;
    test::setTestRequestRow(kGetInputFocus, forwardToFirstLink);
    test::setTestRequestRow(kAfterHangUp, forwardAfterHangUp);
  }
  void TearDown() override {
    ProxyLoopTest::TearDown();
    clientServerList = ClientServerList{};
  }
  // Steps the loop until every client is served or refused (deadline 120 s:
  // a hang fails, it does not time the work).
  bool settle(std::vector<std::unique_ptr<RawClient>>& raws, std::vector<Seen>& seen) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
      ordersRun(1);
      size_t open = 0;
      for (size_t i = 0; i < raws.size(); i++) {
        if (seen[i].served() || seen[i].refused()) continue;
        drain(*raws[i], seen[i]);
        open += !(seen[i].served() || seen[i].refused());
      }
      if (open == 0) return true;
    }
    return false;
  }
  std::string name;
  LinkServerInfo server;
};

TEST_F(ClientLimits, SixHundredClientsAtOnceAgainstAServerOfTwoHundredFiftySix) {
  test::Xvfb xvfb({"-screen", "0", "320x200x24", "-maxclients", "256"});
  ASSERT_TRUE(xvfb.ok()) << xvfb.error();
  useServer(xvfb.display());
  constexpr size_t kClients = 600;
  std::vector<std::unique_ptr<RawClient>> raws;
  std::vector<Seen> seen(kClients);
  for (size_t i = 0; i < kClients; i++) {
    raws.push_back(std::make_unique<RawClient>());
    char order = i % 2 ? 'B' : 'l';
    ASSERT_TRUE(raws[i]->connectUnix(display)) << i;
    Bytes bytes = setupBytes(order);
    Bytes request = rawRequest(order, kGetInputFocus, 0, 1);
    bytes.insert(bytes.end(), request.begin(), request.end());
    ASSERT_TRUE(raws[i]->send(bytes)) << i;
  }
  ASSERT_TRUE(settle(raws, seen));
  size_t served = 0;
  for (const Seen& s : seen) served += s.served();
  // The server takes 255 clients besides its own; the rest are refused.
  EXPECT_GE(served, 128u);
  EXPECT_LE(served, 256u);
  // Every client the proxy still holds is one that was served.
  EXPECT_EQ(clientCount, served);
}

// Requests of a major without a handler: each is answered with an error the
// proxy makes, held for the client's round trip on its link.
TEST_F(ClientLimits, FloodOfRefusedRequestsStaysBoundedAndOthersAreServed) {
  test::Xvfb xvfb({"-screen", "0", "320x200x24"});
  ASSERT_TRUE(xvfb.ok()) << xvfb.error();
  useServer(xvfb.display());
  RawClient flood, other;
  ProxyClient* flooder = connect(flood);
  ASSERT_NE(flooder, nullptr);
  ASSERT_NE(connect(other), nullptr);

  constexpr size_t kRequests = 131072;
  constexpr u8 kWithoutHandler = 200;
  Bytes one = rawRequest('l', kWithoutHandler, 0, 1);
  Bytes all;
  for (size_t i = 0; i < kRequests; i++) all.insert(all.end(), one.begin(), one.end());
  size_t sent = 0, errors = 0, errorsWhenOtherAnswered = 0;
  Seen otherSeen, floodSeen;
  bool otherAsked = false;
  u32 mostPending = 0;
  size_t mostInput = 0, mostOutput = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (errors < kRequests && std::chrono::steady_clock::now() < deadline) {
    ssize_t n = ::send(flood.fd(), all.data() + sent, all.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) sent += static_cast<size_t>(n);
    ordersRun(1);
    ASSERT_TRUE(listed(flooder));
    mostPending = std::max(mostPending, flooder->pendingCount);
    mostInput = std::max(mostInput, static_cast<size_t>(flooder->input.size));
    mostOutput = std::max(mostOutput, outbufferCapacity(&flooder->output));
    drain(flood, floodSeen);
    ASSERT_FALSE(floodSeen.closed);
    errors = floodSeen.bytes.size() / 32;
    // Half the flood is on its way: the other client asks for a round trip.
    if (!otherAsked && sent >= all.size() / 2) {
      otherAsked = other.send(rawRequest('l', kGetInputFocus, 0, 1));
    } else if (otherAsked && !otherSeen.served()) {
      drain(other, otherSeen);
      if (otherSeen.served()) errorsWhenOtherAnswered = errors;
    }
  }
  ASSERT_EQ(errors, kRequests);
  EXPECT_EQ(floodSeen.bytes[0], 0);
  EXPECT_EQ(floodSeen.bytes[1], 1);  // BadRequest
  ASSERT_TRUE(otherSeen.served());
  EXPECT_LT(errorsWhenOtherAnswered, kRequests);
  // Memory held for the flooding client: its entries, its input (one read
  // beyond a request) and its output.
  EXPECT_LE(mostPending, kPendingEntryLimit);
  EXPECT_LE(mostInput, static_cast<size_t>(kBufferClassMedium));
  EXPECT_LE(mostOutput, kClientBacklogLimit + kPendingEntryLimit * 32);
}

// A server that accepts a connection and closes it at once, unread.
class AcceptAndClose {
 public:
  AcceptAndClose() : claim_(700) {
    if (!claim_.ok()) return;
    path_ = "/tmp/.X11-unix/X" + std::to_string(claim_.number());
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    unlink(path_.c_str());
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 16) != 0)
      return;
    ok_ = true;
    thread_ = std::thread([this] {
      for (;;) {
        int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0 || stopping_) {
          if (fd >= 0) close(fd);
          return;
        }
        close(fd);
      }
    });
  }
  ~AcceptAndClose() {
    stopping_ = true;
    if (ok_) {
      shutdown(listener_, SHUT_RDWR);
      thread_.join();
    }
    if (listener_ >= 0) close(listener_);
    if (!path_.empty()) unlink(path_.c_str());
  }
  bool ok() const { return ok_; }
  std::string display() const { return claim_.name(); }

 private:
  test::ClaimedDisplay claim_;
  std::string path_;
  int listener_ = -1;
  bool ok_ = false;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

class ClosingServer : public ClientLimits, public ::testing::WithParamInterface<char> {};

// The set-up and the first requests arrive in one write; the link breaks
// while they are handed on.
TEST_P(ClosingServer, ClientWhoseLinkBreaksAtOnceIsRefusedCleanly) {
  AcceptAndClose closing;
  ASSERT_TRUE(closing.ok());
  useServer(closing.display());
  char order = GetParam();
  std::vector<std::unique_ptr<RawClient>> raws;
  std::vector<Seen> seen(4);
  for (size_t i = 0; i < seen.size(); i++) {
    raws.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(raws[i]->connectUnix(display));
    Bytes bytes = setupBytes(order);
    for (u8 major : {kAfterHangUp, kGetInputFocus, kAfterHangUp}) {
      Bytes request = rawRequest(order, major, 0, 1);
      bytes.insert(bytes.end(), request.begin(), request.end());
    }
    ASSERT_TRUE(raws[i]->send(bytes));
  }
  ASSERT_TRUE(settle(raws, seen));
  for (const Seen& s : seen) EXPECT_TRUE(s.refused());
  EXPECT_EQ(clientCount, 0u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ClosingServer, ::testing::Values('l', 'B'),
                         [](const auto& info) { return info.param == 'B' ? "MsbClient" : "LsbClient"; });

}  // namespace
}  // namespace palvon
