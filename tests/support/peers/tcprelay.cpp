#include "support/peers/tcprelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "support/peers/unixsocket.h"

namespace palvon::test {

namespace {

std::atomic<long> gArrivals{0};

sockaddr_in loopbackPort(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

int peerPort(int fd) {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  return getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 ? ntohs(peer.sin_port) : -1;
}

}  // namespace

TcpRelay::TcpRelay(const std::string& serverSocket) : server_(serverSocket) {
  if (!claim_.ok() || pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) < 0) return;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address = loopbackPort(6000 + claim_.number());
  // A queue of one: a hold fills it with a single connection.
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || listen(fd, 0) < 0) {
    close(fd);
    return;
  }
  listenFd_ = fd;
  thread_ = std::thread([this] { run(); });
}

TcpRelay::~TcpRelay() {
  stop_ = true;
  wake();
  if (thread_.joinable()) thread_.join();
  if (fillerFd_ >= 0) close(fillerFd_);
  if (listenFd_ >= 0) close(listenFd_);
  for (int fd : wakeFds_)
    if (fd >= 0) close(fd);
}

long TcpRelay::nextArrival() { return gArrivals.load(); }

std::vector<long> TcpRelay::arrivals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return arrivals_;
}

void TcpRelay::wake() {
  if (wakeFds_[1] >= 0) (void)!write(wakeFds_[1], "w", 1);
}

bool TcpRelay::setMode(Mode mode, int answers, int lateMs) {
  long seen = turns_.load();
  answers_ = answers;
  lateMs_ = lateMs;
  mode_ = mode;
  wake();
  // Two turns begun after the store: the thread has acted on the mode.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (turns_.load() < seen + 2) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (mode != Mode::kHold) return true;
  // The connection that fills the queue: connects after it are dropped.
  fillerFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopbackPort(6000 + claim_.number());
  if (fillerFd_ < 0 || connect(fillerFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) return false;
  sockaddr_in own{};
  socklen_t size = sizeof own;
  getsockname(fillerFd_, reinterpret_cast<sockaddr*>(&own), &size);
  fillerPort_ = ntohs(own.sin_port);
  return true;
}

void TcpRelay::release() {
  mode_ = Mode::kPass;
  wake();
}

std::string TcpRelay::silencedBytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  char buffer[4096];
  for (int fd : silenced_)
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) silencedBytes_.append(buffer, size_t(n));
  return silencedBytes_;
}

void TcpRelay::acceptOne(std::vector<Pair>& pairs) {
  int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  if (fillerPort_ >= 0 && peerPort(fd) == fillerPort_) {
    close(fd);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    arrivals_.push_back(gArrivals++);
    if (mode_ == Mode::kSilence) {
      silenced_.push_back(fd);
      return;
    }
  }
  int server = connectUnixSocket(server_);
  if (server < 0) {
    close(fd);
    return;
  }
  pairs.push_back({fd, server, mode_ == Mode::kStallAfterSetup ? long(answers_) : -1, false, 0, 0,
                   long(answers_), mode_ == Mode::kLate ? long(lateMs_) : 0, {}});
}

// Passes what the server sent, message by message for a pair that
// stalls; false when the connection ended.
bool TcpRelay::passServerBytes(Pair& pair) {
  bool byMessage = pair.answers >= 0 || pair.lateMs > 0;
  if (byMessage && pair.messageLeft == 0) {
    unsigned char h[8];
    ssize_t seen = recv(pair.server, h, sizeof h, MSG_PEEK);
    if (seen <= 0) return false;
    if (seen < 8) return true;
    bool big = pair.order == 'B';
    unsigned long words = big ? h[4] << 24 | h[5] << 16 | h[6] << 8 | h[7] : h[7] << 24 | h[6] << 16 | h[5] << 8 | h[4];
    if (!pair.setupPassed) {
      pair.messageLeft = 8 + 4 * long(big ? h[6] << 8 | h[7] : h[7] << 8 | h[6]);
      pair.setupPassed = true;
    } else {
      if (pair.lateMs > 0 && pair.onTime > 0) {
        pair.onTime--;
      } else if (pair.lateMs > 0) {
        auto now = std::chrono::steady_clock::now();
        if (!pair.holding()) pair.due = now + std::chrono::milliseconds(pair.lateMs);
        if (now < pair.due) return true;
        pair.due = {};
      }
      // Replies and generic events carry more than their 32 bytes.
      pair.messageLeft = 32 + (h[0] == 1 || (h[0] & 0x7f) == 35 ? 4 * long(words) : 0);
      if (pair.answers > 0) pair.answers--;
    }
  }
  char buffer[65536];
  size_t most = !byMessage ? sizeof buffer : std::min<size_t>(sizeof buffer, size_t(pair.messageLeft));
  ssize_t n = read(pair.server, buffer, most);
  if (n <= 0 || !sendAll(pair.client, buffer, static_cast<size_t>(n))) return false;
  if (byMessage) pair.messageLeft -= n;
  return true;
}

void TcpRelay::run() {
  std::vector<Pair> pairs;
  while (!stop_) {
    Mode mode = mode_;
    turns_++;
    if (mode == Mode::kRefuse && listenFd_ >= 0) {
      close(listenFd_);
      listenFd_ = -1;
    }
    std::vector<pollfd> polled;
    polled.push_back({wakeFds_[0], POLLIN, 0});
    bool listening = listenFd_ >= 0 && mode != Mode::kHold;
    if (listening) polled.push_back({listenFd_, POLLIN, 0});
    size_t first = polled.size();
    for (const Pair& pair : pairs) {
      polled.push_back({pair.client, POLLIN, 0});
      // A stalled pair leaves what the server sends from then on unread, a
      // late one until the message it holds back is due (the turn's end).
      polled.push_back({pair.stalled() || pair.holding() ? -1 : pair.server, POLLIN, 0});
    }
    // A short turn: a mode set between turns is seen soon without a wake.
    if (poll(polled.data(), polled.size(), 20) < 0) continue;
    if (polled[0].revents) {
      char drain[64];
      while (read(wakeFds_[0], drain, sizeof drain) > 0) {
      }
    }
    if (listening && polled[1].revents) acceptOne(pairs);
    for (size_t k = first, p = 0; k < polled.size(); k += 2, p++) {
      Pair& pair = pairs[p];
      bool open = true;
      if (polled[k].revents) {
        char buffer[65536];
        ssize_t n = read(pair.client, buffer, sizeof buffer);
        open = n > 0 && sendAll(pair.server, buffer, static_cast<size_t>(n));
        if (open && !pair.order) pair.order = buffer[0];
      }
      if (open && (polled[k + 1].revents || pair.holding())) open = passServerBytes(pair);
      if (open) continue;
      close(pair.client);
      close(pair.server);
      pair.client = pair.server = -1;
    }
    std::erase_if(pairs, [](const Pair& pair) { return pair.client < 0; });
  }
  for (const Pair& pair : pairs) close(pair.client), close(pair.server);
  std::lock_guard<std::mutex> lock(mutex_);
  for (int fd : silenced_) close(fd);
}

}  // namespace palvon::test
