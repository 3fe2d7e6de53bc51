// The cost of a flood of requests the proxy refuses itself (a major without
// a handler: each gets an error the proxy makes, held until the client's
// round trip on its link comes back), at 16,384 and 131,072 requests, and
// the same flood sent straight to Xvfb. Work that grows linearly gives a
// ratio near 8 between the two sizes.
//
// Usage: bench_requestflood [repeats]   (default 3; the best run counts)
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Proxy/clients/auth.h"
#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/proxystate.h"
#include "base/orders.h"
#include "support/proxyloop.h"  // rawRequest
#include "support/rawclient.h"
#include "support/xvfb.h"

namespace {

using palvon::test::Bytes;
using palvon::test::RawClient;
using Clock = std::chrono::steady_clock;

constexpr unsigned char kWithoutHandler = 200;

Bytes flood(size_t requests) {
  Bytes one = palvon::test::rawRequest('l', kWithoutHandler, 0, 1);
  Bytes all;
  all.reserve(requests * one.size());
  for (size_t i = 0; i < requests; i++) all.insert(all.end(), one.begin(), one.end());
  return all;
}

// Sends the flood and reads every error back; `step` runs the proxy's loop
// (nothing when the peer is Xvfb itself). Milliseconds, or -1 on failure.
template <class Step>
double run(RawClient& raw, size_t requests, Step step) {
  Bytes all = flood(requests);
  size_t sent = 0, received = 0;
  unsigned char buffer[65536];
  auto start = Clock::now();
  auto deadline = start + std::chrono::seconds(600);
  while (received < requests * 32) {
    if (Clock::now() > deadline) return -1;
    if (sent < all.size()) {
      ssize_t n = ::send(raw.fd(), all.data() + sent, all.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
    }
    step();
    ssize_t got = recv(raw.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (got == 0) return -1;
    if (got > 0) received += static_cast<size_t>(got);
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The in-process proxy on a display number of its own, linked to `server`.
struct Proxy {
  std::string lock;
  std::string serverName;
  palvon::LinkServerInfo server{};
  int display = -1;

  bool open(const std::string& name) {
    using namespace palvon;
    ordersInit();
    if (const char* problem = initCoreDispatchTables()) {
      std::fprintf(stderr, "%s\n", problem);
      return false;
    }
    proxyState.resourceIdShift = 20;
    proxyState.maxBigRequestBytes = 1 << 20;
    resetAuthorizationProtocols();
    serverName = name;
    server.displayName = serverName.c_str();
    server.offlineTimeoutMs = 20000;
    clientServerList = ClientServerList{&server, 1};
    for (int n = 150 + getpid() % 100; n < 600; n++) {
      if (!test::claimDisplayNumber(n, &lock)) continue;
      if (!openListeningPorts((":" + std::to_string(n)).c_str(), 1)) {
        display = n;
        return true;
      }
      unlink(lock.c_str());
      lock.clear();
    }
    return false;
  }
  ~Proxy() {
    using namespace palvon;
    while (clientList) stopClient(clientList, "bench end", 0);
    closeListeningPorts();
    for (int i = 0; i < 5; i++) ordersRun(0);
    freeStoppedClients();
    if (!lock.empty()) unlink(lock.c_str());
  }
  // A client connected and set up (the proxy answers nothing to the set-up
  // here; the client is ready once the proxy parses requests).
  bool connect(RawClient& raw) {
    using namespace palvon;
    // Clients of the run before leave first.
    for (int i = 0; i < 3000 && clientList; i++) ordersRun(1);
    if (clientList || !raw.connectUnix(display)) return false;
    for (int i = 0; i < 3000 && !clientList; i++) ordersRun(1);
    ProxyClient* client = clientList;
    if (!client) return false;
    raw.send(Bytes{'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // version 11.0, no authorization
    for (int i = 0; i < 3000 && client->parser.bytesNeeded != kParserRequests; i++) ordersRun(1);
    return client->parser.bytesNeeded == kParserRequests;
  }
};

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  palvon::test::Xvfb xvfb({"-screen", "0", "320x200x24"});
  if (!xvfb.ok()) {
    std::fprintf(stderr, "Xvfb: %s\n", xvfb.error().c_str());
    return 1;
  }
  Proxy proxy;
  if (!proxy.open(xvfb.display())) {
    std::fprintf(stderr, "no display number for the proxy\n");
    return 1;
  }
  const size_t sizes[] = {16384, 131072};
  double throughProxy[2], direct[2];
  for (int s = 0; s < 2; s++) {
    throughProxy[s] = direct[s] = 1e300;
    for (int r = 0; r < repeats; r++) {
      RawClient viaProxy, straight;
      if (!proxy.connect(viaProxy) || straight.connectUnix(xvfb.number()) == false || straight.setup('l') != 1) {
        std::fprintf(stderr, "connection failed\n");
        return 1;
      }
      double ms = run(viaProxy, sizes[s], [] { palvon::ordersRun(0); });
      double msDirect = run(straight, sizes[s], [] {});
      if (ms < 0 || msDirect < 0) {
        std::fprintf(stderr, "flood of %zu failed\n", sizes[s]);
        return 1;
      }
      throughProxy[s] = std::min(throughProxy[s], ms);
      direct[s] = std::min(direct[s], msDirect);
    }
    std::printf("%7zu requests: proxy %9.1f ms, Xvfb %8.1f ms, proxy/Xvfb %6.1f\n", sizes[s], throughProxy[s],
                direct[s], throughProxy[s] / direct[s]);
  }
  std::printf("growth 131072/16384: proxy %.1f (linear: 8), Xvfb %.1f\n", throughProxy[1] / throughProxy[0],
              direct[1] / direct[0]);
  return 0;
}
