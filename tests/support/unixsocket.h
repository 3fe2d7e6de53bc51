// Unix-domain stream sockets of the test rig: the relays and the fake
// server listen where an X server of their display number would, and
// connect onwards to a real server's socket.
#pragma once

#include <string>

namespace palvon::test {

// A connected socket (close-on-exec), or -1 with errno set.
int connectUnixSocket(const std::string& path);
// A listening socket bound to the path, or -1 with errno set.
int listenUnixSocket(const std::string& path, int backlog);

}  // namespace palvon::test
