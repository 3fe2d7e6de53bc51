#include "support/peers/unixsocket.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace palvon::test {
namespace {

// A socket of the path's address; -1 (ENAMETOOLONG) for a path that does
// not fit.
int socketFor(const std::string& path, sockaddr_un* address) {
  if (path.size() >= sizeof address->sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  *address = {};
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path.c_str(), path.size());
  return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

// Closes the socket keeping the errno of the call that failed.
int fail(int fd) {
  int saved = errno;
  if (fd >= 0) close(fd);
  errno = saved;
  return -1;
}

}  // namespace

int connectUnixSocket(const std::string& path) {
  sockaddr_un address;
  int fd = socketFor(path, &address);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return fail(fd);
  return fd;
}

int listenUnixSocket(const std::string& path, int backlog) {
  sockaddr_un address;
  int fd = socketFor(path, &address);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0)
    return fail(fd);
  return fd;
}

bool sendAll(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace palvon::test
