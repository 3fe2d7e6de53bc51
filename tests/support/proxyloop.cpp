#include "support/proxyloop.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <sys/socket.h>

#include <algorithm>

#include "Proxy/clients/auth.h"
#include "Proxy/proxystate.h"
#include "base/orders.h"
#include "support/testrows.h"
#include "support/xvfb.h"

namespace palvon::test {

void ProxyLoopTest::SetUp() {
  signal(SIGPIPE, SIG_IGN);  // as the proxy does: a vanished peer is a write error
  ordersInit();
  registerCoreRowsForTest();
  proxyState.resourceIdShift = 20;
  proxyState.maxBigRequestBytes = 1 << 20;
  resetAuthorizationProtocols();  // as a reset does: the local host comes back with the next check
  // Display numbers are claimed with the lock file X servers use, so that
  // tests running side by side never share one.
  for (display = 150 + getpid() % 100; display < 600; display++) {
    std::string lock;
    if (!claimDisplayNumber(display, &lock)) continue;
    // Built by appending: GCC 12 warns falsely (-Wrestrict) on literal + string at -O3.
    if (!openListeningPorts(std::string(":").append(std::to_string(display)).c_str(), 1)) {
      lockFile = lock;
      return;
    }
    unlink(lock.c_str());
  }
  FAIL() << "no free display number";
}

void ProxyLoopTest::TearDown() {
  while (clientList) stopClient(clientList, "test end", 0);
  closeListeningPorts();
  for (int i = 0; i < 5; i++) ordersRun(0);
  freeStoppedClients();
  clientHooks = ClientHooks{};
  if (!lockFile.empty()) unlink(lockFile.c_str());
}

void ProxyLoopTest::step(int times) {
  for (int i = 0; i < times; i++) ordersRun(1);
}

bool ProxyLoopTest::stepUntil(const std::function<bool()>& condition) {
  for (int i = 0; i < 3000; i++) {
    if (condition()) return true;
    ordersRun(1);
  }
  return condition();
}

bool ProxyLoopTest::listed(const ProxyClient* client) {
  for (const ProxyClient* c = clientList; c; c = c->next)
    if (c == client) return true;
  return false;
}

ProxyClient* ProxyLoopTest::newestClient() { return clientList ? clientList->previous : nullptr; }

ProxyClient* ProxyLoopTest::connect(RawClient& raw, char order) {
  u32 before = clientCount;
  if (!raw.connectUnix(display)) return nullptr;
  if (!stepUntil([&] { return clientCount > before; })) return nullptr;
  ProxyClient* client = newestClient();
  raw.setByteOrder(order);
  raw.send(setupBytes(order));
  stepUntil([&] { return !listed(client) || client->parser.bytesNeeded == kParserRequests; });
  return listed(client) ? client : nullptr;
}

Bytes ProxyLoopTest::setupBytes(char order, u16 major, u16 minor, u8 marker, u16 word, const std::string& name,
                                const std::string& data) {
  Bytes s(12, 0);
  s[0] = static_cast<u8>(order);
  s[1] = marker;
  auto put = [&](size_t at, u16 v) {
    s[at] = static_cast<u8>(order == 'B' ? v >> 8 : v);
    s[at + 1] = static_cast<u8>(order == 'B' ? v : v >> 8);
  };
  put(2, major);
  put(4, minor);
  put(6, static_cast<u16>(name.size()));
  put(8, static_cast<u16>(data.size()));
  put(10, word);
  for (const std::string* part : {&name, &data}) {
    s.insert(s.end(), part->begin(), part->end());
    s.resize((s.size() + 3) & ~size_t{3}, 0);
  }
  return s;
}

Bytes ProxyLoopTest::readBytes(RawClient& raw, size_t n) {
  Bytes out;
  stepUntil([&] {
    u8 buffer[65536];
    ssize_t got = recv(raw.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) out.insert(out.end(), buffer, buffer + got);
    return out.size() >= n || got == 0;
  });
  return out;
}

bool ProxyLoopTest::peerClosed(RawClient& raw) {
  return stepUntil([&] {
    u8 byte;
    return recv(raw.fd(), &byte, 1, MSG_DONTWAIT) == 0;
  });
}

std::string ProxyLoopTest::refusalText(RawClient& raw) {
  Bytes answer = readBytes(raw, 8);
  if (answer.size() < 8 || answer[0] != 0) return "";
  size_t n = answer[1];
  if (answer.size() < 8 + n) {
    Bytes rest = readBytes(raw, 8 + n - answer.size());
    answer.insert(answer.end(), rest.begin(), rest.end());
  }
  if (answer.size() < 8 + n) return "";
  return std::string(answer.begin() + 8, answer.begin() + 8 + static_cast<long>(n));
}

size_t RequestFeeder::feed(int fd) {
  size_t total = 0;
  for (;;) {
    ssize_t n = ::send(fd, pattern_.data() + at_, pattern_.size() - at_, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) return total;
    total += static_cast<size_t>(n);
    at_ = (at_ + static_cast<size_t>(n)) % pattern_.size();
  }
}

Bytes rawRequest(char order, u8 major, u8 data, u32 words, u32 bigWords) {
  Bytes r(bigWords ? 8 : 4 * std::max<u32>(words, 1), 0);
  r[0] = major;
  r[1] = data;
  r[2] = static_cast<u8>(order == 'B' ? words >> 8 : words);
  r[3] = static_cast<u8>(order == 'B' ? words : words >> 8);
  for (int i = 0; bigWords && i < 4; i++) r[4 + i] = static_cast<u8>(bigWords >> (order == 'B' ? 24 - 8 * i : 8 * i));
  for (size_t i = 4 + (bigWords ? 4 : 0); i < r.size(); i++) r[i] = static_cast<u8>(i);
  return r;
}

}  // namespace palvon::test
