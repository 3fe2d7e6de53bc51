#include "support/netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/tempdir.h"

namespace palvon::test {
namespace {

constexpr const char* kInterface = "palvon0";

std::string failed(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool raise(int control, const char* name) {
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  if (ioctl(control, SIOCGIFFLAGS, &request) != 0) return false;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  return ioctl(control, SIOCSIFFLAGS, &request) == 0;
}

bool setAddress(int control, const char* name, unsigned long command, const char* dotted) {
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  auto* in = reinterpret_cast<sockaddr_in*>(&request.ifr_addr);
  in->sin_family = AF_INET;
  inet_pton(AF_INET, dotted, &in->sin_addr);
  return ioctl(control, command, &request) == 0;
}

}  // namespace

PrivateNetwork::PrivateNetwork() {
  home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (home_ < 0) {
    error_ = failed("open /proc/thread-self/ns/net");
    return;
  }
  if (unshare(CLONE_NEWNET) != 0) {
    error_ = failed("unshare(CLONE_NEWNET)");
    close(home_);
    home_ = -1;
    return;
  }
  control_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (control_ < 0) error_ = failed("socket");
  else if (!raise(control_, "lo")) error_ = failed("loopback up");
  // A bridge without ports stands in for a network card: its address is
  // local to the namespace and nothing leaves it.
  else if (ioctl(control_, SIOCBRADDBR, kInterface) != 0) error_ = failed("add bridge");
  else if (!setAddress(control_, kInterface, SIOCSIFADDR, kPrivateAddress)) error_ = failed("set address");
  else if (!setAddress(control_, kInterface, SIOCSIFNETMASK, "255.255.255.0")) error_ = failed("set netmask");
  else if (!raise(control_, kInterface)) error_ = failed("bridge up");
}

PrivateNetwork::~PrivateNetwork() {
  if (control_ >= 0) close(control_);
  if (home_ >= 0) {
    setns(home_, CLONE_NEWNET);
    close(home_);
  }
}

std::string PrivateNetwork::addressBytes() {
  in_addr address{};
  inet_pton(AF_INET, kPrivateAddress, &address);
  return std::string(reinterpret_cast<const char*>(&address), 4);
}

StalledResolver::StalledResolver(const std::string& hosts, int timeoutSeconds) {
  silent_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (silent_ < 0 || bind(silent_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error_ = failed("name server socket");
    return;
  }
  char pattern[] = "/tmp/palvon-resolver-XXXXXX";
  if (!mkdtemp(pattern)) {
    error_ = failed("mkdtemp");
    return;
  }
  dir_ = pattern;
  writeFile(dir_ + "/resolv.conf",
            "nameserver 127.0.0.1\noptions attempts:1 timeout:" + std::to_string(timeoutSeconds) + "\n");
  systemHosts_ = readFile("/etc/hosts");
  setHosts(hosts);
  workdir_ = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  home_ = open("/proc/thread-self/ns/mnt", O_RDONLY | O_CLOEXEC);
  if (home_ < 0) {
    error_ = failed("open /proc/thread-self/ns/mnt");
    return;
  }
  // Private from the start: nothing mounted here is seen outside.
  if (unshare(CLONE_NEWNS) != 0) error_ = failed("unshare(CLONE_NEWNS)");
  else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) error_ = failed("private mounts");
  else if (mount((dir_ + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
    error_ = failed("bind /etc/resolv.conf");
  else if (mount((dir_ + "/hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
    error_ = failed("bind /etc/hosts");
}

void StalledResolver::setHosts(const std::string& hosts) {
  writeFile(dir_ + "/hosts", systemHosts_ + "\n" + hosts + "\n");
}

StalledResolver::~StalledResolver() {
  if (home_ >= 0) {
    // Entering a mount namespace moves the thread to its root: it goes back
    // to where it worked (programs are started by relative paths).
    setns(home_, CLONE_NEWNS);
    close(home_);
    if (workdir_ >= 0 && fchdir(workdir_) != 0) perror("fchdir");
  }
  if (workdir_ >= 0) close(workdir_);
  if (silent_ >= 0) close(silent_);
  if (!dir_.empty()) {
    unlink((dir_ + "/resolv.conf").c_str());
    unlink((dir_ + "/hosts").c_str());
    rmdir(dir_.c_str());
  }
}

}  // namespace palvon::test
