// A relay that lies on a server's behalf: a display of its own in front of
// a real X server, passing what clients send unchanged and changing one
// message the server sends on one connection: the first it accepts is the
// proxy's own (made before any client's), the next ones are the links the
// proxy opens for its clients.
//
// The server's stream is framed in the connection's byte order: the set-up
// answer, then 32-byte messages, replies and generic events with their
// 32-bit length. One mutation picks a message by kind and ordinal and
// cuts it (the connection stays open and silent), lengthens or shortens
// its length, drops it, sends it twice, or turns it into a generic event
// that claims 0xffffffff words. Events and errors are rare on a quiet
// connection, so those kinds count replies instead: an event is made up
// and sent before reply #ordinal, or the reply is replaced by an error
// for its request; the made-up message is then changed as above.
// Everything runs on a thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "support/xvfb.h"

namespace palvon::test {

struct Mutation {
  enum class Kind : uint8_t { kSetup, kReply, kEvent, kError };
  enum class Op : uint8_t { kCut, kCutClose, kLengthen, kShorten, kDrop, kDuplicate, kEndlessGeneric };
  Kind kind = Kind::kReply;
  Op op = Op::kDrop;
  uint32_t ordinal = 0;  // which message of the kind (0 = the first)
  uint32_t amount = 1;   // words added or taken
  // A seed decides every field: the kind is given, the rest follows.
  static Mutation fromSeed(Kind kind, uint32_t seed);
  std::string describe() const;
};

class MutatingRelay {
 public:
  // `connection`: which accepted connection is lied to (0: the first).
  MutatingRelay(const std::string& serverSocket, const Mutation& mutation, int connection = 0);
  ~MutatingRelay();
  MutatingRelay(const MutatingRelay&) = delete;
  MutatingRelay& operator=(const MutatingRelay&) = delete;

  bool ok() const { return listenFd_ >= 0; }
  int number() const { return claim_.number(); }
  std::string display() const { return claim_.name(); }
  // Whether the mutation has been applied.
  bool applied() const { return applied_; }

 private:
  void run();
  ClaimedDisplay claim_{500};
  std::string server_;
  Mutation mutation_;
  int connection_ = 0;
  int listenFd_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> applied_{false};
  std::thread thread_;
};

}  // namespace palvon::test
