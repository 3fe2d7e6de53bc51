#include "support/xvfb.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <fcntl.h>
#include <sys/prctl.h>
#include <poll.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace palvon::test {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

// True when nothing listens on (or holds) TCP port 6000 + n of the loopback.
bool loopbackPortFree(int n) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(6000 + n));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return free;
}

// True when a socket of that path, in the file system or the abstract
// namespace, is listed by the kernel.
bool unixSocketListed(const std::string& path) {
  std::ifstream list("/proc/net/unix");
  std::string line;
  while (std::getline(list, line)) {
    size_t at = line.rfind(' ');
    std::string name = at == std::string::npos ? line : line.substr(at + 1);
    if (name == path || name == "@" + path) return true;
  }
  return false;
}

// True when a server answers on the socket file. A file nobody listens on
// is litter of a server that was killed; a new server replaces it.
bool socketFileAnswers(const std::string& path) {
  if (access(path.c_str(), F_OK) != 0) return false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  bool answers = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 || errno != ECONNREFUSED;
  close(fd);
  return answers;
}

bool claimDisplayNumber(int n, std::string* lockPath) {
  std::string number = std::to_string(n);
  std::string socketPath = std::string("/tmp/.X11-unix/X").append(number);
  // The lock first: a number another claimant or a locking server holds is
  // never probed (a probe connection would count as a client of its server).
  std::string path = std::string("/tmp/.X").append(number).append("-lock");
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0444);
  if (fd < 0) return false;
  char text[16];
  int length = snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
  bool written = write(fd, text, static_cast<size_t>(length)) == length;
  close(fd);
  bool taken = !written || unixSocketListed(socketPath) || !loopbackPortFree(n);
  // A socket file that no socket of this network lists may still belong to
  // a server elsewhere that does not lock: only a refused connection shows
  // it is litter, which the claimant's server may then replace.
  if (!taken && access(socketPath.c_str(), F_OK) == 0) {
    taken = socketFileAnswers(socketPath);
    if (!taken) unlink(socketPath.c_str());
  }
  if (taken) {
    unlink(path.c_str());
    return false;
  }
  *lockPath = path;
  return true;
}

ClaimedDisplay::ClaimedDisplay(int from) {
  for (int n = from; n < from + 500; n++) {
    if (claimDisplayNumber(n, &lock_)) {
      number_ = n;
      return;
    }
  }
}

ClaimedDisplay::~ClaimedDisplay() {
  if (!lock_.empty()) unlink(lock_.c_str());
}

bool stopProcess(pid_t pid, int sig, int timeoutMs) {
  if (pid <= 0) return true;
  kill(pid, SIGCONT);
  kill(pid, sig);
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    if (msLeft(deadline) == 0) break;
    usleep(5000);
  }
  kill(pid, SIGKILL);
  int status;
  waitpid(pid, &status, 0);
  return false;
}

namespace {

// Moves the calling (single-threaded) process into a new time namespace
// whose monotonic clock runs `seconds` ahead; false when that fails.
bool enterAheadTimeNamespace(int seconds) {
  if (unshare(CLONE_NEWTIME) != 0) return false;
  int fd = open("/proc/self/timens_offsets", O_WRONLY);
  std::string offsets = "monotonic " + std::to_string(seconds) + " 0";
  bool written = fd >= 0 && write(fd, offsets.data(), offsets.size()) == ssize_t(offsets.size());
  if (fd >= 0) close(fd);
  int ns = open("/proc/self/ns/time_for_children", O_RDONLY);
  bool entered = written && ns >= 0 && setns(ns, CLONE_NEWTIME) == 0;
  if (ns >= 0) close(ns);
  return entered;
}

}  // namespace

bool Xvfb::start(int number, const std::vector<std::string>& args, int startTimeoutMs, int aheadSeconds) {
  // Xvfb's own messages go to a file: a pipe would break once we stop reading.
  char logName[] = "/tmp/palvon-xvfb-XXXXXX";
  int logFd = mkstemp(logName);
  int numberPipe[2];
  if (logFd < 0 || pipe2(numberPipe, O_CLOEXEC) != 0) {
    error_ = "cannot make the start-up pipe or log";
    if (logFd >= 0) close(logFd);
    return false;
  }
  unlink(logName);
  std::string fdText = std::to_string(numberPipe[1]);
  // The claim holds the lock file: the server must not look for one.
  std::vector<std::string> argv = {"Xvfb", std::string(":").append(std::to_string(number)), "-displayfd", fdText,
                                   "-nolock", "-noreset"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = fork();
  if (pid_ == 0) {
    // A test that dies (a crash, a time-out) takes its server or program
    // with it instead of leaving an orphan that holds a display number.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The number pipe must survive exec; everything else is close-on-exec.
    fcntl(numberPipe[1], F_SETFD, 0);
    dup2(logFd, 2);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    if (aheadSeconds > 0 && !enterAheadTimeNamespace(aheadSeconds)) _exit(126);
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    execvp("Xvfb", raw.data());
    _exit(127);
  }
  close(numberPipe[1]);
  auto deadline = Clock::now() + std::chrono::milliseconds(startTimeoutMs);
  std::string numberText;
  bool numberDone = false;
  pollfd fds[1] = {{numberPipe[0], POLLIN, 0}};
  while (!numberDone && msLeft(deadline) > 0) {
    if (poll(fds, 1, msLeft(deadline)) <= 0) continue;
    char chunk[256];
    ssize_t n = read(numberPipe[0], chunk, sizeof chunk);
    if (n <= 0) break;  // Xvfb ended before it was ready
    numberText.append(chunk, n);
    if (numberText.find('\n') != std::string::npos) numberDone = true;
  }
  close(numberPipe[0]);
  if (!numberDone) {
    char chunk[4096];
    ssize_t n = pread(logFd, chunk, sizeof chunk, 0);
    if (n > 0) error_.assign(chunk, n);
  }
  close(logFd);
  if (numberDone && std::atoi(numberText.c_str()) == number) {
    number_ = number;
    return true;
  }
  if (error_.empty()) error_ = "Xvfb did not report its display number in time";
  stopProcess(pid_, SIGTERM, 3000);
  pid_ = -1;
  return false;
}

Xvfb::Xvfb(std::vector<std::string> args, int startTimeoutMs, int aheadSeconds) {
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "-fbdir") fbdir_ = args[i + 1];
  // A number can still be taken between the claim and the server's bind (by
  // a process that does not claim): the next free number is tried then.
  int tries = 0;
  for (int n = 100; n < 1000 && tries < 5; n++) {
    if (!claimDisplayNumber(n, &lock_)) continue;
    tries++;
    error_.clear();
    if (start(n, args, startTimeoutMs, aheadSeconds)) return;
    unlink(lock_.c_str());
    lock_.clear();
  }
  if (error_.empty()) error_ = "no free display number";
}

void Xvfb::stop() {
  if (pid_ > 0) stopProcess(pid_, SIGTERM, 5000);
  pid_ = -1;
  if (!lock_.empty()) unlink(lock_.c_str());
  lock_.clear();
}

Xvfb::~Xvfb() { stop(); }

}  // namespace palvon::test
