// An extension relay for tests: a display of its own in front of a real X
// server, so that a test can give that server extensions it lacks, hide or
// renumber ones it has, change its answers and watch what reaches it.
//
// On a display number claimed through the rig, the relay accepts
// connections and opens one to the real server for each, passing the
// bytes both ways on a thread of its own. It frames both streams in the
// client's byte order: the connection set-up and its answer; requests by
// their 16-bit length, or their 32-bit length once the connection sent
// BigReqEnable; replies, events, generic events and errors. What no
// feature touches passes unchanged.
//
// Features (each applies to messages framed after the call):
//  - fake extensions, added to QueryExtension and ListExtensions; their
//    requests reach the server only as a stand-in of the same sequence
//    (NoOperation, or GetInputFocus whose reply the test's responder
//    replaces);
//  - a real extension hidden, or moved to other codes (its requests,
//    events, errors and QueryExtension answer rewritten both ways);
//  - the server's replies to requests of one key rewritten by the test;
//  - an event or error injected once the server has answered a request of
//    one key (the relay asks the server a round trip of its own behind
//    that request, which the client never sees);
//  - the answer to a request of one key held back, with everything the
//    server sends after it, until released;
//  - a log of every extension request of each connection.
//
// Keys name requests as the client sends them: the major opcode, and the
// minor opcode for an extension major (128 and up). Callbacks run on the
// relay's thread. Main thread for everything else.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/xvfb.h"

namespace palvon::test {

using Bytes = std::vector<uint8_t>;

// Fields of a message in a connection's byte order ('l' or 'B').
uint16_t wire16(const Bytes& b, size_t at, char order);
uint32_t wire32(const Bytes& b, size_t at, char order);
void putWire16(Bytes& b, size_t at, uint16_t value, char order);
void putWire32(Bytes& b, size_t at, uint32_t value, char order);

class ExtensionRelay {
 public:
  // Relays to the server of that socket path (an Xvfb's socketPath()).
  explicit ExtensionRelay(const std::string& serverSocket);
  explicit ExtensionRelay(const Xvfb& server) : ExtensionRelay(server.socketPath()) {}
  ~ExtensionRelay();
  ExtensionRelay(const ExtensionRelay&) = delete;
  ExtensionRelay& operator=(const ExtensionRelay&) = delete;

  // False when no display number could be claimed or the server's
  // extensions could not be read; error() says why.
  bool ok() const { return number_ >= 0; }
  const std::string& error() const { return error_; }
  int number() const { return number_; }
  std::string display() const { return std::string(":").append(std::to_string(number_)); }

  // The real server's codes of an extension; false when it lacks it.
  struct Codes {
    uint8_t major = 0, firstEvent = 0, firstError = 0;
  };
  bool serverCodes(const std::string& name, Codes* codes) const;

  // --- Features ----------------------------------------------------------------
  void addFakeExtension(const std::string& name, uint8_t major, uint8_t firstEvent = 0, uint8_t firstError = 0);
  // The answer to a request of a fake extension (its bytes in the client's
  // order): a reply or an error of 32 bytes or more, whose sequence and
  // reply length the relay fills in, or nothing for a request without one.
  using Responder = std::function<Bytes(const Bytes& request, char order)>;
  void setFakeResponder(uint8_t major, Responder responder);
  void hideExtension(const std::string& name);
  // The extension (which the server must have) offered at other codes.
  void moveExtension(const std::string& name, uint8_t major, uint8_t firstEvent = 0, uint8_t eventCount = 0,
                     uint8_t firstError = 0, uint8_t errorCount = 0);
  // Edits every reply to requests of the key, in the client's order.
  using ReplyEdit = std::function<void(Bytes& reply, char order)>;
  void rewriteReply(uint8_t major, uint8_t minor, ReplyEdit edit);
  // After the server's answer to each request of the key, the message (an
  // event or an error; the relay writes the request's sequence into it).
  void injectAfter(uint8_t major, uint8_t minor, Bytes message);
  // Holds back the answer to the next request of the key, and all the
  // server sends after it, until release().
  void holdAnswer(uint8_t major, uint8_t minor);
  void release();
  bool holding() const;

  // --- What passed --------------------------------------------------------------
  struct LoggedRequest {
    uint8_t major, minor;  // as the client sent them
    uint64_t sequence;     // the client's sequence number
    char order;
    Bytes bytes;           // the whole request as the client sent it
  };
  // Connections in the order they were accepted.
  size_t connectionCount() const;
  std::vector<LoggedRequest> extensionRequests(size_t connection) const;
  // Over every connection.
  std::vector<LoggedRequest> allExtensionRequests() const;
  void clearLog();
  // Every byte of each direction as it arrived and as it left; kept only
  // after keepTranscripts(true), for connections accepted later.
  struct Transcript {
    Bytes fromClient, toServer, fromServer, toClient;
  };
  void keepTranscripts(bool keep);
  Transcript transcript(size_t connection) const;
  // Waits until `condition` holds (checked whenever the relay passed
  // bytes, and every 50 ms); false after timeoutMs.
  bool waitFor(const std::function<bool()>& condition, int timeoutMs = 10000) const;

 private:
  struct Connection;
  struct Key {
    uint8_t major, minor;
    bool operator<(const Key& o) const { return major != o.major ? major < o.major : minor < o.minor; }
  };
  struct Moved {
    Codes server, client;
    uint8_t eventCount, errorCount;
  };
  static Key keyOf(uint8_t major, uint8_t minor) { return {major, major >= 128 ? minor : uint8_t{0}}; }

  bool readServerExtensions(const std::string& socket);
  void run();
  void accept();
  bool pump(Connection& c, bool fromClient);
  bool flushSide(Connection& c, bool toClient);
  void clientBytes(Connection& c);
  void serverBytes(Connection& c);
  void request(Connection& c, Bytes& r);
  void serverMessage(Connection& c, Bytes& m);
  void setupAnswer(Connection& c, Bytes& m);
  void editQueryExtension(Connection& c, Bytes& reply, const std::string& name);
  void editListExtensions(Connection& c, Bytes& reply);
  void renumberEvent(Connection& c, Bytes& m);
  void renumberError(Connection& c, Bytes& m);
  void toClient(Connection& c, const Bytes& m);
  void toServer(Connection& c, const Bytes& r);

  std::string socket_;
  std::string error_;
  int number_ = -1;
  std::unique_ptr<ClaimedDisplay> claim_;
  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  std::map<std::string, Codes> serverExtensions_;
  std::thread thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, Codes> fakes_;
  std::map<uint8_t, Responder> responders_;
  std::vector<std::string> hidden_;
  std::map<std::string, Moved> moved_;
  std::map<Key, ReplyEdit> edits_;
  std::map<Key, std::vector<Bytes>> injections_;
  std::vector<Key> holds_;
  bool holding_ = false;
  bool releaseNow_ = false;
  bool keepTranscripts_ = false;
  std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace palvon::test
