// Real X servers for tests. Each Xvfb runs on a display number the rig
// claimed first (no lock file, socket file, abstract socket or loopback TCP
// port of that number in use: another server's abstract socket would catch
// a client that names the number), reports readiness through -displayfd,
// and is stopped by pid when the fixture goes out of scope, also when the
// test fails.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace palvon::test {

class Xvfb {
 public:
  // args are passed to Xvfb after -displayfd, for example
  // {"-screen", "0", "800x600x24", "-fbdir", dir, "-extension", "RANDR"}.
  // -noreset is added so that a test's last disconnect does not reset the
  // server's state under the next connection.
  // aheadSeconds > 0 runs the server in a time namespace of its own whose
  // monotonic clock (an X server's time stamps) is that far ahead (root only).
  explicit Xvfb(std::vector<std::string> args = {"-screen", "0", "1024x768x24"}, int startTimeoutMs = 20000,
                int aheadSeconds = 0);
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  bool ok() const { return number_ >= 0; }
  int number() const { return number_; }
  // Built by appending: GCC 12 warns falsely (-Wrestrict) on literal + string at -O3.
  std::string display() const { return std::string(":").append(std::to_string(number_)); }
  std::string socketPath() const { return std::string("/tmp/.X11-unix/X").append(std::to_string(number_)); }
  pid_t pid() const { return pid_; }
  // The -fbdir given in args, "" when none.
  const std::string& fbdir() const { return fbdir_; }
  // Why start-up failed (stderr of Xvfb), for assertion messages.
  const std::string& error() const { return error_; }
  // Stops the server now (the destructor does it otherwise).
  void stop();

 private:
  bool start(int number, const std::vector<std::string>& args, int startTimeoutMs, int aheadSeconds);

  pid_t pid_ = -1;
  int number_ = -1;
  std::string lock_;  // the claim's lock file, removed when the server stops
  std::string fbdir_;
  std::string error_;
};

// Claims display number n for a server of the test's own (the fake server,
// an in-process proxy) with the lock file X servers use, so that Xvfb
// -displayfd and tests running side by side skip it. Fails when the number's
// socket exists, its TCP port on the loopback is taken, or another process
// holds the lock. Remove *lockPath when done.
bool claimDisplayNumber(int n, std::string* lockPath);

// A display number claimed for the test's lifetime, the first free one from
// `from` on; every test that needs a number of its own (a server that is
// absent, or one started late without -displayfd) takes it here. A server
// started on it must be told -nolock: the claim holds the lock.
class ClaimedDisplay {
 public:
  explicit ClaimedDisplay(int from);
  ~ClaimedDisplay();
  ClaimedDisplay(const ClaimedDisplay&) = delete;
  ClaimedDisplay& operator=(const ClaimedDisplay&) = delete;
  bool ok() const { return number_ >= 0; }
  int number() const { return number_; }
  std::string name() const { return std::string(":").append(std::to_string(number_)); }

 private:
  int number_ = -1;
  std::string lock_;
};

// Sends sig, waits up to timeoutMs for the process to end, then SIGKILLs it.
// Continues a stopped process first. Returns true when it ended.
bool stopProcess(pid_t pid, int sig, int timeoutMs);

}  // namespace palvon::test
