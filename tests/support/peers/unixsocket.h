// Stream sockets of the test rig: the relays and the fake server listen
// where an X server of their display number would and connect onwards to a
// real server's Unix socket; sendAll serves every blocking send.
#pragma once

#include <string>

namespace palvon::test {

// A connected socket (close-on-exec), or -1 with errno set.
int connectUnixSocket(const std::string& path);
// A listening socket bound to the path, or -1 with errno set.
int listenUnixSocket(const std::string& path, int backlog);
// Sends all of the bytes on a blocking stream socket (any family), going on
// after a signal; false when the peer has gone or the socket failed.
bool sendAll(int fd, const void* data, size_t size);

}  // namespace palvon::test
