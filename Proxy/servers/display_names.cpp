// Display names: host parts, canonical names, comparison, the thin-client
// look-up command and free display numbers.
#include <ctype.h>
#include <errno.h>
#include <netdb.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/Xauth.h>

#include "Proxy/clients/client.h"
#include "Proxy/config/files.h"
#include "Proxy/servers/display.h"
#include "base/hostclock.h"
#include "base/logging.h"
#include "base/lookups.h"
#include "base/process.h"

extern char** environ;

namespace palvon {

namespace {

constexpr size_t kHostMax = 256;

// The text after an optional "protocol/" prefix. The prefix ends at the
// first '/' that comes before any ':'.
const char* skipProtocol(const char* name, char* protocol, size_t protocolSize) {
  const char* slash = strchr(name, '/');
  const char* colon = strchr(name, ':');
  if (protocol && protocolSize) protocol[0] = '\0';
  if (!slash || (colon && colon < slash)) return name;
  if (protocol && protocolSize) {
    size_t length = static_cast<size_t>(slash - name);
    if (length >= protocolSize) length = protocolSize - 1;
    memcpy(protocol, name, length);
    protocol[length] = '\0';
  }
  return slash + 1;
}

// Splits "host:number[.screen]" (after the protocol prefix): the host into
// host (may be empty), the number into *number. The DECnet form "host::n" is
// accepted. False when there is no ':', the number is empty or not decimal.
bool splitDisplayName(const char* name, char* host, size_t hostSize, u32* number) {
  const char* colon = strrchr(name, ':');
  if (!colon) return false;
  const char* hostEnd = colon;
  if (hostEnd > name && hostEnd[-1] == ':') hostEnd--;
  size_t length = static_cast<size_t>(hostEnd - name);
  if (length >= hostSize) return false;
  memcpy(host, name, length);
  host[length] = '\0';
  const char* digits = colon + 1;
  u64 value = 0;
  const char* p = digits;
  for (; *p && *p != '.'; p++) {
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    value = value * 10 + static_cast<u64>(*p - '0');
    if (value > 0xffffffffu) return false;
  }
  if (p == digits) return false;
  *number = static_cast<u32>(value);
  return true;
}

bool isThisHostWord(const char* host) { return host[0] == '\0' || strcasecmp(host, "unix") == 0; }

}  // namespace

const char* displayHostName(Display* display) {
  static char buffer[kHostMax];
  const char* name = skipProtocol(DisplayString(display), nullptr, 0);
  const char* colon = strrchr(name, ':');
  size_t length = colon ? static_cast<size_t>(colon - name) : strlen(name);
  if (length && colon && colon[-1] == ':') length--;
  if (length >= sizeof buffer) length = sizeof buffer - 1;
  memcpy(buffer, name, length);
  buffer[length] = '\0';
  if (isThisHostWord(buffer)) strCopy(buffer, hostName(), sizeof buffer);
  return buffer;
}

bool isDisplayLocal(Display* display) { return hostIsLocal(displayHostName(display)) != 0; }

const char* stripLocalHostPrefix(const char* name) {
  if (!name) return nullptr;
  const char* host = hostName();
  size_t length = strlen(host);
  if (length == 0 || strncasecmp(name, host, length) != 0 || name[length] != ':') return nullptr;
  return name + length;
}

const char* canonicalHostName(const char* host) {
  static char buffer[NI_MAXHOST];
  if (!host || isThisHostWord(host) || strcasecmp(host, hostName()) == 0) {
    // This machine's own name need not resolve (containers often lack it).
    strCopy(buffer, hostName(), sizeof buffer);
    return buffer;
  }
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (lookUpAddresses(host, nullptr, &hints, &found) != 0 || !found) return nullptr;
  const char* canonical = found->ai_canonname ? found->ai_canonname : host;
  strCopy(buffer, canonical, sizeof buffer);
  // A name that is an address is resolved back, so that "127.0.0.1" and
  // "localhost" compare alike.
  if (isdigit(static_cast<unsigned char>(buffer[0]))) {
    char back[NI_MAXHOST];
    if (lookUpAddressName(found->ai_addr, found->ai_addrlen, back, sizeof back, NI_NAMEREQD) == 0)
      strCopy(buffer, back, sizeof buffer);
  }
  freeaddrinfo(found);
  return buffer;
}

const char* canonicalDisplayName(const char* name) {
  static char buffer[NI_MAXHOST + 16];
  if (!name) {
    snprintf(buffer, sizeof buffer, "%s:0", hostName());
    return buffer;
  }
  char host[kHostMax];
  u32 number = 0;
  if (!splitDisplayName(skipProtocol(name, nullptr, 0), host, sizeof host, &number)) return nullptr;
  const char* canonical = canonicalHostName(host);
  if (!canonical) return nullptr;
  snprintf(buffer, sizeof buffer, "%s:%u", canonical, number);
  return buffer;
}

const char* displayHostPart(const char* name) {
  static char buffer[kHostMax];
  u32 number = 0;
  if (!name || !splitDisplayName(skipProtocol(name, nullptr, 0), buffer, sizeof buffer, &number)) {
    // Only the ':' matters here; a malformed number keeps the host.
    const char* rest = name ? skipProtocol(name, nullptr, 0) : "";
    const char* colon = strchr(rest, ':');
    if (!colon) return "";
    size_t length = static_cast<size_t>(colon - rest);
    if (length >= sizeof buffer) length = sizeof buffer - 1;
    memcpy(buffer, rest, length);
    buffer[length] = '\0';
  }
  if (const char* canonical = canonicalHostName(buffer)) strCopy(buffer, canonical, sizeof buffer);
  return buffer;
}

bool isSameDisplay(const char* a, const char* b) {
  const char* fallback = getenv("DISPLAY");
  if (!fallback) fallback = ":0.0";
  if (!a) a = fallback;
  if (!b) b = fallback;
  if (strcasecmp(a, b) == 0) return true;
  char hostA[kHostMax], hostB[kHostMax];
  u32 numberA = 0, numberB = 0;
  if (!splitDisplayName(skipProtocol(a, nullptr, 0), hostA, sizeof hostA, &numberA)) return false;
  if (!splitDisplayName(skipProtocol(b, nullptr, 0), hostB, sizeof hostB, &numberB)) return false;
  if (numberA != numberB) return false;
  char canonicalA[kHostMax];
  strCopy(canonicalA, displayHostPart(a), sizeof canonicalA);
  return strncasecmp(canonicalA, displayHostPart(b), 79) == 0;
}

bool parseDisplayName(const char* name, char** host, u32* number, u32* family) {
  char protocol[32];
  char split[kHostMax];
  *host = nullptr;
  if (!name || !splitDisplayName(skipProtocol(name, protocol, sizeof protocol), split, sizeof split, number))
    return false;
  bool local = strcasecmp(protocol, "local") == 0 || strcasecmp(protocol, "unix") == 0;
  if (isThisHostWord(split)) strCopy(split, hostName(), sizeof split);
  if (!local && hostIsLocal(split)) local = true;
  *family = local ? FamilyLocal : FamilyInternet;
  *host = memStrdup(split);
  return *host != nullptr;
}

bool isDisplayNumberFree(u32 number) {
  int wanted = static_cast<int>(number);
  int count = 0;
  _XtransConnInfo** listeners = createClientListeners(&wanted, 1, &count);
  for (int i = 0; i < count; i++) closeListener(listeners[i]);
  free(listeners);
  return count > 0;
}

// --- The thin-client look-up ---------------------------------------------------

namespace {

// Runs the look-up program with "-d name" (an argument vector, never a
// shell: the name comes from clients) and reads its first output line.
// Returns false when the program could not be run; *status is its exit code.
bool runLookup(const char* program, const char* name, char* line, size_t lineSize, int* status) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
  char* argv[] = {const_cast<char*>(program), const_cast<char*>("-d"), const_cast<char*>(name), nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  if (rc != 0) {
    close(pipeEnds[0]);
    return false;
  }
  size_t used = 0;
  bool lineDone = false;
  char chunk[256];
  for (;;) {
    ssize_t got = read(pipeEnds[0], chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    // The rest of the output is drained so the program never blocks on a
    // full pipe.
    for (ssize_t i = 0; i < got && !lineDone; i++) {
      if (chunk[i] == '\n') lineDone = true;
      else if (used + 1 < lineSize) line[used++] = chunk[i];
    }
  }
  line[used] = '\0';
  close(pipeEnds[0]);
  int waitStatus = 0;
  while (waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
  }
  *status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128;
  return true;
}

}  // namespace

const char* lookupDisplayName(const char* name, const char** resolved) {
  static char line[kHostMax];
  if (!name) name = getenv("DISPLAY");
  *resolved = name;
  if (!name || !name[0] || strchr(name, ':')) return nullptr;
  char program[kInstallPathSize];
  if (makeInstallPath("sunRayLookup", kPathBin, program)) return nullptr;
  struct stat info;
  if (stat(program, &info) != 0) return nullptr;
  int status = 0;
  if (!runLookup(program, name, line, sizeof line, &status)) {
    PALVON_UNE();
    return nullptr;
  }
  if (!line[0]) return nullptr;
  if (status != 0) return line;
  *resolved = line;
  return nullptr;
}

}  // namespace palvon
