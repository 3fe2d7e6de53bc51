#include "support/proxyprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "support/waitfor.h"

namespace palvon::test {

namespace {

using Clock = std::chrono::steady_clock;

// SIGUSR1 stays blocked in the test process from the first proxy on, so
// that the ready signal waits to be taken by sigtimedwait.
void blockReadySignal(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, set, nullptr);
}

// A proxy's ready signal is sent to the whole test process: a thread that
// does not block it (a relay's or a fake server's) could take it, and its
// default action ends the test. Blocked in the main thread before any thread
// exists, every later thread inherits the block.
const bool readySignalBlockedAtStart = [] {
  sigset_t set;
  blockReadySignal(&set);
  return true;
}();

}  // namespace

ProxyProcess::ProxyProcess(const std::vector<std::string>& words, const std::vector<std::string>& environment,
                           int readyTimeoutMs, bool ownLog) {
  if (!claim_.ok()) return;
  std::vector<std::string> argv{"bin/palvon", "connection", claim_.name()};
  if (ownLog) {
    logPath_ = dir_.file("proxy.log");
    argv.insert(argv.end(), {"logDestination", logPath_});
  }
  argv.insert(argv.end(), words.begin(), words.end());
  // Everything the child needs is made before the fork: a test may run
  // threads (a relay) that hold the allocator's lock at the fork, and a
  // child that allocates before exec then waits for ever.
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  std::vector<char*> env;
  for (char** entry = environ; *entry; entry++) {
    bool replaced = false;
    for (const std::string& given : environment) {
      size_t name = given.find('=');
      replaced = replaced || (name != std::string::npos && strncmp(*entry, given.c_str(), name + 1) == 0);
    }
    if (!replaced) env.push_back(*entry);
  }
  for (const std::string& given : environment) env.push_back(const_cast<char*>(given.c_str()));
  env.push_back(nullptr);
  sigset_t ready;
  blockReadySignal(&ready);
  // A signal left from an earlier proxy of this process is no answer.
  timespec zero{0, 0};
  while (sigtimedwait(&ready, nullptr, &zero) > 0) {
  }
  pid_ = fork();
  if (pid_ == 0) {
    // A test that dies takes its proxy along, and the proxy holds none of
    // the test's output pipes open.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int devnull = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; fd++) dup2(devnull, fd);
    ::signal(SIGUSR1, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(raw[0], raw.data(), env.data());
    _exit(127);
  }
  if (pid_ < 0) return;
  auto deadline = Clock::now() + std::chrono::milliseconds(readyTimeoutMs);
  while (Clock::now() < deadline) {
    siginfo_t info{};
    timespec slice{0, 10 * 1000 * 1000};
    if (sigtimedwait(&ready, &info, &slice) == SIGUSR1 && info.si_pid == pid_) {
      ready_ = true;
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      return;
    }
  }
}

ProxyProcess::~ProxyProcess() {
  // SIGTERM first: the proxy then stops what it started itself.
  if (pid_ > 0) stopProcess(pid_, SIGTERM, 10000);
}

void ProxyProcess::signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

int ProxyProcess::wait(int timeoutMs) {
  if (pid_ <= 0) return status_;
  // Asked at least once: wait(0) tells whether the proxy has ended by now.
  bool ended = waitFor(
      [&] {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
      },
      timeoutMs, 10);
  if (!ended) return -1;
  pid_ = -1;
  return status_;
}

bool ProxyProcess::waitForLog(const std::string& text, int timeoutMs, size_t from) {
  return waitFor(
      [&] {
        std::string content = log();
        return content.size() > from && content.find(text, from) != std::string::npos;
      },
      timeoutMs, 20);
}

std::string testControl(const std::string& path, const std::string& line, int timeoutMs) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) close(fd);
    return "(no control)";
  }
  std::string text = line + "\n";
  if (write(fd, text.data(), text.size()) != ssize_t(text.size())) {
    close(fd);
    return "(write failed)";
  }
  std::string reply;
  char buffer[512];
  pollfd p{fd, POLLIN, 0};
  while (reply.find('\n') == std::string::npos && poll(&p, 1, timeoutMs) == 1) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    reply.append(buffer, size_t(n));
  }
  close(fd);
  if (!reply.empty() && reply.back() == '\n') reply.pop_back();
  return reply;
}

}  // namespace palvon::test
