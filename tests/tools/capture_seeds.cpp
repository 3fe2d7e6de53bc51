// Writes the seed corpora of the client input and server intake fuzz
// targets from the conversations of the X programs the tests run: each
// program talks to Xvfb through a relay that records both directions; the
// recordings are written as they are (least significant byte first, as
// Xlib speaks here) and converted by the rows' layouts to the other byte
// order. Not a test: run it by hand when the seeds should change.
//
// Usage: capture_seeds <fuzz/corpus directory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/rows.h"
#include "Proxy/dispatch/wire.h"
#include "Xext/swap/byteswap.h"
#include "base/logging.h"
#include "base/wordswap.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace {

using namespace palvon;
using Bytes = std::vector<u8>;

// Seeds are cut here: the fuzz runs use inputs of at most this size.
constexpr size_t kSeedMax = 4096;

struct Conversation {
  Bytes client;  // what the program sent
  Bytes server;  // what Xvfb answered
};

int listenOn(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  unlink(path.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) return -1;
  return fd;
}

int connectTo(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  return fd;
}

// Relays one accepted connection at a time to the server and records it.
class Relay {
 public:
  Relay(const std::string& path, std::string server) : server_(std::move(server)), listener_(listenOn(path)) {
    if (listener_ >= 0) thread_ = std::thread([this] { run(); });
  }
  ~Relay() {
    stopping_ = true;
    if (listener_ >= 0) {
      shutdown(listener_, SHUT_RDWR);
      thread_.join();
      close(listener_);
    }
  }
  bool ok() const { return listener_ >= 0; }
  // Conversations finished so far (taken out).
  std::vector<Conversation> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(done_);
  }

 private:
  void run() {
    while (!stopping_) {
      int client = accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      int server = connectTo(server_);
      Conversation talk;
      pump(client, server, talk);
      close(client);
      if (server >= 0) close(server);
      std::lock_guard<std::mutex> lock(mutex_);
      done_.push_back(std::move(talk));
    }
  }
  static void pump(int client, int server, Conversation& talk) {
    pollfd both[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    u8 buffer[65536];
    while (server >= 0 && poll(both, 2, 20000) > 0) {
      for (int side = 0; side < 2; side++) {
        if (!both[side].revents) continue;
        ssize_t got = read(both[side].fd, buffer, sizeof buffer);
        if (got <= 0) return;
        Bytes& record = side == 0 ? talk.client : talk.server;
        record.insert(record.end(), buffer, buffer + got);
        for (ssize_t at = 0; at < got;) {
          ssize_t put = write(both[1 - side].fd, buffer + at, static_cast<size_t>(got - at));
          if (put <= 0) return;
          at += put;
        }
      }
    }
  }
  std::string server_;
  int listener_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Conversation> done_;
};

u32 pad4(u32 n) { return (n + 3) & ~3u; }

// The requests of a client stream: their keys in order, and the stream
// converted to the other byte order.
struct ClientStream {
  std::vector<u16> keys;
  Bytes swapped;
};

ClientStream readClientStream(const Bytes& stream) {
  ClientStream out;
  if (stream.size() < 12) return out;
  Bytes s = stream;
  u32 setupSize = 12 + pad4(get16(s.data() + 6)) + pad4(get16(s.data() + 8));
  if (s.size() < setupSize) return out;
  swapLeaving(kConnectionSetupLayout, s.data(), s.data() + 12);
  s[0] = 'B';
  for (size_t at = setupSize; at + 4 <= s.size();) {
    u8* request = s.data() + at;
    u32 length = 4u * get16(request + 2);
    bool big = length == 0;
    if (big) {
      if (at + 8 > s.size()) break;
      length = 4u * get32(request + 4);
      if (length < 8) break;
    }
    if (at + length > s.size()) break;
    u16 key = static_cast<u16>(requestKey(request[0], request[1]));
    out.keys.push_back(key);
    const RequestRow* row = requestRowOf(key);
    // The layout sees the request as the parser gives it: without the
    // extended length word.
    Bytes plain(request, request + 4);
    plain.insert(plain.end(), request + (big ? 8 : 4), request + length);
    LayoutString layout = requestLayoutOf(row, plain.data(), static_cast<u32>(plain.size()));
    swapLeaving(layout, plain.data(), plain.data() + plain.size());
    std::memcpy(request, plain.data(), 4);
    if (big) {
      swap32InPlace(request + 4, request + 8);
      std::memcpy(request + 8, plain.data() + 4, plain.size() - 4);
    } else {
      std::memcpy(request + 4, plain.data() + 4, plain.size() - 4);
    }
    at += length;
  }
  out.swapped = s;
  return out;
}

// The length of the server's set-up answer at the start of its stream.
size_t setupAnswerSize(const Bytes& stream) {
  if (stream.size() < 8) return stream.size();
  size_t size = 8 + 4u * get16(stream.data() + 6);
  return size < stream.size() ? size : stream.size();
}

// The server stream in the other byte order: replies by the rows of the
// requests they answer, events and errors by their own layouts.
Bytes swapServerStream(const Bytes& stream, const std::vector<u16>& keys) {
  Bytes s = stream;
  if (s.size() < 8) return s;
  size_t at = 8 + 4u * get16(s.data() + 6);
  if (at > s.size()) return s;
  if (s[0] == 1)
    swapConnectionSetupReply(s.data(), s.data() + at, false);
  else
    swapLeaving("bbsss", s.data(), s.data() + 8);
  while (at + 32 <= s.size()) {
    u8* message = s.data() + at;
    u32 size = 32;
    if (message[0] == 1 || (message[0] & 0x7f) == 35) size += 4 * get32(message + 4);
    if (at + size > s.size()) break;
    u16 sequence = get16(message + 2);
    LayoutString layout = kErrorLayout;
    if (message[0] == 1) {
      u16 key = sequence >= 1 && sequence <= keys.size() ? keys[sequence - 1] : 0;
      layout = replyLayoutOf(requestRowOf(key), message, size);
    } else if (message[0] != 0) {
      layout = eventLayoutOf(message);
    }
    swapLeaving(layout, message, message + size);
    at += size;
  }
  return s;
}

void writeSeed(const std::string& path, const Bytes& header, const Bytes& body) {
  Bytes seed = header;
  seed.insert(seed.end(), body.begin(), body.end());
  if (seed.size() > kSeedMax) seed.resize(kSeedMax);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(seed.data()), seed.size());
}

Bytes intakeHeader(u8 flags, const std::vector<u16>& keys) {
  size_t count = keys.size() < 1024 ? keys.size() : 1024;
  Bytes header{flags, static_cast<u8>(count), static_cast<u8>(count >> 8)};
  for (size_t i = 0; i < count; i++) {
    header.push_back(static_cast<u8>(keys[i]));
    header.push_back(static_cast<u8>(keys[i] >> 8));
  }
  return header;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <fuzz/corpus directory>\n", argv[0]);
    return 2;
  }
  std::string corpus = argv[1];
  logAllChannelsOff();
  if (const char* problem = initCoreDispatchTables()) {
    std::fprintf(stderr, "%s\n", problem);
    return 1;
  }
  test::Xvfb xvfb({"-screen", "0", "320x240x24"});
  test::ClaimedDisplay relayDisplay(300);
  if (!xvfb.ok() || !relayDisplay.ok()) {
    std::fprintf(stderr, "no server or no display number: %s\n", xvfb.error().c_str());
    return 1;
  }
  std::string relayPath = "/tmp/.X11-unix/X" + std::to_string(relayDisplay.number());
  Relay relay(relayPath, xvfb.socketPath());
  if (!relay.ok()) return 1;
  const std::vector<std::pair<std::string, std::vector<std::string>>> programs = {
      {"xdpyinfo", {"xdpyinfo"}},
      {"xprop", {"xprop", "-root"}},
      {"xwininfo", {"xwininfo", "-root", "-tree"}},
      {"xlsatoms", {"xlsatoms", "-range", "1-40"}},
      {"xset", {"xset", "q"}},
      {"xmodmap", {"xmodmap", "-pm"}},
      {"xdotool", {"xdotool", "getdisplaygeometry"}},
      {"xlsfonts", {"xlsfonts", "-fn", "*fixed*"}},
      {"xwd", {"xwd", "-root", "-silent"}},
  };
  int written = 0;
  for (const auto& [name, command] : programs) {
    test::ProgramResult result = test::runProgram(command, relayDisplay.name(), 20000);
    if (result.status != 0) std::fprintf(stderr, "%s: status %d %s\n", name.c_str(), result.status, result.err.c_str());
    usleep(200000);  // the relay sees the program's close
    for (const Conversation& talk : relay.take()) {
      ClientStream client = readClientStream(talk.client);
      if (client.swapped.empty()) continue;
      writeSeed(corpus + "/clientinput/" + name + "-lsb", {0}, talk.client);
      writeSeed(corpus + "/clientinput/" + name + "-msb", {0}, client.swapped);
      // With the set-up answer still to come (flag bit 1), and after it (the
      // answer alone nearly fills a seed); the other byte order (bit 0).
      Bytes swapped = swapServerStream(talk.server, client.keys);
      size_t answered = setupAnswerSize(talk.server);
      writeSeed(corpus + "/serverintake/" + name + "-setup-lsb", intakeHeader(2, client.keys), talk.server);
      writeSeed(corpus + "/serverintake/" + name + "-setup-msb", intakeHeader(3, client.keys), swapped);
      writeSeed(corpus + "/serverintake/" + name + "-lsb", intakeHeader(0, client.keys),
                Bytes(talk.server.begin() + static_cast<long>(answered), talk.server.end()));
      writeSeed(corpus + "/serverintake/" + name + "-msb", intakeHeader(1, client.keys),
                Bytes(swapped.begin() + static_cast<long>(answered), swapped.end()));
      written++;
    }
  }
  unlink(relayPath.c_str());
  std::printf("%d conversations written\n", written);
  return written > 0 ? 0 : 1;
}
