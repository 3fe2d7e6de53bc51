// A raw X protocol client for tests: hand-built bytes in either byte order,
// malformed input, and every read bounded by a deadline.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace palvon::test {

using Bytes = std::vector<uint8_t>;

class RawClient {
 public:
  RawClient() = default;
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // Connects to display number n over the local socket, or TCP on
  // 127.0.0.1:6000+n. No bytes are sent.
  bool connectUnix(int displayNumber);
  bool connectUnixPath(const std::string& path);
  bool connectTcp(int displayNumber);

  // Sends the connection set-up in byteOrder ('l' or 'B') with optional
  // authorization, and reads the server's answer into setupReply. Returns
  // the status byte (0 failed, 1 success, 2 authenticate) or -1 when no
  // complete answer came before the deadline.
  int setup(char byteOrder = 'l', const std::string& authName = "", const Bytes& authData = {},
            int timeoutMs = 5000, uint16_t major = 11, uint16_t minor = 0);

  // Raw bytes, exactly as given.
  bool send(const Bytes& bytes);
  bool send(const void* data, size_t size);

  // One reply, event or error: 32 bytes, plus 4 times the length word for
  // replies and generic events. Empty when nothing complete arrived in time
  // or the connection closed (see closed()).
  Bytes readMessage(int timeoutMs = 5000);
  // True once the peer has closed the connection.
  bool closed() const { return closed_; }
  // Waits up to timeoutMs for the peer to close; true if it did.
  bool waitClosed(int timeoutMs);
  // How many of the bytes sent the peer has not read yet (-1 unknown), and
  // a wait up to timeoutMs until it has read them all: the display has the
  // requests in hand. For the local socket only (on TCP the count ends at
  // the peer's kernel).
  long unreadSent() const;
  bool waitSentRead(int timeoutMs = 20000);

  int fd() const { return fd_; }
  char byteOrder() const { return order_; }
  // For a client whose set-up was sent by other means: the order its
  // fields are read and written in.
  void setByteOrder(char order) { order_ = order; }
  const Bytes& setupReply() const { return setupReply_; }
  uint32_t resourceIdBase() const;
  uint32_t rootWindow() const;  // of the first screen
  uint32_t rootVisual() const;  // of the first screen

  // Field access in this client's byte order.
  uint16_t get16(const Bytes& b, size_t offset) const;
  uint32_t get32(const Bytes& b, size_t offset) const;
  void put16(Bytes& b, size_t offset, uint16_t v) const;
  void put32(Bytes& b, size_t offset, uint32_t v) const;
  // A request with the given opcode, data byte and body (padded to 4), its
  // length field filled in this client's byte order.
  Bytes request(uint8_t major, uint8_t data, const Bytes& body = {}) const;
  // QueryExtension through this client, the next message taken as its
  // answer: the extension's codes, all 0 when it is absent or nothing came.
  struct Codes {
    uint8_t major = 0, firstEvent = 0, firstError = 0;
  };
  Codes queryExtension(const std::string& name, int timeoutMs = 5000);

 private:
  bool readExact(uint8_t* out, size_t n, int timeoutMs);
  uint32_t firstScreenField(size_t offset) const;
  int fd_ = -1;
  char order_ = 'l';
  bool closed_ = false;
  Bytes setupReply_;
};

}  // namespace palvon::test
