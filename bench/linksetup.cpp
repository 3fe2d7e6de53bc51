// Connection set-up through the proxy when its servers are far away: the
// time a client takes to connect (its set-up answer received) to a bare
// Xvfb over TCP and to the proxy with one, two and three heads whose
// servers it reaches over TCP with a round-trip time of RTT ms; then the
// time of one GetInputFocus round trip, which reaches every head.
//
//   bench_linksetup [-d RTT_MS] [-n CONNECTS] [-r ROUNDS] BUILD_DIR
//
// The distance is made inside a network namespace of the bench's own (it
// must run as root): a tun device whose far address, 10.211.1.2, is this
// namespace itself. Every packet sent to it comes back into the namespace
// after RTT/2 ms with its source and destination addresses swapped (which
// keeps every checksum valid), so that a connect to 10.211.1.2:6000+N
// reaches an Xvfb listening here on TCP, and every packet of it, the
// connect's SYN included, pays the delay. Nothing leaves the namespace (the
// servers run with -ac: their clients come from the far address).
// Run it against the proxy before and after a change; the bare server
// costs two round trips (connect, set-up), the proxy with one head one
// more local hop on top.
#include <xcb/xcb.h>

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/proxyprocess.h"
#include "support/xvfb.h"

namespace {

using Clock = std::chrono::steady_clock;
using palvon::test::ProxyProcess;
using palvon::test::Xvfb;

constexpr const char* kDevice = "palvon0";
constexpr const char* kNear = "10.211.1.1";
constexpr const char* kFar = "10.211.1.2";

// The tun device's packets, each sent back after the delay with its
// addresses swapped.
class Distance {
 public:
  bool open(int oneWayMs) {
    delay_ = std::chrono::milliseconds(oneWayMs);
    fd_ = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd_ < 0) return false;
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::snprintf(request.ifr_name, IFNAMSIZ, "%s", kDevice);
    if (ioctl(fd_, TUNSETIFF, &request) < 0) return false;
    std::string setup = std::string("ip link set lo up && ip addr add ") + kNear + " peer " + kFar + " dev " +
                        kDevice + " && ip link set " + kDevice + " up";
    if (std::system(setup.c_str()) != 0) return false;
    thread_ = std::thread([this] { run(); });
    return true;
  }
  ~Distance() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }

 private:
  struct Packet {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
  };
  void run() {
    std::deque<Packet> queue;
    std::vector<uint8_t> buffer(65536);
    while (!stop_) {
      int waitMs = 20;
      if (!queue.empty()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(queue.front().due - Clock::now()).count();
        waitMs = int(std::clamp<long long>(left, 0, 20));
      }
      pollfd entry{fd_, POLLIN, 0};
      if (poll(&entry, 1, waitMs) > 0) {
        ssize_t n = read(fd_, buffer.data(), buffer.size());
        // IPv4 only: the addresses are bytes 12-15 and 16-19.
        if (n >= 20 && (buffer[0] >> 4) == 4) {
          Packet p{Clock::now() + delay_, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n)};
          std::swap_ranges(p.bytes.begin() + 12, p.bytes.begin() + 16, p.bytes.begin() + 16);
          queue.push_back(std::move(p));
        }
      }
      while (!queue.empty() && queue.front().due <= Clock::now()) {
        (void)!write(fd_, queue.front().bytes.data(), queue.front().bytes.size());
        queue.pop_front();
      }
    }
  }
  int fd_ = -1;
  Clock::duration delay_{};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Milliseconds per connect, over `count` connects, each one's set-up
// answer received and the connection closed again.
double connectMs(const std::string& display, int count) {
  auto start = Clock::now();
  for (int i = 0; i < count; i++) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c)) {
      std::fprintf(stderr, "cannot connect to %s\n", display.c_str());
      std::exit(1);
    }
    xcb_disconnect(c);
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / count;
}

// Milliseconds per GetInputFocus round trip on one connection: through
// the proxy it reaches every head, and costs one wait over all of them.
double roundTripMs(const std::string& display, int count) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "cannot connect to %s\n", display.c_str());
    std::exit(1);
  }
  auto start = Clock::now();
  for (int i = 0; i < count; i++) free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / count;
  xcb_disconnect(c);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  int rttMs = 20, count = 20, rounds = 3;
  const char* build = nullptr;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if ((arg == "-d" || arg == "-n" || arg == "-r") && i + 1 < argc) {
      int value = std::max(1, atoi(argv[++i]));
      (arg == "-d" ? rttMs : arg == "-n" ? count : rounds) = value;
    } else {
      build = argv[i];
    }
  }
  if (!build) {
    std::fprintf(stderr, "usage: %s [-d RTT_MS] [-n CONNECTS] [-r ROUNDS] BUILD_DIR\n", argv[0]);
    return 2;
  }
  if (chdir(build) != 0 || unshare(CLONE_NEWNET) != 0) {
    std::fprintf(stderr, "needs the build directory and the right to make a network namespace (root)\n");
    return 1;
  }
  Distance distance;
  if (!distance.open(rttMs / 2)) {
    std::fprintf(stderr, "cannot set up the tun device %s\n", kDevice);
    return 1;
  }
  std::vector<std::unique_ptr<Xvfb>> servers;
  std::vector<std::string> heads;
  for (int k = 0; k < 3; k++) {
    servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-listen", "tcp", "-ac", "-screen", "0", "320x240x24"}));
    if (!servers.back()->ok()) {
      std::fprintf(stderr, "Xvfb did not start: %s\n", servers.back()->error().c_str());
      return 1;
    }
    heads.push_back(std::string(kFar) + ":" + std::to_string(servers.back()->number()) + ".0");
  }
  struct Target {
    std::string label;
    std::string display;
    std::vector<double> ms;      // per connect
    std::vector<double> trips;   // per round trip
  };
  std::vector<Target> targets{{"bare", std::string(kFar) + ":" + std::to_string(servers[0]->number()), {}, {}}};
  std::vector<std::unique_ptr<ProxyProcess>> proxies;
  for (size_t n = 1; n <= heads.size(); n++) {
    std::vector<std::string> words{"noReset", "on"};
    for (size_t k = 0; k < n; k++) words.insert(words.end(), {"screen", heads[k]});
    proxies.push_back(std::make_unique<ProxyProcess>(words));
    if (!proxies.back()->ok()) {
      std::fprintf(stderr, "the proxy did not start:\n%s\n", proxies.back()->log().c_str());
      return 1;
    }
    targets.push_back({std::to_string(n) + (n == 1 ? " head" : " heads"), proxies.back()->display(), {}, {}});
  }
  // Rounds in turn over the targets, each round starting with another.
  for (int r = 0; r < rounds; r++)
    for (size_t j = 0; j < targets.size(); j++) {
      Target& t = targets[(j + size_t(r)) % targets.size()];
      t.ms.push_back(connectMs(t.display, count));
      t.trips.push_back(roundTripMs(t.display, count));
    }
  std::printf("servers over TCP at a round trip of %d ms (%d connects, %d GetInputFocus x %d rounds, median)\n",
              rttMs, count, count, rounds);
  std::printf("  %-8s %22s %28s\n", "", "connection set-up", "GetInputFocus round trip");
  double oneHead = 0, oneHeadTrip = 0;
  for (Target& t : targets) {
    std::sort(t.ms.begin(), t.ms.end());
    std::sort(t.trips.begin(), t.trips.end());
    double ms = t.ms[t.ms.size() / 2], trip = t.trips[t.trips.size() / 2];
    if (t.label == "1 head") oneHead = ms, oneHeadTrip = trip;
    std::printf("  %-8s %7.1f ms = %4.2f RTT", t.label.c_str(), ms, ms / rttMs);
    if (oneHead > 0)
      std::printf(" %4.2fx", ms / oneHead);
    else
      std::printf("      ");
    std::printf("   %7.1f ms = %4.2f RTT", trip, trip / rttMs);
    if (oneHeadTrip > 0) std::printf(" %4.2fx", trip / oneHeadTrip);
    std::printf("\n");
  }
  std::printf("  (x: times the one-head proxy)\n");
  return 0;
}
