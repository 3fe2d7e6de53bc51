// A TCP relay for tests: listens on the loopback at 127.0.0.1:6000+N (N a
// display number claimed through the rig) in front of a real X server's
// Unix socket, and passes bytes both ways on a thread of its own, so that
// a test can offer a server "far away" whose connects it controls.
//
// The relay numbers the connections it accepts on one counter that all
// relays of the process share, so that a test can tell in which order
// connections reached several relays. New connects can be:
//  - passed on (the default);
//  - held: the relay stops accepting and fills its accept queue with a
//    connection of its own, so that the kernel drops further connects
//    unanswered and the connecting side keeps trying; release() takes the
//    filler away and the next try gets in;
//  - refused: nothing listens any more;
//  - silenced: accepted and never passed on (the set-up is never answered);
//    what such connections sent is kept for the test;
//  - stalled after the set-up: passed on until the server's set-up reply
//    and a given number of messages after it have gone through, after
//    which nothing more of the server reaches the connecting side (its
//    requests still reach the server);
//  - late: passed on, each message after the set-up reply and a given
//    number of messages after it held back a given time (from when the
//    relay sees it, one after the other).
// Everything except the thread's work runs on the test's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/xvfb.h"

namespace palvon::test {

class TcpRelay {
 public:
  enum class Mode { kPass, kHold, kRefuse, kSilence, kStallAfterSetup, kLate };

  explicit TcpRelay(const std::string& serverSocket);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  bool ok() const { return listenFd_ >= 0; }
  int number() const { return claim_.number(); }
  // The display name that reaches the relay over TCP: "127.0.0.1:N".
  std::string display() const { return "127.0.0.1:" + std::to_string(claim_.number()); }

  // Takes effect for connects made after the call; false when a hold could
  // not fill the queue. `answers`: the messages (replies, events, errors)
  // a stalled connection still passes after the set-up reply, or a late
  // one passes on time; `lateMs` how long a late one holds each back.
  bool setMode(Mode mode, int answers = 0, int lateMs = 0);
  // From held back to passing: the connect held gets in at its next try.
  void release();
  // The shared arrival numbers of the connections accepted so far (the
  // filler of a hold not counted).
  std::vector<long> arrivals() const;

  // The next arrival number any relay would hand out.
  static long nextArrival();
  // Every byte the silenced connections have sent so far.
  std::string silencedBytes();

 private:
  void run();
  void wake();
  struct Pair {
    int client, server;
    long answers;      // messages after the set-up reply still passed on; -1 all
    bool setupPassed;  // the set-up reply has begun to go through
    long messageLeft;  // bytes of the message going through
    char order;        // the client's byte order, from its first byte
    long onTime;       // messages after the set-up reply passed before the lateness
    long lateMs;       // how long each message is then held back; 0 none
    std::chrono::steady_clock::time_point due;  // of the message held back; {} none
    bool stalled() const { return answers == 0 && setupPassed && messageLeft == 0; }
    bool holding() const { return due != std::chrono::steady_clock::time_point{}; }
  };
  void acceptOne(std::vector<Pair>& pairs);
  static bool passServerBytes(Pair& pair);

  ClaimedDisplay claim_{520};
  std::string server_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  int fillerFd_ = -1;
  int fillerPort_ = -1;
  std::atomic<Mode> mode_{Mode::kPass};
  std::atomic<int> answers_{0};
  std::atomic<int> lateMs_{0};
  std::atomic<long> turns_{0};  // loop turns of the thread, to know a mode is seen
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<long> arrivals_;
  std::vector<int> silenced_;
  std::string silencedBytes_;
  std::thread thread_;
};

}  // namespace palvon::test
