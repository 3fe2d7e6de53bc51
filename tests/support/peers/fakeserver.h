// A small fake X server for tests of request paths that no real server here
// offers. It listens on /tmp/.X11-unix/X<n> for a free display number (held
// by a lock file, so Xvfb -displayfd skips it), accepts little-endian
// clients with a minimal one-screen set-up, answers QueryExtension and
// ListExtensions from the extensions a test declares, answers the round
// trips Xlib makes on its own (GetInputFocus, GetProperty, InternAtom,
// GetScreenSaver ...), and logs every request's bytes. Requests it does not
// know get no answer: a test that makes such a call installs a responder.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace palvon::test {

using Bytes = std::vector<uint8_t>;

class FakeXServer {
 public:
  FakeXServer();
  ~FakeXServer();
  FakeXServer(const FakeXServer&) = delete;
  FakeXServer& operator=(const FakeXServer&) = delete;

  bool ok() const { return number_ >= 0; }
  int number() const { return number_; }
  // Built by appending: GCC 12 warns falsely (-Wrestrict) on literal + string at -O3.
  std::string display() const { return std::string(":").append(std::to_string(number_)); }

  // Declares an extension for QueryExtension and ListExtensions.
  void addExtension(const std::string& name, uint8_t major, uint8_t firstEvent = 0, uint8_t firstError = 0);

  // Answers requests of one major opcode: return a 32-byte (or longer)
  // reply or error, or nothing for a request without a reply. The sequence
  // number and, for replies, the length word are filled in.
  using Responder = std::function<Bytes(const Bytes& request)>;
  void setResponder(uint8_t major, Responder responder);

  // Every request received so far (all clients, arrival order), and those
  // of one major opcode.
  std::vector<Bytes> requests() const;
  std::vector<Bytes> requestsWithMajor(uint8_t major) const;
  void clearLog();

  // A reply with the given bytes from offset 8 on (the rest zero).
  static Bytes reply(const Bytes& fromByte8, uint8_t data = 0);

 private:
  struct Client;
  void run();
  bool serveClient(Client& client);
  bool answer(Client& client, const Bytes& request);
  Bytes builtInAnswer(const Bytes& request);

  int number_ = -1;
  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  std::string socketPath_;
  std::string lockPath_;
  std::thread thread_;
  mutable std::mutex mutex_;
  struct Extension {
    std::string name;
    uint8_t major, firstEvent, firstError;
  };
  std::vector<Extension> extensions_;
  std::vector<std::pair<uint8_t, Responder>> responders_;
  std::vector<Bytes> log_;
  std::vector<std::string> atoms_;
  int16_t saverTimeout_ = 600, saverInterval_ = 600;
  uint8_t saverPrefer_ = 1, saverAllow_ = 1;
};

}  // namespace palvon::test
