#include "support/peers/extrelay.h"
#include "support/peers/unixsocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "support/rawclient.h"
#include "support/waitfor.h"

namespace palvon::test {

namespace {

constexpr uint8_t kQueryExtension = 98, kListExtensions = 99, kGetInputFocus = 43, kNoOperation = 127;
constexpr uint8_t kKeymapNotify = 11, kGenericEvent = 35;

size_t pad4(size_t n) { return (n + 3) & ~size_t{3}; }

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// A 4-byte request of the relay's own in the connection's order.
Bytes shortRequest(uint8_t major, char order) {
  Bytes r(4, 0);
  r[0] = major;
  putWire16(r, 2, 1, order);
  return r;
}

}  // namespace

uint16_t wire16(const Bytes& b, size_t at, char order) {
  return order == 'B' ? static_cast<uint16_t>(b[at] << 8 | b[at + 1]) : static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

uint32_t wire32(const Bytes& b, size_t at, char order) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v |= uint32_t{b[at + i]} << (order == 'B' ? 8 * (3 - i) : 8 * i);
  return v;
}

void putWire16(Bytes& b, size_t at, uint16_t value, char order) {
  b[at] = static_cast<uint8_t>(order == 'B' ? value >> 8 : value);
  b[at + 1] = static_cast<uint8_t>(order == 'B' ? value : value >> 8);
}

void putWire32(Bytes& b, size_t at, uint32_t value, char order) {
  for (int i = 0; i < 4; i++) b[at + i] = static_cast<uint8_t>(value >> (order == 'B' ? 8 * (3 - i) : 8 * i));
}

// What the relay remembers of one request until the server has answered it.
struct Expected {
  uint8_t major = 0, minor = 0;
  std::string queryName;  // QueryExtension: the name asked for
  bool list = false;      // ListExtensions
  bool standIn = false;   // a fake extension's request: the answer replaces the server's
  Bytes answer;
  bool own = false;       // the relay's round trip: the server's answer is dropped
  Bytes inject;           // an own round trip's message for the client
  bool hold = false;
};

struct ExtensionRelay::Connection {
  int clientFd = -1, serverFd = -1;
  bool open = true;
  char order = 0;             // 0 until the set-up arrived
  bool setupAnswered = false;
  bool big = false;           // BigReqEnable passed: zero lengths are 32-bit
  Bytes fromClient, fromServer;
  Bytes clientOut, serverOut;  // queued output
  bool holding = false;
  Bytes held;                  // the server's messages held back, translated
  uint64_t clientSequence = 0, serverSequence = 0, lastServerSequence = 0;
  std::deque<uint64_t> own;    // server sequences of the relay's round trips not yet passed
  uint64_t ownPassed = 0;
  std::map<uint64_t, Expected> expected;  // by server sequence
  std::vector<LoggedRequest> log;
  bool keepTranscript = false;
  Transcript transcript;
};

ExtensionRelay::ExtensionRelay(const std::string& serverSocket) : socket_(serverSocket) {
  if (!readServerExtensions(serverSocket)) return;
  mkdir("/tmp/.X11-unix", 01777);
  claim_ = std::make_unique<ClaimedDisplay>(300 + getpid() % 300);
  if (!claim_->ok()) {
    error_ = "no display number to claim";
    return;
  }
  std::string path = "/tmp/.X11-unix/X" + std::to_string(claim_->number());
  int fd = listenUnixSocket(path, 16);
  if (fd < 0 || pipe2(wakePipe_, O_CLOEXEC) != 0) {
    error_ = std::string("cannot listen on ") + path + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return;
  }
  listenFd_ = fd;
  number_ = claim_->number();
  thread_ = std::thread([this] { run(); });
}

ExtensionRelay::~ExtensionRelay() {
  if (thread_.joinable()) {
    char stop = 's';
    (void)!write(wakePipe_[1], &stop, 1);
    thread_.join();
  }
  for (auto& c : connections_) {
    if (c->clientFd >= 0) close(c->clientFd);
    if (c->serverFd >= 0) close(c->serverFd);
  }
  for (int fd : {listenFd_, wakePipe_[0], wakePipe_[1]}) {
    if (fd >= 0) close(fd);
  }
  if (number_ >= 0) unlink(("/tmp/.X11-unix/X" + std::to_string(number_)).c_str());
}

// Asks the server for every extension's codes once: the relay needs them
// before any client asks (BigReqEnable, hiding and moving by name).
bool ExtensionRelay::readServerExtensions(const std::string& socket) {
  RawClient raw;
  if (!raw.connectUnixPath(socket) || raw.setup('l') != 1) {
    error_ = "cannot reach the server at " + socket;
    return false;
  }
  raw.send(raw.request(kListExtensions, 0));
  Bytes list = raw.readMessage();
  if (list.size() < 32 || list[0] != 1) {
    error_ = "no extension list from the server";
    return false;
  }
  std::vector<std::string> names;
  for (size_t at = 32, k = 0; k < list[1] && at < list.size(); k++) {
    size_t n = list[at];
    names.emplace_back(list.begin() + static_cast<long>(at + 1),
                       list.begin() + static_cast<long>(std::min(at + 1 + n, list.size())));
    at += 1 + n;
  }
  for (const std::string& name : names) {
    Bytes body(4 + pad4(name.size()), 0);
    raw.put16(body, 0, static_cast<uint16_t>(name.size()));
    std::copy(name.begin(), name.end(), body.begin() + 4);
    raw.send(raw.request(kQueryExtension, 0, body));
    Bytes answer = raw.readMessage();
    if (answer.size() >= 32 && answer[0] == 1 && answer[8]) serverExtensions_[name] = {answer[9], answer[10], answer[11]};
  }
  return true;
}

bool ExtensionRelay::serverCodes(const std::string& name, Codes* codes) const {
  auto found = serverExtensions_.find(name);
  if (found == serverExtensions_.end()) return false;
  *codes = found->second;
  return true;
}

// --- Features -----------------------------------------------------------------------

void ExtensionRelay::addFakeExtension(const std::string& name, uint8_t major, uint8_t firstEvent, uint8_t firstError) {
  std::lock_guard<std::mutex> lock(mutex_);
  fakes_[name] = {major, firstEvent, firstError};
}

void ExtensionRelay::setFakeResponder(uint8_t major, Responder responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responders_[major] = std::move(responder);
}

void ExtensionRelay::hideExtension(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  hidden_.push_back(name);
}

void ExtensionRelay::moveExtension(const std::string& name, uint8_t major, uint8_t firstEvent, uint8_t eventCount,
                                   uint8_t firstError, uint8_t errorCount) {
  Codes server;
  if (!serverCodes(name, &server)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  moved_[name] = {server, {major, firstEvent, firstError}, eventCount, errorCount};
}

void ExtensionRelay::rewriteReply(uint8_t major, uint8_t minor, ReplyEdit edit) {
  std::lock_guard<std::mutex> lock(mutex_);
  edits_[keyOf(major, minor)] = std::move(edit);
}

void ExtensionRelay::injectAfter(uint8_t major, uint8_t minor, Bytes message) {
  std::lock_guard<std::mutex> lock(mutex_);
  injections_[keyOf(major, minor)].push_back(std::move(message));
}

void ExtensionRelay::holdAnswer(uint8_t major, uint8_t minor) {
  std::lock_guard<std::mutex> lock(mutex_);
  holds_.push_back(keyOf(major, minor));
}

void ExtensionRelay::release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    releaseNow_ = true;
  }
  char wake = 'w';
  (void)!write(wakePipe_[1], &wake, 1);
}

bool ExtensionRelay::holding() const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& c : connections_) {
    if (c->holding) return true;
  }
  return false;
}

// --- What passed ----------------------------------------------------------------------

size_t ExtensionRelay::connectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_.size();
}

std::vector<ExtensionRelay::LoggedRequest> ExtensionRelay::extensionRequests(size_t connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connection < connections_.size() ? connections_[connection]->log : std::vector<LoggedRequest>{};
}

std::vector<ExtensionRelay::LoggedRequest> ExtensionRelay::allExtensionRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<LoggedRequest> all;
  for (const auto& c : connections_) all.insert(all.end(), c->log.begin(), c->log.end());
  return all;
}

void ExtensionRelay::clearLog() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& c : connections_) c->log.clear();
}

void ExtensionRelay::keepTranscripts(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keepTranscripts_ = keep;
}

ExtensionRelay::Transcript ExtensionRelay::transcript(size_t connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connection < connections_.size() ? connections_[connection]->transcript : Transcript{};
}

bool ExtensionRelay::waitFor(const std::function<bool()>& condition, int timeoutMs) const {
  return test::waitFor(condition, timeoutMs, [this](int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(std::min(ms, 50)));
  });
}

// --- The loop ---------------------------------------------------------------------------

void ExtensionRelay::run() {
  for (;;) {
    std::vector<pollfd> fds = {{wakePipe_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
    std::vector<Connection*> polled;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& c : connections_) {
        if (!c->open) continue;
        polled.push_back(c.get());
        fds.push_back({c->clientFd, static_cast<short>(POLLIN | (c->clientOut.empty() ? 0 : POLLOUT)), 0});
        fds.push_back({c->serverFd, static_cast<short>(POLLIN | (c->serverOut.empty() ? 0 : POLLOUT)), 0});
      }
    }
    if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) return;
    if (fds[0].revents & POLLIN) {
      char note[16];
      ssize_t n = read(wakePipe_[0], note, sizeof note);
      if (n > 0 && std::memchr(note, 's', static_cast<size_t>(n))) return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (releaseNow_) {
      releaseNow_ = false;
      holds_.clear();
      for (auto& c : connections_) {
        c->holding = false;
        if (c->open && !c->held.empty()) toClient(*c, c->held);
        c->held.clear();
      }
    }
    for (size_t i = 0; i < polled.size(); i++) {
      Connection& c = *polled[i];
      short fromClient = fds[2 + 2 * i].revents, fromServer = fds[3 + 2 * i].revents;
      bool ok = true;
      if (fromClient & (POLLIN | POLLHUP | POLLERR)) ok = pump(c, true);
      if (ok && (fromServer & (POLLIN | POLLHUP | POLLERR))) ok = pump(c, false);
      if (ok) ok = flushSide(c, false) && flushSide(c, true);
      if (!ok) {
        // One side went away: so does the other, with what it was still owed.
        flushSide(c, true);
        c.open = false;
        close(c.clientFd);
        close(c.serverFd);
        c.clientFd = c.serverFd = -1;
      }
    }
    if (fds[1].revents & POLLIN) accept();
    changed_.notify_all();
  }
}

void ExtensionRelay::accept() {
  int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  int server = connectUnixSocket(socket_);
  if (server < 0) {
    close(client);
    return;
  }
  setNonBlocking(client);
  setNonBlocking(server);
  auto c = std::make_unique<Connection>();
  c->clientFd = client;
  c->serverFd = server;
  c->keepTranscript = keepTranscripts_;
  connections_.push_back(std::move(c));
}

bool ExtensionRelay::pump(Connection& c, bool fromClient) {
  uint8_t buffer[65536];
  ssize_t n = recv(fromClient ? c.clientFd : c.serverFd, buffer, sizeof buffer, 0);
  if (n < 0) return errno == EINTR || errno == EAGAIN;
  if (n == 0) return false;
  Bytes& in = fromClient ? c.fromClient : c.fromServer;
  in.insert(in.end(), buffer, buffer + n);
  if (c.keepTranscript) {
    Bytes& t = fromClient ? c.transcript.fromClient : c.transcript.fromServer;
    t.insert(t.end(), buffer, buffer + n);
  }
  if (fromClient)
    clientBytes(c);
  else
    serverBytes(c);
  return true;
}

bool ExtensionRelay::flushSide(Connection& c, bool toClientSide) {
  Bytes& out = toClientSide ? c.clientOut : c.serverOut;
  while (!out.empty()) {
    ssize_t n = send(toClientSide ? c.clientFd : c.serverFd, out.data(), out.size(), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    out.erase(out.begin(), out.begin() + n);
  }
  return true;
}

void ExtensionRelay::toClient(Connection& c, const Bytes& m) {
  if (c.holding) {
    c.held.insert(c.held.end(), m.begin(), m.end());
    return;
  }
  c.clientOut.insert(c.clientOut.end(), m.begin(), m.end());
  if (c.keepTranscript) c.transcript.toClient.insert(c.transcript.toClient.end(), m.begin(), m.end());
}

void ExtensionRelay::toServer(Connection& c, const Bytes& r) {
  c.serverOut.insert(c.serverOut.end(), r.begin(), r.end());
  if (c.keepTranscript) c.transcript.toServer.insert(c.transcript.toServer.end(), r.begin(), r.end());
}

// --- Client to server ----------------------------------------------------------------------

void ExtensionRelay::clientBytes(Connection& c) {
  Bytes& in = c.fromClient;
  size_t at = 0;
  for (;;) {
    size_t rest = in.size() - at;
    size_t length;
    if (!c.order) {
      if (rest < 12) break;
      char order = in[at] == 'B' ? 'B' : 'l';
      length = 12 + pad4(wire16(in, at + 6, order)) + pad4(wire16(in, at + 8, order));
      if (rest < length) break;
      c.order = order;
      toServer(c, Bytes(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + length)));
      at += length;
      continue;
    }
    if (rest < 4) break;
    length = size_t{wire16(in, at + 2, c.order)} * 4;
    if (length == 0 && c.big) {
      if (rest < 8) break;
      length = std::max<size_t>(size_t{wire32(in, at + 4, c.order)} * 4, 8);
    } else if (length == 0) {
      length = 4;
    }
    if (rest < length) break;
    Bytes r(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + length));
    at += length;
    request(c, r);
  }
  in.erase(in.begin(), in.begin() + static_cast<long>(at));
}

void ExtensionRelay::request(Connection& c, Bytes& r) {
  c.clientSequence++;
  uint8_t major = r[0], minor = r[1];
  Key key = keyOf(major, minor);
  if (major >= 128) c.log.push_back({major, minor, c.clientSequence, c.order, r});
  Expected expected;
  expected.major = major;
  expected.minor = minor;
  bool fake = false;
  for (const auto& [name, codes] : fakes_) fake = fake || codes.major == major;
  if (fake) {
    // Only a stand-in of one sequence reaches the server.
    auto responder = responders_.find(major);
    if (responder != responders_.end()) expected.answer = responder->second(r, c.order);
    expected.standIn = !expected.answer.empty();
    toServer(c, shortRequest(expected.standIn ? kGetInputFocus : kNoOperation, c.order));
  } else {
    for (const auto& [name, move] : moved_) {
      if (major == move.client.major) r[0] = move.server.major;
    }
    auto big = serverExtensions_.find("BIG-REQUESTS");
    if (big != serverExtensions_.end() && r[0] == big->second.major) c.big = true;
    if (major == kQueryExtension && r.size() >= 8)
      expected.queryName.assign(r.begin() + 8, r.begin() + static_cast<long>(std::min<size_t>(
                                                                8 + wire16(r, 4, c.order), r.size())));
    expected.list = major == kListExtensions;
    toServer(c, r);
  }
  c.serverSequence++;
  auto hold = std::find_if(holds_.begin(), holds_.end(),
                           [&](const Key& k) { return k.major == key.major && k.minor == key.minor; });
  if (hold != holds_.end()) {
    expected.hold = true;
    holds_.erase(hold);
  }
  // Only requests whose answer the relay changes are remembered.
  if (expected.standIn || expected.hold || expected.list || !expected.queryName.empty() || edits_.count(key))
    c.expected[c.serverSequence] = expected;
  auto inject = injections_.find(key);
  if (inject == injections_.end()) return;
  for (const Bytes& message : inject->second) {
    toServer(c, shortRequest(kGetInputFocus, c.order));
    c.serverSequence++;
    c.own.push_back(c.serverSequence);
    Expected own;
    own.own = true;
    own.inject = message;
    c.expected[c.serverSequence] = own;
  }
}

// --- Server to client ----------------------------------------------------------------------

void ExtensionRelay::serverBytes(Connection& c) {
  Bytes& in = c.fromServer;
  size_t at = 0;
  while (c.order) {
    size_t rest = in.size() - at;
    size_t length;
    if (!c.setupAnswered) {
      if (rest < 8) break;
      length = 8 + size_t{wire16(in, at + 6, c.order)} * 4;
    } else {
      if (rest < 32) break;
      uint8_t type = in[at];
      bool counted = type == 1 || (type & 0x7f) == kGenericEvent;
      length = 32 + (counted ? size_t{wire32(in, at + 4, c.order)} * 4 : 0);
    }
    if (rest < length) break;
    Bytes m(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + length));
    at += length;
    if (!c.setupAnswered) {
      c.setupAnswered = true;
      toClient(c, m);
      continue;
    }
    serverMessage(c, m);
  }
  in.erase(in.begin(), in.begin() + static_cast<long>(at));
}

void ExtensionRelay::serverMessage(Connection& c, Bytes& m) {
  uint8_t type = m[0];
  bool keymap = (type & 0x7f) == kKeymapNotify;
  if (!keymap) {
    uint16_t low = wire16(m, 2, c.order);
    c.lastServerSequence += static_cast<uint16_t>(low - static_cast<uint16_t>(c.lastServerSequence));
  }
  uint64_t sequence = c.lastServerSequence;
  while (!c.own.empty() && c.own.front() <= sequence) {
    c.own.pop_front();
    c.ownPassed++;
  }
  uint64_t clientSequence = sequence - c.ownPassed;
  c.expected.erase(c.expected.begin(), c.expected.lower_bound(sequence));
  auto found = c.expected.find(sequence);
  Expected* expected = found != c.expected.end() ? &found->second : nullptr;
  if (expected && expected->own) {
    if (type > 1) {
      expected = nullptr;  // an event: passed on below
    } else {
      // The relay's own round trip: the server has answered everything
      // before it, so the message goes now.
      Bytes inject = expected->inject;
      if ((inject[0] & 0x7f) != kKeymapNotify) putWire16(inject, 2, static_cast<uint16_t>(clientSequence), c.order);
      c.expected.erase(found);
      toClient(c, inject);
      return;
    }
  }
  if (type == 0)
    renumberError(c, m);
  else if (type != 1)
    renumberEvent(c, m);
  if (!keymap) putWire16(m, 2, static_cast<uint16_t>(clientSequence), c.order);
  if (expected && type <= 1) {
    if (expected->standIn) {
      m = expected->answer;
      putWire16(m, 2, static_cast<uint16_t>(clientSequence), c.order);
      if (m[0] == 1) putWire32(m, 4, static_cast<uint32_t>((m.size() - 32) / 4), c.order);
    } else if (type == 1) {
      if (!expected->queryName.empty()) editQueryExtension(c, m, expected->queryName);
      if (expected->list) editListExtensions(c, m);
      auto edit = edits_.find(keyOf(expected->major, expected->minor));
      if (edit != edits_.end()) edit->second(m, c.order);
    }
    if (expected->hold) c.holding = true;
  }
  toClient(c, m);
}

void ExtensionRelay::editQueryExtension(Connection&, Bytes& reply, const std::string& name) {
  auto set = [&](uint8_t present, const Codes& codes) {
    reply[8] = present;
    reply[9] = codes.major;
    reply[10] = codes.firstEvent;
    reply[11] = codes.firstError;
  };
  if (auto fake = fakes_.find(name); fake != fakes_.end()) return set(1, fake->second);
  if (std::find(hidden_.begin(), hidden_.end(), name) != hidden_.end()) return set(0, Codes{});
  if (auto move = moved_.find(name); move != moved_.end()) set(1, move->second.client);
}

void ExtensionRelay::editListExtensions(Connection& c, Bytes& reply) {
  std::vector<std::string> names;
  for (size_t at = 32, k = 0; k < reply[1] && at < reply.size(); k++) {
    size_t n = reply[at];
    std::string name(reply.begin() + static_cast<long>(at + 1),
                     reply.begin() + static_cast<long>(std::min(at + 1 + n, reply.size())));
    if (std::find(hidden_.begin(), hidden_.end(), name) == hidden_.end()) names.push_back(name);
    at += 1 + n;
  }
  for (const auto& [name, codes] : fakes_) names.push_back(name);
  reply.resize(32);
  for (const std::string& name : names) {
    reply.push_back(static_cast<uint8_t>(name.size()));
    reply.insert(reply.end(), name.begin(), name.end());
  }
  reply.resize(pad4(reply.size()));
  reply[1] = static_cast<uint8_t>(names.size());
  putWire32(reply, 4, static_cast<uint32_t>((reply.size() - 32) / 4), c.order);
}

void ExtensionRelay::renumberEvent(Connection&, Bytes& m) {
  uint8_t code = m[0] & 0x7f;
  for (const auto& [name, move] : moved_) {
    if (code == kGenericEvent) {
      if (m[1] == move.server.major) m[1] = move.client.major;
    } else if (move.eventCount && code >= move.server.firstEvent && code < move.server.firstEvent + move.eventCount) {
      m[0] = static_cast<uint8_t>((m[0] & 0x80) | (move.client.firstEvent + code - move.server.firstEvent));
      return;
    }
  }
}

void ExtensionRelay::renumberError(Connection&, Bytes& m) {
  for (const auto& [name, move] : moved_) {
    if (m[10] == move.server.major) m[10] = move.client.major;
    if (move.errorCount && m[1] >= move.server.firstError && m[1] < move.server.firstError + move.errorCount) {
      m[1] = static_cast<uint8_t>(move.client.firstError + m[1] - move.server.firstError);
    }
  }
}

}  // namespace palvon::test
