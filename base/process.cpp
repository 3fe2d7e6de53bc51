#include "base/process.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <sched.h>
#include <strings.h>

#include "base/hostclock.h"
#include "base/logging.h"
#include "base/lookups.h"
#include "base/timeval.h"

namespace palvon {

// --- Starting programs --------------------------------------------------------

namespace {

constexpr int kResetSignalsUpTo = 34;

// A started program begins with every signal at its default and none blocked.
void resetSignalState() {
  for (int sig = 1; sig <= kResetSignalsUpTo; sig++) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace

pid_t processSpawn(int argc, char* const* argv, int parentDeathSignal) {
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    logProblem("Out of processes", __FILE__, __LINE__);
    return 0;
  }
  if (pid > 0) return pid;
  resetSignalState();
  // A parent that ended before the request took effect sends nothing.
  if (parentDeathSignal && (prctl(PR_SET_PDEATHSIG, parentDeathSignal) != 0 || getppid() != parent))
    _exit(127);
  auto** args = static_cast<char**>(memAlloc((static_cast<size_t>(argc) + 1) * sizeof(char*)));
  if (!args) {
    PALVON_OOM();
    _exit(127);
  }
  for (int i = 0; i < argc; i++) args[i] = argv[i];
  args[argc] = nullptr;
  if (argc > 0) execvp(args[0], args);
  LOGF(logChWarning, "Can't execute '%s': %s", argc > 0 ? args[0] : "", errnoText(errno));
  // 127 is what a shell reports for a program it could not run; a status of
  // 0 would tell the parent that the program ran and succeeded.
  _exit(127);
}

const char* processShellExec(const char* command) {
  char line[kShellCommandMax];
  int length = snprintf(line, sizeof line, "exec %s", command);
  if (length < 0 || static_cast<size_t>(length) >= sizeof line)
    return tmpPrintf("execl(%s) failed: %s", command, errnoText(E2BIG));
  execl("/bin/sh", "shell", "-c", line, static_cast<char*>(nullptr));
  return tmpPrintf("execl(%s) failed: %s", command, errnoText(errno));
}

// --- Shell pipes ----------------------------------------------------------------

namespace {

struct PipeEntry {
  FILE* stream;
  pid_t pid;  // 0 ends the table
};

PipeEntry* gPipes;

size_t pipeCount() {
  size_t n = 0;
  while (gPipes && gPipes[n].pid) n++;
  return n;
}

bool pipeRecord(FILE* stream, pid_t pid) {
  size_t n = pipeCount();
  auto* grown = static_cast<PipeEntry*>(memRealloc(gPipes, (n + 2) * sizeof(PipeEntry)));
  if (!grown) return false;
  grown[n] = PipeEntry{stream, pid};
  grown[n + 1] = PipeEntry{nullptr, 0};
  gPipes = grown;
  return true;
}

PipeEntry* pipeFind(FILE* stream) {
  for (size_t i = 0; gPipes && gPipes[i].pid; i++)
    if (gPipes[i].stream == stream) return &gPipes[i];
  return nullptr;
}

// The child's end of the pipe becomes its standard input or output; the
// other standard descriptors lead to /dev/null, so that nothing the program
// opens lands on them by accident.
[[noreturn]] void popenChild(int end, int target, const char* command, void (*setup)(void*), void* argument) {
  resetSignalState();
  if (end == target) fcntl(end, F_SETFD, 0);
  else dup2(end, target);
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    for (int fd = 0; fd <= 2; fd++)
      if (fd != target) dup2(null, fd);
  }
  if (setup) setup(argument);
  processShellExec(command);
  _exit(127);
}

}  // namespace

FILE* processPopen(const char* command, const char* mode, void (*setup)(void*), void* argument) {
  bool reading = !std::strcmp(mode, "r");
  if (!reading && std::strcmp(mode, "w")) {
    errno = EINVAL;
    return nullptr;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  int mine = reading ? fds[0] : fds[1];
  int theirs = reading ? fds[1] : fds[0];
  pid_t pid = fork();
  if (pid == 0) popenChild(theirs, reading ? 1 : 0, command, setup, argument);
  close(theirs);
  if (pid < 0) {
    close(mine);
    return nullptr;
  }
  FILE* stream = fdopen(mine, mode);
  if (!stream || !pipeRecord(stream, pid)) {
    if (stream) std::fclose(stream);
    else close(mine);
    processWait(pid);
    return nullptr;
  }
  return stream;
}

void processPopenKill(FILE* stream) {
  if (PipeEntry* entry = pipeFind(stream)) kill(entry->pid, SIGKILL);
}

u32 processPclose(FILE* stream) {
  PipeEntry* entry = pipeFind(stream);
  if (!entry) return 0xFFFFFFFFu;
  pid_t pid = entry->pid;
  size_t n = pipeCount();
  *entry = gPipes[n - 1];
  gPipes[n - 1] = PipeEntry{nullptr, 0};
  if (n == 1) {
    std::free(gPipes);
    gPipes = nullptr;
  }
  std::fclose(stream);
  processWait(pid);
  return 1;
}

// --- Children -------------------------------------------------------------------

int processPoll(pid_t pid, int* exitCode) {
  int status = 0;
  pid_t done = waitpid(pid, &status, WNOHANG);
  if (done == pid && WIFEXITED(status)) {
    *exitCode = WEXITSTATUS(status);
    return 1;
  }
  if (done < 0 && errno == ECHILD) {
    *exitCode = 1;
    return 1;
  }
  return 0;
}

namespace {

bool processGone(pid_t pid) {
  errno = 0;
  return getpriority(PRIO_PROCESS, static_cast<id_t>(pid)) == -1 && errno == ESRCH;
}

u64 monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<u64>(now.tv_sec) * 1000 + static_cast<u64>(now.tv_nsec) / 1000000;
}

// Polls until the process is reaped or gone, at most ms milliseconds.
bool waitGone(pid_t pid, u32 ms) {
  u64 deadline = monotonicMs() + ms;
  for (;;) {
    pid_t done = waitpid(pid, nullptr, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno == ECHILD && processGone(pid)) return true;
    if (monotonicMs() >= deadline) return false;
    timespec pause{0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

const char* processWait(pid_t pid) {
  for (;;) {
    if (waitpid(pid, nullptr, 0) == pid) return nullptr;
    if (errno == EINTR) continue;
    if (errno == ECHILD && processGone(pid)) return nullptr;
    return tmpPrintf("waitpid(%d) failed: %s", static_cast<int>(pid), errnoText(errno));
  }
}

const char* processExitText(const char* program, int exitCode, FILE* output) {
  constexpr size_t kReadMax = 8191;
  constexpr size_t kKeep = 1024;
  char text[kReadMax + 1];
  size_t n = 0;
  while (output && n < kReadMax) {
    size_t got = std::fread(text + n, 1, kReadMax - n, output);
    if (got == 0) break;
    n += got;
  }
  if (n > kKeep) n = kKeep;
  for (size_t i = 0; i < n; i++)
    if (text[i] == '\n') text[i] = ' ';
  text[n] = 0;
  const char* hint = exitCode == 127   ? " - make sure the external program is installed"
                     : exitCode == 126 ? " - command invoked is not executable"
                     : exitCode == 130 ? " - terminated by Control-C"
                                       : "";
  return tmpPrintf("%s exited with code %d: %s%s", program, exitCode, text, hint);
}

// A pid of 0 or below would reach a whole process group, or every process
// we may signal: never what a caller holding one child's pid means.
int processKill(int signal, pid_t pid) {
  if (pid <= 0) {
    errno = ESRCH;
    return -1;
  }
  return kill(pid, signal);
}

const char* processTerminate(pid_t pid) {
  if (pid <= 0) return tmpPrintf("waitpid(%d) failed: %s", static_cast<int>(pid), errnoText(ESRCH));
  kill(pid, SIGTERM);
  if (waitGone(pid, kTerminateWaitMs)) return nullptr;
  kill(pid, SIGKILL);
  if (waitGone(pid, kTerminateWaitMs)) return nullptr;
  return tmpPrintf("waitpid(%d) failed: %s", static_cast<int>(pid), errnoText(ETIMEDOUT));
}

pid_t processWatchFile(const char* path, int* pipeOut) {
  struct stat watched;
  int ends[2];
  if (lstat(path, &watched) != 0 || pipe2(ends, O_CLOEXEC) != 0) return 0;
  pid_t pid = fork();
  if (pid < 0) {
    close(ends[0]);
    close(ends[1]);
    return 0;
  }
  if (pid > 0) {
    close(ends[0]);
    *pipeOut = ends[1];
    return pid;
  }
  // Only what the wait needs, and no signal that the whole session gets
  // ends it before the parent.
  const int ignored[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
  for (int sig : ignored) signal(sig, SIG_IGN);
  dup2(ends[0], 0);
  close_range(1, ~0u, 0);
  char byte;
  ssize_t n;
  while ((n = read(0, &byte, 1)) < 0 && errno == EINTR) {
  }
  struct stat now;
  if (n == 0 && lstat(path, &now) == 0 && now.st_dev == watched.st_dev && now.st_ino == watched.st_ino) unlink(path);
  _exit(0);
}

void processReleaseFile(pid_t child, int pipe) {
  if (child <= 0) return;
  if (write(pipe, "", 1) != 1) kill(child, SIGKILL);
  close(pipe);
  processWait(child);
}

void processSetPriority(pid_t pid, int priority) {
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(pid), priority) != 0)
    LOGF(logChWarning, "setpriority() failed: %s", errnoText(errno));
}

// --- User and limits --------------------------------------------------------------

namespace {

bool startsWithDigit(const char* text) { return *text >= '0' && *text <= '9'; }

// The group of a "user:group" text; nullptr or an error text.
const char* lookUpGroup(const char* name, gid_t* gid) {
  if (startsWithDigit(name)) {
    *gid = static_cast<gid_t>(std::strtoul(name, nullptr, 10));
    return nullptr;
  }
  group* entry = getgrnam(name);
  if (!entry) return tmpPrintf("Unknown group '%s'", name);
  *gid = entry->gr_gid;
  return nullptr;
}

}  // namespace

const char* processSetUser(const char* userAndGroup) {
  const char* colon = std::strchr(userAndGroup, ':');
  const char* user = colon ? tmpStrndup(userAndGroup, static_cast<size_t>(colon - userAndGroup)) : userAndGroup;
  passwd* entry = startsWithDigit(user) ? getpwuid(static_cast<uid_t>(std::strtoul(user, nullptr, 10)))
                                        : getpwnam(user);
  if (!entry && !startsWithDigit(user)) return tmpPrintf("Unknown user '%s'", user);
  uid_t uid = entry ? entry->pw_uid : static_cast<uid_t>(std::strtoul(user, nullptr, 10));
  gid_t gid = 0;
  if (colon) {
    if (const char* error = lookUpGroup(colon + 1, &gid)) return error;
  } else if (entry) {
    gid = entry->pw_gid;
  } else {
    // A bare number without a password entry has no group of its own, and
    // keeping ours would keep root's.
    return tmpPrintf("Unknown user '%s'", user);
  }
  const char* name = entry ? tmpCopy(entry->pw_name) : user;
  // The supplementary groups go first: after setuid they can't be dropped.
  if (geteuid() == 0) {
    int failed = entry ? initgroups(name, gid) : setgroups(1, &gid);
    if (failed) return tmpPrintf("Can't set the groups of user '%s': %s", name, errnoText(errno));
  }
  if (setgid(gid) != 0) return tmpPrintf("Can't switch to group %u: %s", static_cast<unsigned>(gid), errnoText(errno));
  if (setuid(uid) != 0) return tmpPrintf("Can't switch to user '%s': %s", name, errnoText(errno));
  if (getuid() != uid || geteuid() != uid) return tmpPrintf("Can't switch to user '%s'", name);
  return nullptr;
}

void processRaiseLimit(int resource) {
  rlimit limit;
  if (getrlimit(resource, &limit) != 0) {
    LOGF(logChWarning, "getrlimit(%d) failed", resource);
    return;
  }
  if (limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(resource, &limit) != 0) LOGF(logChWarning, "Can't raise process limit %d", resource);
}

void processRaiseLimits() {
  LOGF(logChStep, "Raising process limits...");
  processRaiseLimit(RLIMIT_FSIZE);
  processRaiseLimit(RLIMIT_DATA);
  processRaiseLimit(RLIMIT_NOFILE);
}

// --- Signal handler stacks -----------------------------------------------------

namespace {

struct SignalStack {
  SignalHandler handlers[kSignalStackDepth];
  int depth;
  struct sigaction original;  // installed before the first push
};

SignalStack gStacks[NSIG];

void installHandler(int sig, SignalHandler handler, struct sigaction* previous) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(sig, &action, previous);
}

bool validSignal(int sig) { return sig > 0 && sig < NSIG; }

}  // namespace

int signalPush(SignalHandler handler, int sig) {
  if (!validSignal(sig)) return 0;
  SignalStack& stack = gStacks[sig];
  installHandler(sig, handler, stack.depth == 0 ? &stack.original : nullptr);
  if (stack.depth < kSignalStackDepth) stack.handlers[stack.depth++] = handler;
  return stack.depth;
}

void signalPop(SignalHandler handler, int sig) {
  if (!validSignal(sig)) return;
  SignalStack& stack = gStacks[sig];
  int at = stack.depth - 1;
  while (at >= 0 && stack.handlers[at] != handler) at--;
  if (at < 0) return;
  bool top = at == stack.depth - 1;
  for (int i = at; i + 1 < stack.depth; i++) stack.handlers[i] = stack.handlers[i + 1];
  stack.depth--;
  if (!top) return;
  if (stack.depth > 0) installHandler(sig, stack.handlers[stack.depth - 1], nullptr);
  else sigaction(sig, &stack.original, nullptr);
}

// --- Waiting for a signal ---------------------------------------------------------
//
// The handler clears the flag and writes a byte into a pipe; the waiter
// sleeps in poll() on that pipe. A signal that comes after arming but before
// the wait leaves its byte behind, so the wait cannot miss it, whichever
// thread the handler ran on.

namespace {

volatile sig_atomic_t gWaitFlag;
int gWakePipe[2] = {-1, -1};

void drainWakePipe() {
  char bytes[64];
  while (gWakePipe[0] >= 0 && read(gWakePipe[0], bytes, sizeof bytes) > 0) {
  }
}

}  // namespace

void signalWaitFlagClear(int) {
  gWaitFlag = 0;
  int saved = errno;
  if (gWakePipe[1] >= 0) {
    ssize_t ignored = write(gWakePipe[1], "x", 1);
    (void)ignored;
  }
  errno = saved;
}

void signalWaitArm(int sig) {
  if (gWakePipe[0] < 0 && pipe2(gWakePipe, O_CLOEXEC | O_NONBLOCK) != 0) gWakePipe[0] = gWakePipe[1] = -1;
  drainWakePipe();
  gWaitFlag = 1;
  signalPush(signalWaitFlagClear, sig);
}

void signalWaitFor(int sig) {
  while (gWaitFlag) {
    if (gWakePipe[0] < 0) {
      timespec pause{0, 1000 * 1000};
      nanosleep(&pause, nullptr);
      continue;
    }
    pollfd wake{gWakePipe[0], POLLIN, 0};
    poll(&wake, 1, -1);
    drainWakePipe();
  }
  signalPop(signalWaitFlagClear, sig);
  gWaitFlag = 0;
}

void signalWait(int sig) {
  signalWaitArm(sig);
  signalWaitFor(sig);
}

void processSignalAndWait(int sig, pid_t pid) {
  signalWaitArm(sig);
  if (processKill(sig, pid) == 0) {
    signalWaitFor(sig);
    return;
  }
  // Nothing was sent, so nothing will come back.
  signalPop(signalWaitFlagClear, sig);
  gWaitFlag = 0;
}

// --- The nested alarm -------------------------------------------------------------

namespace {

int gAlarmDepth;
volatile sig_atomic_t gAlarmFlag;
struct sigaction gSavedAlarmAction;
itimerval gSavedTimer;

}  // namespace

void alarmFlagSet(int) { gAlarmFlag = 1; }

void alarmStart(u32 milliseconds, SignalHandler handler) {
  if (gAlarmDepth++ > 0) return;
  // No SA_RESTART: the alarm is there to interrupt a blocking call.
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, &gSavedAlarmAction);
  itimerval timer{};
  timer.it_value.tv_sec = milliseconds / 1000;
  timer.it_value.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
  setitimer(ITIMER_REAL, &timer, &gSavedTimer);
}

int alarmStop() {
  if (gAlarmDepth == 0) return 0;
  if (--gAlarmDepth == 0) {
    setitimer(ITIMER_REAL, &gSavedTimer, nullptr);
    sigaction(SIGALRM, &gSavedAlarmAction, nullptr);
  }
  int wasSet = gAlarmFlag;
  gAlarmFlag = 0;
  return wasSet;
}

// --- Host, user and system texts ----------------------------------------------------

namespace {

bool sameAddress(const hostent* host, const char* name) {
  if (host->h_addrtype != AF_INET && host->h_addrtype != AF_INET6) return false;
  unsigned char address[sizeof(in6_addr)];
  if (inet_pton(host->h_addrtype, name, address) != 1) return false;
  for (char** walk = host->h_addr_list; walk && *walk; walk++)
    if (!std::memcmp(*walk, address, static_cast<size_t>(host->h_length))) return true;
  return false;
}

// Whether `name` is one of this host's names or addresses, as the name
// service knows them; a look-up of its own (runLookUp).
struct OwnNameCheck {
  char name[NI_MAXHOST];
  int local;
};

void checkOwnNames(void* argument) {
  auto* check = static_cast<OwnNameCheck*>(argument);
  hostent storage;
  hostent* host = nullptr;
  char scratch[8192];
  int error = 0;
  if (gethostbyname_r(hostName(), &storage, scratch, sizeof scratch, &host, &error) != 0 || !host) return;
  if (host->h_name && !strcasecmp(check->name, host->h_name)) check->local = 1;
  for (char** alias = host->h_aliases; alias && *alias; alias++)
    if (!strcasecmp(check->name, *alias)) check->local = 1;
  if (sameAddress(host, check->name)) check->local = 1;
}

}  // namespace

int hostIsLocal(const char* name) {
  if (!name || !*name) return 0;
  if (!strcasecmp(name, hostName()) || !strcasecmp(name, "localhost")) return 1;
  auto* check = static_cast<OwnNameCheck*>(std::calloc(1, sizeof(OwnNameCheck)));
  if (!check) return 0;
  strCopy(check->name, name, sizeof check->name);
  if (!runLookUp(checkOwnNames, std::free, check)) return 0;
  int local = check->local;
  std::free(check);
  return local;
}

int hostImageByteOrder() { return 0; }

const char* userLoginName() {
  static char name[256];
  if (passwd* entry = getpwuid(getuid())) {
    strCopy(name, entry->pw_name, sizeof name);
    return name;
  }
  if (const char* login = getlogin()) {
    strCopy(name, login, sizeof name);
    return name;
  }
  return "?";
}

const char* userFullName() {
  static char name[256];
  name[0] = 0;
  if (passwd* entry = getpwuid(getuid()); entry && entry->pw_gecos) {
    strCopy(name, entry->pw_gecos, sizeof name);
    name[std::strcspn(name, ",")] = 0;
  }
  return name;
}

u32 cpuCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  u32 count = 0;
  for (int cpu = 0; cpu < 128; cpu++)
    if (CPU_ISSET(cpu, &set)) count++;
  return count ? count : 1;
}

namespace {

struct LimitRow {
  int resource;
  const char* suffix;
  bool size;
};

constexpr LimitRow kLimitRows[] = {
    {RLIMIT_CPU, "ct", false},     {RLIMIT_CORE, "cs", true},        {RLIMIT_DATA, "ds", true},
    {RLIMIT_FSIZE, "fs", true},    {RLIMIT_NOFILE, "fds", false},    {RLIMIT_STACK, "ss", true},
    {RLIMIT_NPROC, "nproc", false}, {RLIMIT_MEMLOCK, "lm", false},   {RLIMIT_RSS, "rss", true},
    {RLIMIT_AS, "as", true},       {RLIMIT_SIGPENDING, "sig", false},
};

}  // namespace

const char* limitsText() {
  constexpr size_t kSize = 160;
  char* text = tmpAlloc(kSize);
  snprintf(text, kSize, "%u co, ", cpuCount());
  for (const LimitRow& row : kLimitRows) {
    rlimit limit;
    if (getrlimit(row.resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) continue;
    if (row.size) strAppend(text, tmpPrintf("%s %s, ", formatBytes(limit.rlim_cur), row.suffix), kSize);
    else strAppend(text, tmpPrintf("%u %s, ", static_cast<unsigned>(limit.rlim_cur), row.suffix), kSize);
  }
  size_t n = std::strlen(text);
  if (n >= 2 && !std::strcmp(text + n - 2, ", ")) text[n - 2] = 0;
  return text;
}

const char* envPath(const char* name, const char* suffix) {
  static char path[1024];
  const char* value = std::getenv(name);
  if (!value) {
    snprintf(path, sizeof path, "$%s%s", name, suffix);
    return path;
  }
  size_t length = std::strlen(value);
  if (length && value[length - 1] == '/' && *suffix) suffix++;
  snprintf(path, sizeof path, "%s%s", value, suffix);
  return path;
}

void printAtLine(const char* format, ...) {
  std::fputs("\n@", stdout);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace palvon
