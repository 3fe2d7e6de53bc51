#include "support/testdm.h"

#include <X11/Xdmcp.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace palvon::test {

namespace {

std::string text(const ARRAY8& a) { return std::string(reinterpret_cast<const char*>(a.data), a.length); }

// Reads the fields a client's packet carries; false when they do not decode.
bool decode(XdmcpBuffer* buffer, int opcode, DmPacket* out) {
  ARRAY8 a{}, b{}, c{}, d{};
  ARRAY16 types{};
  ARRAYofARRAY8 list{}, names{};
  CARD16 number = 0;
  CARD32 id = 0;
  bool ok = false;
  switch (opcode) {
    case BROADCAST_QUERY:
    case QUERY:
    case INDIRECT_QUERY:
      ok = XdmcpReadARRAYofARRAY8(buffer, &list);
      for (int i = 0; ok && i < list.length; i++) out->authenticationNames.push_back(text(list.data[i]));
      break;
    case REQUEST:
      ok = XdmcpReadCARD16(buffer, &number) && XdmcpReadARRAY16(buffer, &types) &&
           XdmcpReadARRAYofARRAY8(buffer, &list) && XdmcpReadARRAY8(buffer, &a) && XdmcpReadARRAY8(buffer, &b) &&
           XdmcpReadARRAYofARRAY8(buffer, &names) && XdmcpReadARRAY8(buffer, &c);
      if (!ok) break;
      out->displayNumber = number;
      for (int i = 0; i < types.length; i++) out->connectionTypes.push_back(types.data[i]);
      for (int i = 0; i < list.length; i++) out->connectionAddresses.push_back(text(list.data[i]));
      out->authenticationName = text(a);
      out->authenticationData = text(b);
      for (int i = 0; i < names.length; i++) out->authorizationNames.push_back(text(names.data[i]));
      out->manufacturerDisplayId = text(c);
      break;
    case MANAGE:
      ok = XdmcpReadCARD32(buffer, &id) && XdmcpReadCARD16(buffer, &number) && XdmcpReadARRAY8(buffer, &d);
      out->sessionId = id, out->displayNumber = number, out->displayClass = text(d);
      break;
    case KEEPALIVE:
      ok = XdmcpReadCARD16(buffer, &number) && XdmcpReadCARD32(buffer, &id);
      out->displayNumber = number, out->sessionId = id;
      break;
    default:
      break;
  }
  XdmcpDisposeARRAY8(&a), XdmcpDisposeARRAY8(&b), XdmcpDisposeARRAY8(&c), XdmcpDisposeARRAY8(&d);
  XdmcpDisposeARRAY16(&types);
  XdmcpDisposeARRAYofARRAY8(&list), XdmcpDisposeARRAYofARRAY8(&names);
  return ok;
}

}  // namespace

TestDisplayManager::TestDisplayManager() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof self;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&self), &length) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  port_ = ntohs(self.sin_port);
}

TestDisplayManager::~TestDisplayManager() {
  if (fd_ >= 0) close(fd_);
}

DmPacket TestDisplayManager::receive(int timeoutMs) {
  DmPacket packet;
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return packet;
  static unsigned char bytes[XDM_MAX_MSGLEN];
  XdmcpBuffer buffer{bytes, int(sizeof bytes), 0, 0};
  int length = int(sizeof packet.from);
  if (!XdmcpFill(fd_, &buffer, reinterpret_cast<XdmcpNetaddr>(&packet.from), &length)) {
    packet.error = "no datagram";
    return packet;
  }
  peer_ = packet.from;
  XdmcpHeader header{};
  if (!XdmcpReadHeader(&buffer, &header)) {
    packet.error = "short header";
    return packet;
  }
  packet.opcode = header.opcode;
  if (header.version != XDM_PROTOCOL_VERSION) packet.error = "version " + std::to_string(header.version);
  else if (XdmcpReadRemaining(&buffer) != header.length) packet.error = "length field differs from the datagram";
  else if (!decode(&buffer, header.opcode, &packet)) packet.error = "fields do not decode";
  else if (XdmcpReadRemaining(&buffer) != 0) packet.error = "bytes after the fields";
  return packet;
}

DmPacket TestDisplayManager::receiveSkipping(int repeated, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    DmPacket packet = receive(int(std::max<long long>(left.count(), 0)));
    if (packet.opcode != repeated || !packet.error.empty() || left.count() <= 0) return packet;
  }
}

std::vector<DmPacket> TestDisplayManager::drain() {
  std::vector<DmPacket> packets;
  for (DmPacket p = receive(0); p.opcode || !p.error.empty(); p = receive(0)) packets.push_back(p);
  return packets;
}

void TestDisplayManager::card8(std::vector<uint8_t>* out, unsigned value) { out->push_back(uint8_t(value)); }
void TestDisplayManager::card16(std::vector<uint8_t>* out, unsigned value) {
  out->push_back(uint8_t(value >> 8)), out->push_back(uint8_t(value));
}
void TestDisplayManager::card32(std::vector<uint8_t>* out, uint32_t value) {
  card16(out, value >> 16), card16(out, value & 0xffff);
}
void TestDisplayManager::array8(std::vector<uint8_t>* out, const std::string& value) {
  card16(out, unsigned(value.size()));
  out->insert(out->end(), value.begin(), value.end());
}

std::vector<uint8_t> TestDisplayManager::frame(int version, int opcode, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> bytes;
  card16(&bytes, unsigned(version));
  card16(&bytes, unsigned(opcode));
  card16(&bytes, unsigned(body.size()));
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

void TestDisplayManager::sendRawTo(const std::vector<uint8_t>& bytes, const sockaddr_in& to) {
  // Only ever back to the loopback address a packet came from.
  if (to.sin_addr.s_addr != htonl(INADDR_LOOPBACK)) return;
  (void)!sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void TestDisplayManager::sendRaw(const std::vector<uint8_t>& bytes) { sendRawTo(bytes, peer_); }

void TestDisplayManager::willing(const std::string& authenticationName, const std::string& host,
                                 const std::string& status) {
  std::vector<uint8_t> body;
  array8(&body, authenticationName), array8(&body, host), array8(&body, status);
  sendRaw(frame(1, WILLING, body));
}

void TestDisplayManager::unwilling(const std::string& host, const std::string& status) {
  std::vector<uint8_t> body;
  array8(&body, host), array8(&body, status);
  sendRaw(frame(1, UNWILLING, body));
}

void TestDisplayManager::accept(uint32_t sessionId, const std::string& authenticationName,
                                const std::string& authenticationData, const std::string& authorizationName,
                                const std::string& authorizationData) {
  std::vector<uint8_t> body;
  card32(&body, sessionId);
  array8(&body, authenticationName), array8(&body, authenticationData);
  array8(&body, authorizationName), array8(&body, authorizationData);
  sendRaw(frame(1, ACCEPT, body));
}

void TestDisplayManager::decline(const std::string& status, const std::string& authenticationName,
                                 const std::string& authenticationData) {
  std::vector<uint8_t> body;
  array8(&body, status), array8(&body, authenticationName), array8(&body, authenticationData);
  sendRaw(frame(1, DECLINE, body));
}

void TestDisplayManager::refuse(uint32_t sessionId) {
  std::vector<uint8_t> body;
  card32(&body, sessionId);
  sendRaw(frame(1, REFUSE, body));
}

void TestDisplayManager::failed(uint32_t sessionId, const std::string& status) {
  std::vector<uint8_t> body;
  card32(&body, sessionId);
  array8(&body, status);
  sendRaw(frame(1, FAILED, body));
}

void TestDisplayManager::alive(bool running, uint32_t sessionId) {
  std::vector<uint8_t> body;
  card8(&body, running ? 1 : 0);
  card32(&body, sessionId);
  sendRaw(frame(1, ALIVE, body));
}

}  // namespace palvon::test
