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

}  // namespace palvon::test
