// An in-process proxy for client-layer tests: listens on a free display
// number, lets the test step its event loop, and builds raw set-ups and
// requests. No real X server is involved.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "Proxy/clients/client.h"
#include "support/rawclient.h"

namespace palvon::test {

class ProxyLoopTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  void step(int times = 3);
  // Steps the loop until the condition holds (at most 3 s).
  bool stepUntil(const std::function<bool()>& condition);
  static bool listed(const ProxyClient* client);
  static ProxyClient* newestClient();
  // Connects and sends a set-up; the new client's record, or null when it
  // was refused.
  ProxyClient* connect(RawClient& raw, char order = 'l');
  static Bytes setupBytes(char order, u16 major = 11, u16 minor = 0, u8 marker = 0, u16 word = 0,
                          const std::string& name = "", const std::string& data = "");
  // Reads at least n bytes (fewer when the peer closes or time runs out).
  Bytes readBytes(RawClient& raw, size_t n);
  bool peerClosed(RawClient& raw);
  // The reason of a refused set-up read from the socket ("" when none came).
  std::string refusalText(RawClient& raw);

  int display = 0;
  std::string lockFile;
};

// Sends a pattern of requests again and again without blocking, keeping the
// stream whole across partial writes. feed returns the bytes sent this time.
class RequestFeeder {
 public:
  explicit RequestFeeder(Bytes pattern) : pattern_(std::move(pattern)) {}
  size_t feed(int fd);

 private:
  Bytes pattern_;
  size_t at_ = 0;
};

// A request of `words` 4-byte units (or the big form with bigWords) in the
// byte order, its body filled with a counting pattern.
Bytes rawRequest(char order, u8 major, u8 data, u32 words, u32 bigWords = 0);

}  // namespace palvon::test
