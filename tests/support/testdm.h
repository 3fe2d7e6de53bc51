// A display manager for tests, on libXdmcp: a UDP socket on 127.0.0.1 (a
// port of its own) that reads what an XDMCP client sends, checks each
// packet's framing and fields, and answers with the packets a manager sends
// (or with any bytes a test makes up). It never sends anywhere but to the
// loopback address a packet came from.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace palvon::test {

// One packet the client sent, decoded by its opcode.
struct DmPacket {
  int opcode = 0;                       // 0: nothing arrived
  std::string error;                    // why the packet is malformed ("" when fine)
  sockaddr_in from{};
  // Query, BroadcastQuery, IndirectQuery: authentication names.
  std::vector<std::string> authenticationNames;
  // Request.
  unsigned displayNumber = 0;
  std::vector<unsigned> connectionTypes;
  std::vector<std::string> connectionAddresses;
  std::string authenticationName, authenticationData;
  std::vector<std::string> authorizationNames;
  std::string manufacturerDisplayId;
  // Manage, KeepAlive.
  uint32_t sessionId = 0;
  std::string displayClass;
};

class TestDisplayManager {
 public:
  TestDisplayManager();
  ~TestDisplayManager();
  TestDisplayManager(const TestDisplayManager&) = delete;
  TestDisplayManager& operator=(const TestDisplayManager&) = delete;

  bool ok() const { return fd_ >= 0; }
  int port() const { return port_; }
  int fd() const { return fd_; }
  // The next packet within the time (opcode 0 when none).
  DmPacket receive(int timeoutMs = 2000);
  // The next packet within the time that is not one of `repeated`: a
  // display sends its Query (or Request) again while it waits, and on a
  // busy machine those copies are still queued when the answer to the
  // first has gone out.
  DmPacket receiveSkipping(int repeated, int timeoutMs);
  // Every packet already waiting.
  std::vector<DmPacket> drain();

  // Answers to the address of the last packet received (or to `to`).
  void willing(const std::string& authenticationName, const std::string& host = "testdm",
               const std::string& status = "Willing to manage");
  void unwilling(const std::string& host, const std::string& status);
  void accept(uint32_t sessionId, const std::string& authenticationName, const std::string& authenticationData,
              const std::string& authorizationName, const std::string& authorizationData);
  void decline(const std::string& status, const std::string& authenticationName,
               const std::string& authenticationData);
  void refuse(uint32_t sessionId);
  void failed(uint32_t sessionId, const std::string& status);
  void alive(bool running, uint32_t sessionId);
  void sendRaw(const std::vector<uint8_t>& bytes);
  void sendRawTo(const std::vector<uint8_t>& bytes, const sockaddr_in& to);
  const sockaddr_in& peer() const { return peer_; }

  // The bytes of a packet: header (version, opcode, length of the body)
  // and the body as given.
  static std::vector<uint8_t> frame(int version, int opcode, const std::vector<uint8_t>& body);
  // Body pieces.
  static void card8(std::vector<uint8_t>* out, unsigned value);
  static void card16(std::vector<uint8_t>* out, unsigned value);
  static void card32(std::vector<uint8_t>* out, uint32_t value);
  static void array8(std::vector<uint8_t>* out, const std::string& value);

 private:
  int fd_ = -1;
  int port_ = 0;
  sockaddr_in peer_{};
};

}  // namespace palvon::test
