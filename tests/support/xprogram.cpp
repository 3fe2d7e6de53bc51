#include "support/xprogram.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/xvfb.h"

namespace palvon::test {

namespace {

// What a child runs, made before the fork: a test may run threads that
// hold the allocator's lock at the fork, and a child that allocates before
// exec then waits for ever.
struct ChildCommand {
  ChildCommand(const std::vector<std::string>& argv, const std::string& display)
      : displayEntry("DISPLAY=" + display) {
    for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
    words.push_back(nullptr);
    for (char** entry = environ; *entry; entry++) {
      if (display.empty() || strncmp(*entry, "DISPLAY=", 8) != 0) env.push_back(*entry);
    }
    if (!display.empty()) env.push_back(displayEntry.data());
    env.push_back(nullptr);
  }
  [[noreturn]] void exec() {
    execvpe(words[0], words.data(), env.data());
    _exit(127);
  }
  std::string displayEntry;
  std::vector<char*> words;
  std::vector<char*> env;
};

}  // namespace

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv, const std::string& display) {
  if (argv.empty()) return;
  ChildCommand command(argv, display);
  pid_ = fork();
  if (pid_ != 0) return;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  int devnull = open("/dev/null", O_RDWR);
  if (devnull >= 0) dup2(devnull, 0), dup2(devnull, 1);
  command.exec();
}

BackgroundProgram::~BackgroundProgram() {
  if (pid_ > 0) stopProcess(pid_, SIGTERM, 3000);
}

bool BackgroundProgram::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
  pid_ = -1;
  return false;
}

ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& display, int timeoutMs) {
  ProgramResult result;
  int outPipe[2], errPipe[2];
  if (argv.empty() || pipe2(outPipe, O_CLOEXEC) != 0) return result;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }
  ChildCommand command(argv, display);
  pid_t pid = fork();
  if (pid == 0) {
    // A test that dies (a crash, a time-out) takes its server or program
    // with it instead of leaving an orphan that holds a display number.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    command.exec();
  }
  close(outPipe[1]);
  close(errPipe[1]);
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      result.timedOut = true;
      break;
    }
    if (poll(fds, 2, static_cast<int>(left)) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char chunk[4096];
      ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(chunk, n);
      } else {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  close(outPipe[0]);
  close(errPipe[0]);
  if (result.timedOut) {
    stopProcess(pid, SIGKILL, 2000);
    return result;
  }
  // The pipes closed; the program is ending. Bound the wait all the same.
  int status = 0;
  for (int i = 0; i < 400; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return result;
    }
    usleep(5000);
  }
  result.timedOut = true;
  stopProcess(pid, SIGKILL, 2000);
  return result;
}

ProgramResult runProgramUntil(const std::vector<std::string>& argv, const std::string& display,
                              const std::string& text, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  ProgramResult result;
  do {
    result = runProgram(argv, display, 3000);
    if (result.status == 0 && result.out.find(text) != std::string::npos) break;
    usleep(100000);
  } while (std::chrono::steady_clock::now() < deadline);
  return result;
}

}  // namespace palvon::test
