#include "support/peers/unixsocket.h"
#include "support/rawclient.h"
#include "support/waitfor.h"

#include <algorithm>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <linux/sockios.h>

namespace palvon::test {

namespace {

using Clock = std::chrono::steady_clock;

size_t pad4(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }

}  // namespace

RawClient::~RawClient() {
  if (fd_ >= 0) close(fd_);
}

bool RawClient::connectUnixPath(const std::string& path) {
  fd_ = connectUnixSocket(path);
  return fd_ >= 0;
}

bool RawClient::connectUnix(int displayNumber) {
  return connectUnixPath("/tmp/.X11-unix/X" + std::to_string(displayNumber));
}

bool RawClient::connectTcp(int displayNumber) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(6000 + displayNumber));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd_);
    fd_ = -1;
    return false;
  }
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

uint16_t RawClient::get16(const Bytes& b, size_t o) const {
  return order_ == 'B' ? static_cast<uint16_t>(b[o] << 8 | b[o + 1])
                       : static_cast<uint16_t>(b[o] | b[o + 1] << 8);
}

uint32_t RawClient::get32(const Bytes& b, size_t o) const {
  if (order_ == 'B')
    return static_cast<uint32_t>(b[o]) << 24 | static_cast<uint32_t>(b[o + 1]) << 16 |
           static_cast<uint32_t>(b[o + 2]) << 8 | b[o + 3];
  return static_cast<uint32_t>(b[o + 3]) << 24 | static_cast<uint32_t>(b[o + 2]) << 16 |
         static_cast<uint32_t>(b[o + 1]) << 8 | b[o];
}

void RawClient::put16(Bytes& b, size_t o, uint16_t v) const {
  if (order_ == 'B') {
    b[o] = v >> 8;
    b[o + 1] = v & 0xff;
  } else {
    b[o] = v & 0xff;
    b[o + 1] = v >> 8;
  }
}

void RawClient::put32(Bytes& b, size_t o, uint32_t v) const {
  for (int i = 0; i < 4; ++i) {
    int shift = order_ == 'B' ? 24 - 8 * i : 8 * i;
    b[o + i] = static_cast<uint8_t>(v >> shift);
  }
}

Bytes RawClient::request(uint8_t major, uint8_t data, const Bytes& body) const {
  Bytes r(4 + pad4(body.size()), 0);
  r[0] = major;
  r[1] = data;
  std::copy(body.begin(), body.end(), r.begin() + 4);
  put16(r, 2, static_cast<uint16_t>(r.size() / 4));
  return r;
}

bool RawClient::send(const void* data, size_t size) { return sendAll(fd_, data, size); }

bool RawClient::send(const Bytes& bytes) { return send(bytes.data(), bytes.size()); }

bool RawClient::readExact(uint8_t* out, size_t n, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t got = 0;
  while (got < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    ssize_t r = recv(fd_, out + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      closed_ = true;
      return false;
    }
    got += static_cast<size_t>(r);
  }
  return true;
}

int RawClient::setup(char byteOrder, const std::string& authName, const Bytes& authData, int timeoutMs,
                     uint16_t major, uint16_t minor) {
  order_ = byteOrder;
  Bytes s(12 + pad4(authName.size()) + pad4(authData.size()), 0);
  s[0] = static_cast<uint8_t>(byteOrder);
  put16(s, 2, major);
  put16(s, 4, minor);
  put16(s, 6, static_cast<uint16_t>(authName.size()));
  put16(s, 8, static_cast<uint16_t>(authData.size()));
  std::copy(authName.begin(), authName.end(), s.begin() + 12);
  std::copy(authData.begin(), authData.end(), s.begin() + 12 + pad4(authName.size()));
  if (!send(s)) return -1;
  setupReply_.assign(8, 0);
  if (!readExact(setupReply_.data(), 8, timeoutMs)) return -1;
  size_t extra = 4 * static_cast<size_t>(get16(setupReply_, 6));
  setupReply_.resize(8 + extra);
  if (!readExact(setupReply_.data() + 8, extra, timeoutMs)) return -1;
  return setupReply_[0];
}

uint32_t RawClient::resourceIdBase() const { return setupReply_.size() >= 16 ? get32(setupReply_, 12) : 0; }

// The field at `offset` of the first screen's record, 0 when there is none.
uint32_t RawClient::firstScreenField(size_t offset) const {
  if (setupReply_.size() < 40) return 0;
  size_t vendorLength = get16(setupReply_, 24);
  size_t formats = setupReply_[29];
  size_t screen = 40 + pad4(vendorLength) + 8 * formats;
  return screen + offset + 4 <= setupReply_.size() ? get32(setupReply_, screen + offset) : 0;
}

uint32_t RawClient::rootWindow() const { return firstScreenField(0); }
uint32_t RawClient::rootVisual() const { return firstScreenField(32); }

Bytes RawClient::readMessage(int timeoutMs) {
  Bytes m(32, 0);
  if (!readExact(m.data(), 32, timeoutMs)) return {};
  if (m[0] == 1 || (m[0] & 0x7f) == 35) {
    size_t extra = 4 * static_cast<size_t>(get32(m, 4));
    m.resize(32 + extra);
    if (!readExact(m.data() + 32, extra, timeoutMs)) return {};
  }
  return m;
}

bool RawClient::waitClosed(int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t sink[4096];
  while (!closed_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    ssize_t r = recv(fd_, sink, sizeof sink, 0);
    if (r <= 0 && !(r < 0 && errno == EINTR)) closed_ = true;
  }
  return true;
}

long RawClient::unreadSent() const {
  int unread = 0;
  return fd_ >= 0 && ioctl(fd_, SIOCOUTQ, &unread) == 0 ? unread : -1;
}

bool RawClient::waitSentRead(int timeoutMs) {
  return waitFor([this] { return unreadSent() == 0; }, timeoutMs, 5);
}

RawClient::Codes RawClient::queryExtension(const std::string& name, int timeoutMs) {
  Bytes body(4 + name.size(), 0);
  put16(body, 0, static_cast<uint16_t>(name.size()));
  std::copy(name.begin(), name.end(), body.begin() + 4);
  if (!send(request(98, 0, body))) return {};  // QueryExtension
  Bytes reply = readMessage(timeoutMs);
  if (reply.size() < 32 || reply[0] != 1 || !reply[8]) return {};
  return {reply[9], reply[10], reply[11]};
}

}  // namespace palvon::test
