// The proxy program itself for tests: started through its wrapper script on
// a display number claimed for the test, with its log in a file of its own,
// ready once it sends the ready signal, and stopped by pid.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/tempdir.h"
#include "support/xvfb.h"

namespace palvon::test {

class ProxyProcess {
 public:
  // Starts "bin/palvon logDestination <log> connection :<n>" and the words,
  // with the environment entries ("NAME=value") added, and waits for the
  // ready signal (SIGUSR1, which the proxy sends when its parent ignored
  // it) or the proxy's end. Without ownLog the proxy logs where it does by
  // default, and log() is empty.
  explicit ProxyProcess(const std::vector<std::string>& words, const std::vector<std::string>& environment = {},
                        int readyTimeoutMs = 30000, bool ownLog = true);
  ~ProxyProcess();
  ProxyProcess(const ProxyProcess&) = delete;
  ProxyProcess& operator=(const ProxyProcess&) = delete;

  bool ok() const { return ready_; }
  int number() const { return claim_.number(); }
  std::string display() const { return claim_.name(); }
  pid_t pid() const { return pid_; }
  std::string log() const { return readFile(logPath_); }
  const TempDir& dir() const { return dir_; }

  void signal(int sig);
  // The exit status once the proxy ended (128 + signal when killed by
  // one), or -1 when it did not end in time.
  int wait(int timeoutMs);
  // Waits until the log holds the text (counting from `from` bytes on).
  bool waitForLog(const std::string& text, int timeoutMs, size_t from = 0);

 private:
  ClaimedDisplay claim_{300};
  TempDir dir_;
  std::string logPath_;
  pid_t pid_ = -1;
  int status_ = -1;
  bool ready_ = false;
};

// One command line to the test control socket of a proxy started with
// PALVON_TEST_CONTROL=<path>, and its one-line answer back ("(no control)"
// when nobody listens there).
std::string testControl(const std::string& path, const std::string& line, int timeoutMs = 90000);

}  // namespace palvon::test
