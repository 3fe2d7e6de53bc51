// A network of the test's own, for cases that need an address that is not
// loopback: the calling thread moves into a new network namespace with its
// loopback up and one bridge interface holding kPrivateAddress/24, and goes
// back to its own namespace when the guard ends. Programs started inside
// (Xvfb) stay there and are reachable only from inside. Needs the right to
// make namespaces (root in CI); ok() is false otherwise, and tests skip.
#pragma once

#include <string>

namespace palvon::test {

class PrivateNetwork {
 public:
  PrivateNetwork();
  ~PrivateNetwork();
  PrivateNetwork(const PrivateNetwork&) = delete;
  PrivateNetwork& operator=(const PrivateNetwork&) = delete;

  bool ok() const { return error_.empty(); }
  // Why the namespace could not be made ("" when it was).
  const std::string& error() const { return error_; }
  // The interface's address, dotted and as 4 bytes in network order.
  static constexpr const char* kPrivateAddress = "10.211.0.1";
  static std::string addressBytes();

 private:
  int home_ = -1;     // the namespace the thread came from
  int control_ = -1;  // a socket inside the new namespace
  std::string error_;
};

// Name look-ups of the test's own, for programs started inside a
// PrivateNetwork: the calling thread moves into a mount namespace of its
// own where /etc/resolv.conf names one name server, on the network's
// loopback, that never answers (a socket the guard holds and never reads:
// a look-up there waits its whole time-out, `timeoutSeconds`), and
// /etc/hosts adds `hosts` ("address name" lines); the thread goes back
// when the guard ends. ok() is false without the right to make namespaces.
class StalledResolver {
 public:
  StalledResolver(const std::string& hosts, int timeoutSeconds);
  ~StalledResolver();
  StalledResolver(const StalledResolver&) = delete;
  StalledResolver& operator=(const StalledResolver&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // Replaces the lines added to /etc/hosts, in place: programs started
  // inside see the change at their next look-up.
  void setHosts(const std::string& hosts);

 private:
  int home_ = -1;     // the mount namespace the thread came from
  int workdir_ = -1;  // and its working directory
  int silent_ = -1;   // the name server that never answers
  std::string dir_;
  std::string systemHosts_;
  std::string error_;
};

}  // namespace palvon::test
