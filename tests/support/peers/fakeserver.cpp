#include "support/peers/fakeserver.h"
#include "support/peers/unixsocket.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "support/xvfb.h"

namespace palvon::test {

namespace {

constexpr uint32_t kRootWindow = 0x2b;
constexpr uint32_t kColormap = 0x20;
constexpr uint32_t kVisual = 0x21;
constexpr uint32_t kFirstAtom = 100;  // above the predefined atoms

void put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t get16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
size_t pad4(size_t n) { return (n + 3) & ~size_t{3}; }

void append(Bytes& b, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  b.insert(b.end(), p, p + n);
  b.resize(pad4(b.size()));
}

// One screen of 1024x768 at depth 24 (one TrueColor visual) plus depth 1.
Bytes setupReply() {
  static const char kVendor[] = "Fake";
  Bytes d(32, 0);
  put32(d, 4, 0x00200000);  // resource id base
  put32(d, 8, 0x001fffff);  // mask
  put16(d, 16, sizeof kVendor - 1);
  put16(d, 18, 0xffff);     // maximum request length
  d[20] = 1;                // screens
  d[21] = 2;                // pixmap formats
  d[24] = 32;               // bitmap unit
  d[25] = 32;               // bitmap pad
  d[26] = 8;
  d[27] = 255;
  append(d, kVendor, sizeof kVendor - 1);
  const uint8_t formats[16] = {1, 1, 32, 0, 0, 0, 0, 0, 24, 32, 32, 0, 0, 0, 0, 0};
  append(d, formats, sizeof formats);
  Bytes screen(40, 0);
  put32(screen, 0, kRootWindow);
  put32(screen, 4, kColormap);
  put32(screen, 8, 0xffffff);
  put16(screen, 20, 1024);
  put16(screen, 22, 768);
  put16(screen, 24, 270);
  put16(screen, 26, 203);
  put16(screen, 28, 1);
  put16(screen, 30, 1);
  put32(screen, 32, kVisual);
  screen[38] = 24;
  screen[39] = 2;  // depths
  d.insert(d.end(), screen.begin(), screen.end());
  Bytes depth24(8 + 24, 0);
  depth24[0] = 24;
  put16(depth24, 2, 1);
  put32(depth24, 8, kVisual);
  depth24[12] = 4;  // TrueColor
  depth24[13] = 8;
  put16(depth24, 14, 256);
  put32(depth24, 16, 0xff0000);
  put32(depth24, 20, 0x00ff00);
  put32(depth24, 24, 0x0000ff);
  d.insert(d.end(), depth24.begin(), depth24.end());
  Bytes depth1(8, 0);
  depth1[0] = 1;
  d.insert(d.end(), depth1.begin(), depth1.end());
  Bytes head(8, 0);
  head[0] = 1;
  put16(head, 2, 11);
  put16(head, 6, static_cast<uint16_t>(d.size() / 4));
  head.insert(head.end(), d.begin(), d.end());
  return head;
}

bool writeAll(int fd, const Bytes& b) { return sendAll(fd, b.data(), b.size()); }

}  // namespace

struct FakeXServer::Client {
  int fd = -1;
  bool setUp = false;
  uint16_t sequence = 0;
  Bytes input;
};

FakeXServer::FakeXServer() {
  mkdir("/tmp/.X11-unix", 01777);
  for (int n = 200 + getpid() % 300, tries = 0; tries < 300 && number_ < 0; n++, tries++) {
    if (!claimDisplayNumber(n, &lockPath_)) continue;
    std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
    int fd = listenUnixSocket(path, 8);
    if (fd >= 0) {
      listenFd_ = fd;
      socketPath_ = path;
      number_ = n;
      break;
    }
    if (fd >= 0) close(fd);
    unlink(lockPath_.c_str());
    lockPath_.clear();
  }
  if (number_ < 0 || pipe2(wakePipe_, O_CLOEXEC) != 0) {
    number_ = -1;
    return;
  }
  thread_ = std::thread([this] { run(); });
}

FakeXServer::~FakeXServer() {
  if (thread_.joinable()) {
    char stop = 1;
    (void)!write(wakePipe_[1], &stop, 1);
    thread_.join();
  }
  for (int fd : {listenFd_, wakePipe_[0], wakePipe_[1]}) {
    if (fd >= 0) close(fd);
  }
  if (!socketPath_.empty()) unlink(socketPath_.c_str());
  if (!lockPath_.empty()) unlink(lockPath_.c_str());
}

void FakeXServer::addExtension(const std::string& name, uint8_t major, uint8_t firstEvent, uint8_t firstError) {
  std::lock_guard<std::mutex> lock(mutex_);
  extensions_.push_back({name, major, firstEvent, firstError});
}

void FakeXServer::setResponder(uint8_t major, Responder responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responders_.emplace_back(major, std::move(responder));
}

std::vector<Bytes> FakeXServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

std::vector<Bytes> FakeXServer::requestsWithMajor(uint8_t major) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Bytes> found;
  for (const Bytes& r : log_) {
    if (r[0] == major) found.push_back(r);
  }
  return found;
}

void FakeXServer::clearLog() {
  std::lock_guard<std::mutex> lock(mutex_);
  log_.clear();
}

Bytes FakeXServer::reply(const Bytes& fromByte8, uint8_t data) {
  Bytes r(8 + (fromByte8.size() > 24 ? pad4(fromByte8.size()) : 24), 0);
  r[0] = 1;
  r[1] = data;
  std::copy(fromByte8.begin(), fromByte8.end(), r.begin() + 8);
  return r;
}

void FakeXServer::run() {
  std::vector<Client> clients;
  for (;;) {
    std::vector<pollfd> fds = {{wakePipe_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
    for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) return;
    if (fds[0].revents) break;
    for (size_t i = clients.size(); i-- > 0;) {
      if (!fds[2 + i].revents) continue;
      if (!serveClient(clients[i])) {
        close(clients[i].fd);
        clients.erase(clients.begin() + static_cast<long>(i));
      }
    }
    if (fds[1].revents & POLLIN) {
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        clients.emplace_back();
        clients.back().fd = fd;
      }
    }
  }
  for (const Client& c : clients) close(c.fd);
}

// Reads what is there and answers every complete message. false: close.
bool FakeXServer::serveClient(Client& client) {
  uint8_t buffer[65536];
  ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
  if (n <= 0) return n < 0 && errno == EINTR;
  client.input.insert(client.input.end(), buffer, buffer + n);
  for (;;) {
    Bytes& in = client.input;
    if (!client.setUp) {
      if (in.size() < 12) return true;
      if (in[0] != 'l') return false;  // only the host's byte order
      size_t need = 12 + pad4(get16(in, 6)) + pad4(get16(in, 8));
      if (in.size() < need) return true;
      in.erase(in.begin(), in.begin() + static_cast<long>(need));
      client.setUp = true;
      if (!writeAll(client.fd, setupReply())) return false;
      continue;
    }
    if (in.size() < 4) return true;
    size_t length = size_t{get16(in, 2)} * 4;
    if (length == 0) return false;  // no BIG-REQUESTS here
    if (in.size() < length) return true;
    Bytes request(in.begin(), in.begin() + static_cast<long>(length));
    in.erase(in.begin(), in.begin() + static_cast<long>(length));
    client.sequence++;
    if (!answer(client, request)) return false;
  }
}

bool FakeXServer::answer(Client& client, const Bytes& request) {
  Bytes response;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(request);
  }
  Responder responder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [major, r] : responders_) {
      if (major == request[0]) responder = r;
    }
  }
  response = responder ? responder(request) : builtInAnswer(request);
  if (response.empty()) return true;
  put16(response, 2, client.sequence);
  if (response[0] == 1) put32(response, 4, static_cast<uint32_t>((response.size() - 32) / 4));
  return writeAll(client.fd, response);
}

Bytes FakeXServer::builtInAnswer(const Bytes& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  switch (request[0]) {
    case 16: {  // InternAtom: a new number per new name
      std::string name(request.begin() + 8, request.begin() + 8 + get16(request, 4));
      size_t i = 0;
      while (i < atoms_.size() && atoms_[i] != name) i++;
      if (i == atoms_.size()) {
        if (request[1]) return reply({0, 0, 0, 0});  // only-if-exists
        atoms_.push_back(name);
      }
      Bytes r = reply({});
      put32(r, 8, kFirstAtom + static_cast<uint32_t>(i));
      return r;
    }
    case 20:  // GetProperty: no such property
      return reply({});
    case 43: {  // GetInputFocus: PointerRoot
      Bytes r = reply({}, 1);
      put32(r, 8, 1);
      return r;
    }
    case 98: {  // QueryExtension
      std::string name(request.begin() + 8, request.begin() + 8 + get16(request, 4));
      for (const Extension& e : extensions_) {
        if (e.name == name) return reply({1, e.major, e.firstEvent, e.firstError});
      }
      return reply({0, 0, 0, 0});
    }
    case 99: {  // ListExtensions
      Bytes names;
      for (const Extension& e : extensions_) {
        names.push_back(static_cast<uint8_t>(e.name.size()));
        names.insert(names.end(), e.name.begin(), e.name.end());
      }
      Bytes r = reply({}, static_cast<uint8_t>(extensions_.size()));
      r.resize(32);
      r.insert(r.end(), names.begin(), names.end());
      r.resize(pad4(r.size()));
      return r;
    }
    case 107:  // SetScreenSaver
      saverTimeout_ = static_cast<int16_t>(get16(request, 4));
      saverInterval_ = static_cast<int16_t>(get16(request, 6));
      saverPrefer_ = request[8];
      saverAllow_ = request[9];
      return {};
    case 108: {  // GetScreenSaver
      Bytes r = reply({});
      put16(r, 8, static_cast<uint16_t>(saverTimeout_));
      put16(r, 10, static_cast<uint16_t>(saverInterval_));
      r[12] = saverPrefer_;
      r[13] = saverAllow_;
      return r;
    }
    default:
      return {};
  }
}

}  // namespace palvon::test
