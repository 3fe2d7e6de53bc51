// A client of the proxy without a real client socket, with real ServerLinks
// to real Xvfb servers: what the proxy delivers to the client is read back
// from a socket pair, and every wait has a deadline.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <X11/Xlib.h>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/links/serverlink.h"
#include "support/xvfb.h"

namespace palvon::test {

using Message = std::vector<u8>;

// What a server said in its connection set-up (read in its byte order).
struct ServerSetup {
  u32 idBase = 0;
  u32 idMask = 0;
  u32 root = 0;
  u32 colormap = 0;
  u32 rootVisual = 0;
  u8 rootDepth = 0;
  u32 white = 0;
  u32 black = 0;
};

class LinkRig {
 public:
  LinkRig();
  ~LinkRig();
  LinkRig(const LinkRig&) = delete;
  LinkRig& operator=(const LinkRig&) = delete;

  // Opens a link to the server, as server index `index`, speaking MSB first
  // when bigEndian; waits for its set-up. Null (with a failure) when it fails.
  // The registry's code map for that server, when given, renumbers
  // extension codes on the link.
  ServerLink* open(const Xvfb& xvfb, bool bigEndian, u32 index = 0, u32 offlineTimeoutMs = 10000,
                   const ExtensionCodeMap* codes = nullptr);
  ProxyClient* client() { return &client_; }
  const ServerSetup& setup(u32 index) const { return setups_[index]; }
  // A fresh id of the client on that server.
  u32 newId(u32 index);

  // The client's next request: counts it as the parser would.
  void nextRequest() { client_.requestCounter++; }
  // Forwards a request built in the proxy's order, swapping it for the link.
  u8* forward(ServerLink* link, const std::vector<u8>& request, const char* layout);

  // Reads and dispatches what the links send until `done` says so or the
  // deadline passes; returns done().
  bool pump(const std::function<bool()>& done, int timeoutMs = 10000);
  // Flushes every link, then pumps until each link has answered a marker.
  bool sync(int timeoutMs = 10000);
  // Messages delivered to the client so far (all taken out).
  std::vector<Message> take();
  // Every byte delivered so far, unframed (a set-up refusal).
  Message takeRaw();

 private:
  ProxyClient client_{};
  int pair_[2] = {-1, -1};
  std::vector<ServerSetup> setups_;
  std::vector<u32> nextIds_;
  std::vector<u8> received_;
  void readClientSide();
};

// A link that is never connected: what is written to it is read back with
// take(). The client, when given, provides the request counter.
class OfflineLink {
 public:
  explicit OfflineLink(ProxyClient* client = nullptr, bool swap = false);
  ~OfflineLink();
  OfflineLink(const OfflineLink&) = delete;
  OfflineLink& operator=(const OfflineLink&) = delete;
  ServerLink* link() { return link_; }
  RequestWriter* writer() { return &link_->writer; }
  // Everything queued since the last call.
  std::vector<u8> take();

 private:
  ServerLink* link_;
};

// A request in the proxy's byte order: header and body padded to 4.
std::vector<u8> makeRequest(u8 major, u8 data, const std::vector<u8>& body);
void put16At(std::vector<u8>& bytes, size_t offset, u16 value);
void put32At(std::vector<u8>& bytes, size_t offset, u32 value);
u16 get16At(const std::vector<u8>& bytes, size_t offset);
u32 get32At(const std::vector<u8>& bytes, size_t offset);

// MIT-SHM registered as the only module on fresh extension tables, and
// `codes` set up to carry its major to the one `own` (a connection to the
// link's server) reports; null when that server lacks MIT-SHM.
ExtensionEntry* registerShmForLink(Display* own, ExtensionCodeMap* codes);

}  // namespace palvon::test
