#include "support/flood.h"

#include <X11/X.h>
#include <X11/Xproto.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "support/rawclient.h"

namespace palvon::test {

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point from) {
  return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

int pollMs(Clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1000));
}

// A screen as the set-up reply gives it.
struct Screen {
  uint32_t root = 0;
  uint16_t width = 0, height = 0;
};

std::vector<Screen> screensOf(const RawClient& raw) {
  const Bytes& s = raw.setupReply();
  std::vector<Screen> screens;
  if (s.size() < 40) return screens;
  size_t at = 40 + ((raw.get16(s, 24) + 3u) & ~3u) + 8 * size_t{s[29]};
  for (int i = 0; i < s[28] && at + 40 <= s.size(); i++) {
    screens.push_back({raw.get32(s, at), raw.get16(s, at + 20), raw.get16(s, at + 22)});
    size_t depths = s[at + 39];
    at += 40;
    for (size_t d = 0; d < depths && at + 8 <= s.size(); d++) at += 8 + 24 * size_t{raw.get16(s, at + 2)};
  }
  return screens;
}

// 64-bit sequence of a message's 16-bit one: the first at or after `last`.
uint64_t widen(uint64_t last, uint16_t sequence) { return last + static_cast<uint16_t>(sequence - last); }

std::string describe(const char* who, const Bytes& m, uint64_t expected) {
  std::string kind = m[0] == 0   ? "error " + std::to_string(m[1])
                     : m[0] == 1 ? "reply"
                                 : "event " + std::to_string(m[0]);
  return std::string(who) + ": " + kind + " of sequence " + std::to_string(m[2] | m[3] << 8) + " where " +
         std::to_string(expected & 0xffff) + " was due";
}

// A client whose requests are written whole, one at a time, each sync a
// round trip whose reply must carry its request's sequence.
struct Peer {
  RawClient raw;
  uint64_t sent = 0;
  std::string fault;  // the first message out of sequence or an error
  bool cut = false;

  bool open(int number, int limitMs) { return raw.connectUnix(number) && raw.setup('l', "", {}, limitMs) == 1; }
  bool send(const Bytes& request) {
    sent++;
    if (!raw.send(request)) cut = true;
    return !cut;
  }
  // A round trip; false when the connection went or no reply came in time
  // (`cut` tells), or the reply is not the round trip's.
  bool sync(const char* who, int limitMs) {
    if (!send(raw.request(X_GetInputFocus, 0))) return false;
    for (;;) {
      Bytes m = raw.readMessage(limitMs);
      if (m.empty()) {
        cut = true;
        return false;
      }
      if (m[0] > 1) continue;  // none is asked for; an event tells nothing here
      if (m[0] == 1 && raw.get16(m, 2) == static_cast<uint16_t>(sent)) return true;
      if (fault.empty()) fault = describe(who, m, sent);
      return false;
    }
  }
};

Bytes windowRequest(const RawClient& raw, uint32_t id, uint32_t parent, int x, int y, int width, int height,
                    uint32_t events) {
  Bytes body(40, 0);
  raw.put32(body, 0, id);
  raw.put32(body, 4, parent);
  raw.put16(body, 8, static_cast<uint16_t>(x));
  raw.put16(body, 10, static_cast<uint16_t>(y));
  raw.put16(body, 12, static_cast<uint16_t>(width));
  raw.put16(body, 14, static_cast<uint16_t>(height));
  raw.put16(body, 18, InputOutput);
  raw.put32(body, 24, CWBackPixel | CWOverrideRedirect | CWEventMask);
  raw.put32(body, 28, 0x336699);
  raw.put32(body, 32, 1);
  raw.put32(body, 36, events);
  return raw.request(X_CreateWindow, 0, body);
}

// The events a toolkit's top-level window asks for.
constexpr uint32_t kToolkitEvents = ExposureMask | StructureNotifyMask | FocusChangeMask | KeyPressMask |
                                    KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | EnterWindowMask |
                                    LeaveWindowMask | PropertyChangeMask;

// C or N: its window at 100,100 of the first root, with the events of a
// toolkit's window, mapped and synced, with a GC on it (graphics exposures
// on, as they are by default). The GC's function is XOR: a copy then costs
// the server several times a plain one, as it does on a slower machine or
// for a larger window, which is where a backlog of copies counts.
bool openWindowClient(Peer& peer, int number, const FloodPlan& plan, uint32_t* window) {
  if (!peer.open(number, plan.limitMs)) return false;
  *window = peer.raw.resourceIdBase() | 1;
  Bytes id(4, 0), gc(16, 0);
  peer.raw.put32(id, 0, *window);
  peer.raw.put32(gc, 0, peer.raw.resourceIdBase() | 2);
  peer.raw.put32(gc, 4, *window);
  peer.raw.put32(gc, 8, GCFunction);
  peer.raw.put32(gc, 12, GXxor);
  return peer.send(windowRequest(peer.raw, *window, peer.raw.rootWindow(), 100, 100, plan.width, plan.height,
                                 kToolkitEvents)) &&
         peer.send(peer.raw.request(X_MapWindow, 0, id)) && peer.send(peer.raw.request(X_CreateGC, 0, gc)) &&
         peer.sync("setting up", plan.limitMs);
}

// C's flood, from `start` on: batches of copies written as fast as its
// socket takes them, the events they give read as they come, the fake
// motion put between two batches when due, and at the flood's end the
// request under way finished and a sync written.
class Flooder {
 public:
  Flooder(Peer& peer, const FloodPlan& plan, uint32_t window, uint8_t xtest) : peer_(peer), plan_(plan) {
    RawClient& raw = peer.raw;
    Bytes copy(24, 0);
    raw.put32(copy, 0, window);
    raw.put32(copy, 4, window);
    raw.put32(copy, 8, raw.resourceIdBase() | 2);
    // One pixel down and right, as a scroll: a copy onto the same place
    // costs the server nothing.
    raw.put16(copy, 16, 1);
    raw.put16(copy, 18, 1);
    raw.put16(copy, 20, static_cast<uint16_t>(plan.width));
    raw.put16(copy, 22, static_cast<uint16_t>(plan.height));
    Bytes one = raw.request(X_CopyArea, 0, copy);
    for (int i = 0; i < plan.batch; i++) batch_.insert(batch_.end(), one.begin(), one.end());
    Bytes motion(32, 0);
    motion[0] = MotionNotify;
    motion[1] = 1;  // relative
    raw.put16(motion, 20, 30);
    raw.put16(motion, 22, 20);
    if (xtest) fake_ = raw.request(xtest, 2, motion);
    sync_ = raw.request(X_GetInputFocus, 0);
    seen_ = peer.sent;
  }

  void run(Clock::time_point start, FloodOutcome* out) {
    auto floodEnd = start + std::chrono::milliseconds(plan_.floodMs);
    auto fakeAt = start + std::chrono::milliseconds(plan_.actionAtMs);
    auto deadline = floodEnd + std::chrono::milliseconds(plan_.limitMs);
    bool flooding = true, faked = fake_.empty();
    while (!synced_ && !peer_.cut) {
      auto now = Clock::now();
      if (flooding && now >= floodEnd) {
        flooding = false;
        out->copies = copies_;
        // Only the request under way is finished.
        size_ = std::min(size_, (done_ + requestSize_ - 1) / requestSize_ * requestSize_);
      }
      if (done_ == size_) {
        if (flooding && !faked && now >= fakeAt) {
          faked = true;
          put(fake_, false);
        } else if (flooding) {
          put(batch_, true);
        } else if (syncSequence_ == 0) {
          put(sync_, false);
          syncSequence_ = peer_.sent + 1;
        }
      }
      if (!flooding && now >= deadline) {
        out->late = true;
        break;
      }
      pollfd p{peer_.raw.fd(), static_cast<short>(POLLIN | (done_ < size_ ? POLLOUT : 0)), 0};
      if (poll(&p, 1, pollMs(flooding ? floodEnd : deadline)) <= 0) continue;
      if (p.revents & (POLLIN | POLLHUP | POLLERR)) receive();
      if (p.revents & POLLOUT) write();
    }
    out->cut = peer_.cut;
    if (synced_) out->finalSyncMs = msSince(floodEnd);
  }

 private:
  void put(const Bytes& chunk, bool copies) {
    chunk_ = chunk.data();
    size_ = chunk.size();
    done_ = 0;
    requestSize_ = copies ? batch_.size() / static_cast<size_t>(plan_.batch) : chunk.size();
    chunkIsCopies_ = copies;
  }

  void write() {
    ssize_t n = ::send(peer_.raw.fd(), chunk_ + done_, size_ - done_, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno != EAGAIN && errno != EINTR) peer_.cut = true;
      return;
    }
    size_t before = done_ / requestSize_;
    done_ += static_cast<size_t>(n);
    size_t whole = done_ / requestSize_ - before;
    peer_.sent += whole;
    if (chunkIsCopies_) copies_ += whole;
  }

  void receive() {
    uint8_t buffer[65536];
    ssize_t n = recv(peer_.raw.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      peer_.cut = true;
      return;
    }
    if (n < 0) return;
    in_.insert(in_.end(), buffer, buffer + n);
    size_t at = 0;
    while (in_.size() - at >= 32) {
      const uint8_t* m = in_.data() + at;
      size_t length = 32 + (m[0] == 1 ? 4 * size_t{peer_.raw.get32(in_, at + 4)} : 0);
      if (in_.size() - at < length) break;
      check(Bytes(m, m + 32));
      at += length;
    }
    in_.erase(in_.begin(), in_.begin() + static_cast<long>(at));
  }

  // Events of copies already written, in order; one reply, the sync's.
  void check(const Bytes& m) {
    uint64_t sequence = widen(seen_, peer_.raw.get16(m, 2));
    bool inOrder = m[0] > 1 ? sequence <= peer_.sent : m[0] == 1 && sequence == syncSequence_;
    if (!inOrder && peer_.fault.empty()) peer_.fault = describe("C", m, m[0] == 1 ? syncSequence_ : peer_.sent);
    if (inOrder && m[0] == 1) synced_ = true;
    if (inOrder) seen_ = sequence;
  }

  Peer& peer_;
  const FloodPlan& plan_;
  Bytes batch_, fake_, sync_, in_;
  const uint8_t* chunk_ = nullptr;
  size_t size_ = 0, done_ = 0, requestSize_ = 1;
  bool chunkIsCopies_ = false, synced_ = false;
  uint64_t copies_ = 0, seen_ = 0, syncSequence_ = 0;
};

// The acting client's steps, each a request and a round trip.
void act(Peer& actor, const FloodPlan& plan, uint32_t window, FloodOutcome* out) {
  std::vector<Screen> screens = screensOf(actor.raw);
  RawClient& raw = actor.raw;
  auto warp = [&](uint32_t root, int x, int y) {
    Bytes body(20, 0);
    raw.put32(body, 4, root);
    raw.put16(body, 16, static_cast<uint16_t>(x));
    raw.put16(body, 18, static_cast<uint16_t>(y));
    return raw.request(X_WarpPointer, 0, body);
  };
  // The focus goes to a window of the acting client's own and to C's in
  // turn, as a window manager moves it; its window is made beforehand.
  uint32_t own = raw.resourceIdBase() | 2;
  if (plan.action == FloodAction::kFocus) {
    Bytes id(4, 0);
    raw.put32(id, 0, own);
    if (!actor.send(windowRequest(raw, own, screens[0].root, 1150, 50, 100, 100, 0)) ||
        !actor.send(raw.request(X_MapWindow, 0, id)) || !actor.sync("the acting client", plan.limitMs)) {
      out->actorCut = actor.cut;
      return;
    }
  }
  std::vector<Bytes> steps;
  for (int i = 0; i < plan.times; i++) {
    switch (plan.action) {
      case FloodAction::kFocus: {
        Bytes body(8, 0);
        raw.put32(body, 0, i % 2 ? window : own);
        steps.push_back(raw.request(X_SetInputFocus, RevertToPointerRoot, body));
        break;
      }
      case FloodAction::kWarpOverSeam:
        steps.push_back(
            warp(screens[0].root, (plan.seamX ? plan.seamX : screens[0].width / 2) + (i % 2 ? 10 : -10), 500));
        break;
      case FloodAction::kOtherScreenAndBack:
        steps.push_back(warp(screens[1].root, 600, 500));
        steps.push_back(warp(screens[0].root, 600, 500));
        break;
      case FloodAction::kTopLevelWindow:
        if (i == 0)
          steps.push_back(windowRequest(raw, raw.resourceIdBase() | 1, screens[0].root, 300, 300, 400, 300, 0));
        break;
      default: break;
    }
  }
  if (steps.empty()) return;
  auto start = Clock::now();
  for (const Bytes& step : steps)
    if (!actor.send(step) || !actor.sync("the acting client", plan.limitMs)) break;
  out->actionMs = msSince(start);
  out->actorCut = actor.cut;
}

// N's images, each a reply of the whole window in order, with the events
// of the pointer's moves (crossings) among them.
void readImages(Peer& unread, const FloodPlan& plan, uint64_t first, Clock::time_point from, FloodOutcome* out) {
  size_t size = 32 + 4 * size_t(plan.width) * size_t(plan.height);
  uint64_t seen = first - 1;
  auto deadline = Clock::now() + std::chrono::milliseconds(plan.limitMs);
  for (uint64_t due = first; due < first + uint64_t(plan.images);) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    Bytes m = unread.raw.readMessage(static_cast<int>(std::max<long long>(left, 1)));
    if (m.empty()) {
      out->cut = unread.raw.closed();
      out->late = !out->cut;
      return;
    }
    uint64_t sequence = widen(seen, unread.raw.get16(m, 2));
    bool inOrder = m[0] > 1 ? sequence <= due : m[0] == 1 && sequence == due && m.size() == size;
    if (!inOrder) {
      if (unread.fault.empty()) unread.fault = describe("N", m, due);
      return;
    }
    seen = sequence;
    due += m[0] == 1;
  }
  out->finalSyncMs = msSince(from);
}

}  // namespace

FloodOutcome runFlood(const std::string& display, const FloodPlan& plan) {
  FloodOutcome out;
  int number = std::atoi(display.c_str() + (display[0] == ':'));
  Peer busy, other, actor;
  uint32_t window = 0;
  if (!openWindowClient(busy, number, plan, &window) || !other.open(number, plan.limitMs) ||
      !actor.open(number, plan.limitMs)) {
    out.problem = "cannot set up the clients on " + display;
    return out;
  }
  size_t screens = screensOf(actor.raw).size();
  if (plan.action == FloodAction::kOtherScreenAndBack && screens < 2) {
    out.problem = display + " has one screen";
    return out;
  }
  uint8_t xtest = 0;
  if (plan.action == FloodAction::kFakeMotion && !plan.unread) {
    busy.sent++;
    xtest = busy.raw.queryExtension("XTEST", plan.limitMs).major;
    if (!xtest) {
      out.problem = display + " has no XTEST";
      return out;
    }
  }

  auto start = Clock::now();
  std::atomic<bool> stop{false};
  std::thread trips([&] {
    while (!stop) {
      auto trip = Clock::now();
      bool answered = other.sync("M", plan.limitMs);
      out.longestTripMs = std::max(out.longestTripMs, msSince(trip));
      if (!answered) break;
    }
    out.otherCut = other.cut;
  });
  std::thread flood;
  uint64_t firstImage = busy.sent + 1;
  if (plan.unread) {
    Bytes image(16, 0);
    busy.raw.put32(image, 0, window);
    busy.raw.put16(image, 8, static_cast<uint16_t>(plan.width));
    busy.raw.put16(image, 10, static_cast<uint16_t>(plan.height));
    busy.raw.put32(image, 12, 0xffffffff);
    for (int i = 0; i < plan.images; i++) busy.send(busy.raw.request(X_GetImage, ZPixmap, image));
  } else {
    flood = std::thread([&] { Flooder(busy, plan, window, xtest).run(start, &out); });
  }
  std::this_thread::sleep_until(start + std::chrono::milliseconds(plan.actionAtMs));
  act(actor, plan, window, &out);
  auto end = start + std::chrono::milliseconds(plan.floodMs);
  if (plan.unread) {
    std::this_thread::sleep_until(end);
    stop = true;
    trips.join();
    readImages(busy, plan, firstImage, end, &out);
  } else {
    flood.join();
    stop = true;
    trips.join();
  }
  out.cut = out.cut || busy.cut;
  for (const std::string* fault : {&busy.fault, &other.fault, &actor.fault})
    if (out.outOfSequence.empty()) out.outOfSequence = *fault;
  return out;
}

}  // namespace palvon::test
