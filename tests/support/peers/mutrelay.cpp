#include "support/peers/mutrelay.h"
#include "support/peers/unixsocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace palvon::test {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kGenericEvent = 35;

uint32_t get(const Bytes& b, size_t at, size_t size, char order) {
  uint32_t v = 0;
  for (size_t i = 0; i < size; i++) {
    size_t k = order == 'B' ? i : size - 1 - i;
    v = (v << 8) | b[at + k];
  }
  return v;
}

void put(Bytes& b, size_t at, size_t size, uint32_t v, char order) {
  for (size_t i = 0; i < size; i++) {
    size_t k = order == 'B' ? size - 1 - i : i;
    b[at + k] = uint8_t(v >> (8 * i));
  }
}

struct Link {
  int client = -1, server = -1;
  char order = 0;
  bool setupDone = false;
  bool silent = false;  // a cut left the connection open and mute
  Bytes fromServer;
  uint32_t seen[4] = {};
};

Mutation::Kind kindOf(uint8_t type) {
  if (type == 0) return Mutation::Kind::kError;
  if (type == 1) return Mutation::Kind::kReply;
  return Mutation::Kind::kEvent;
}

// The message with the mutation applied: what is to be sent (possibly
// nothing), and whether the link closes or falls silent afterwards.
Bytes mutate(const Mutation& m, const Bytes& message, char order, bool* close, bool* silent) {
  Bytes out = message;
  bool setup = m.kind == Mutation::Kind::kSetup;
  size_t lengthAt = setup ? 6 : 4, lengthSize = setup ? 2 : 4;
  bool hasLength = setup || message[0] == 1 || (message[0] & 0x7f) == kGenericEvent;
  switch (m.op) {
    case Mutation::Op::kCut:
    case Mutation::Op::kCutClose:
      out.resize(std::max<size_t>(1, message.size() * (m.amount % 4 + 1) / 5));
      *close = m.op == Mutation::Op::kCutClose;
      *silent = !*close;
      break;
    case Mutation::Op::kLengthen:
      if (hasLength) put(out, lengthAt, lengthSize, get(out, lengthAt, lengthSize, order) + m.amount, order);
      else out.resize(out.size() + 4 * m.amount, 0xa5);
      break;
    case Mutation::Op::kShorten:
      if (hasLength) {
        uint32_t words = get(out, lengthAt, lengthSize, order);
        uint32_t cut = std::min(words, m.amount);
        put(out, lengthAt, lengthSize, words - cut, order);
        out.resize(out.size() - 4 * cut);
      } else {
        out.resize(32 - 4 * std::min<uint32_t>(m.amount, 7));
      }
      break;
    case Mutation::Op::kDrop: out.clear(); break;
    case Mutation::Op::kDuplicate: out.insert(out.end(), message.begin(), message.end()); break;
    case Mutation::Op::kEndlessGeneric:
      if (setup) {
        put(out, 6, 2, 0xffff, order);
      } else {
        out.resize(32);
        out[0] = kGenericEvent;
        put(out, 4, 4, 0xffffffff, order);
      }
      break;
  }
  return out;
}

}  // namespace

Mutation Mutation::fromSeed(Kind kind, uint32_t seed) {
  std::mt19937 random(seed * 2654435761u + uint32_t(kind));
  Mutation m;
  m.kind = kind;
  m.op = Op(random() % 7);
  // The proxy's start-up asks a few hundred questions; the first 120
  // replies cover opening, probing and reconciling the head.
  uint32_t span = kind == Kind::kSetup ? 1 : 120;
  m.ordinal = random() % span;
  uint32_t amounts[] = {1, 2, 7, 64, 0x4000, 0xfff0};
  m.amount = amounts[random() % 6];
  return m;
}

std::string Mutation::describe() const {
  static const char* kinds[] = {"set-up", "reply", "event", "error"};
  static const char* ops[] = {"cut", "cut and close", "lengthen", "shorten", "drop", "duplicate", "endless generic"};
  return std::string(ops[int(op)]) + " " + kinds[int(kind)] + " #" + std::to_string(ordinal) + " by " +
         std::to_string(amount);
}

MutatingRelay::MutatingRelay(const std::string& serverSocket, const Mutation& mutation, int connection)
    : server_(serverSocket), mutation_(mutation), connection_(connection) {
  if (!claim_.ok()) return;
  mkdir("/tmp/.X11-unix", 01777);
  std::string path = "/tmp/.X11-unix/X" + std::to_string(claim_.number());
  int fd = listenUnixSocket(path, 16);
  if (fd < 0 || pipe2(wake_, O_CLOEXEC) != 0) {
    if (fd >= 0) close(fd);
    return;
  }
  listenFd_ = fd;
  thread_ = std::thread([this] { run(); });
}

MutatingRelay::~MutatingRelay() {
  if (thread_.joinable()) {
    char stop = 's';
    (void)!write(wake_[1], &stop, 1);
    thread_.join();
  }
  for (int fd : {listenFd_, wake_[0], wake_[1]})
    if (fd >= 0) close(fd);
  if (listenFd_ >= 0) unlink(("/tmp/.X11-unix/X" + std::to_string(claim_.number())).c_str());
}

void MutatingRelay::run() {
  std::vector<std::unique_ptr<Link>> links;
  auto closeLink = [](Link& l) {
    if (l.client >= 0) close(l.client);
    if (l.server >= 0) close(l.server);
    l.client = l.server = -1;
  };
  for (;;) {
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
    for (auto& l : links) {
      fds.push_back({l->client, short(l->client >= 0 ? POLLIN : 0), 0});
      fds.push_back({l->server, short(l->server >= 0 ? POLLIN : 0), 0});
    }
    if (poll(fds.data(), fds.size(), 1000) < 0) continue;
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) {
      int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      int server = client >= 0 ? connectUnixSocket(server_) : -1;
      if (server < 0) {
        if (client >= 0) close(client);
      } else {
        auto l = std::make_unique<Link>();
        l->client = client, l->server = server;
        links.push_back(std::move(l));
      }
    }
    for (size_t i = 0; i < links.size() && 2 + 2 * i + 1 < fds.size(); i++) {
      Link& l = *links[i];
      uint8_t chunk[65536];
      if (fds[2 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = read(l.client, chunk, sizeof chunk);
        if (n <= 0) {
          closeLink(l);
          continue;
        }
        if (!l.order) l.order = char(chunk[0]);
        if (!sendAll(l.server, chunk, size_t(n))) closeLink(l);
      }
      if (l.server < 0 || !(fds[2 + 2 * i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(l.server, chunk, sizeof chunk);
      if (n <= 0) {
        closeLink(l);
        continue;
      }
      if (l.silent) continue;
      l.fromServer.insert(l.fromServer.end(), chunk, chunk + n);
      // Frames whole messages; only the first connection is lied to.
      bool lie = int(i) == connection_ && !applied_;
      for (;;) {
        size_t size;
        if (!l.setupDone) {
          if (l.fromServer.size() < 8) break;
          size = 8 + 4 * size_t(get(l.fromServer, 6, 2, l.order));
        } else {
          if (l.fromServer.size() < 32) break;
          uint8_t type = l.fromServer[0] & 0x7f;
          size = 32;
          if (type == 1 || type == kGenericEvent) size += 4 * size_t(get(l.fromServer, 4, 4, l.order));
        }
        if (l.fromServer.size() < size) break;
        Bytes message(l.fromServer.begin(), l.fromServer.begin() + long(size));
        l.fromServer.erase(l.fromServer.begin(), l.fromServer.begin() + long(size));
        Mutation::Kind kind = l.setupDone ? kindOf(message[0] & 0x7f) : Mutation::Kind::kSetup;
        l.setupDone = true;
        bool close = false, silent = false;
        bool madeUp = mutation_.kind == Mutation::Kind::kEvent || mutation_.kind == Mutation::Kind::kError;
        Mutation::Kind counted = madeUp ? Mutation::Kind::kReply : mutation_.kind;
        if (lie && kind == counted && l.seen[int(kind)]++ == mutation_.ordinal) {
          if (mutation_.kind == Mutation::Kind::kEvent) {
            // A PropertyNotify of the same sequence, sent before the reply.
            Bytes event(32, 0);
            event[0] = 28;
            event[2] = message[2], event[3] = message[3];
            put(event, 4, 4, 0x200001, l.order);
            put(event, 8, 4, 1, l.order);
            Bytes changed = mutate(mutation_, event, l.order, &close, &silent);
            if (!close && !silent) changed.insert(changed.end(), message.begin(), message.end());
            message = changed;
          } else if (mutation_.kind == Mutation::Kind::kError) {
            // BadValue for the request in place of its reply.
            Bytes error(32, 0);
            error[1] = 2;
            error[2] = message[2], error[3] = message[3];
            message = mutate(mutation_, error, l.order, &close, &silent);
          } else {
            message = mutate(mutation_, message, l.order, &close, &silent);
          }
          applied_ = true;
          lie = false;
        }
        if (!message.empty() && !sendAll(l.client, message.data(), message.size())) close = true;
        if (close) {
          closeLink(l);
          break;
        }
        if (silent) {
          l.silent = true;
          break;
        }
      }
    }
  }
  for (auto& l : links) closeLink(*l);
}

}  // namespace palvon::test
