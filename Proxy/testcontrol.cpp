// The test control socket (testcontrol.h).
#include "Proxy/testcontrol.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef PALVON_TEST_CONTROL
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/config/files.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/settings.h"
#include "Proxy/join/bgtile.h"
#include "Proxy/join/capture.h"
#include "Proxy/join/serverjoin.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "base/fd.h"
#include "base/logging.h"
#include "base/orders.h"

namespace palvon {

namespace {

constexpr u32 kMaxWords = 16;
constexpr u32 kLineMax = 1024;

// A command gets its words (words[0] is the command) and gives the reply.
using ControlCommand = const char* (*)(char** words, u32 count);

struct ControlRow {
  const char* name;
  u32 minimumWords;  // the command included
  ControlCommand run;
  const char* usage;
};

const char* ok(const char* result = nullptr) { return result ? tmpPrintf("ok %s", result) : "ok"; }
const char* failed(const char* text) { return tmpPrintf("error %s", text); }

bool number(const char* word, i32* out) {
  char* end = nullptr;
  long value = strtol(word, &end, 0);
  if (!*word || *end) return false;
  *out = i32(value);
  return true;
}

// A server's first screen as a head outside every meta screen, as the
// control extension's AddServer makes it; its id is the result.
const char* addServer(char** words, u32 count) {
  if (!(proxyConfig.options & kOptionDynamicServer))
    return failed(tmpPrintf("%s option %s is used but not enabled - Make sure this option is enabled in your "
                            "configuration",
                            getProductName(), "DynamicServer"));
  const char* canonical = canonicalDisplayName(words[1]);
  if (!canonical) return failed(tmpPrintf("Can't open display '%s'", words[1]));
  char name[kDisplayNameMax + 8];
  snprintf(name, sizeof name, "%s.0", canonical);
  HeadOpenRequest open{};
  open.name = name;
  open.border = -1;
  i32 timeout = 20000;
  if (count > 2 && !number(words[2], &timeout)) return failed(tmpPrintf("Bad number '%s'", words[2]));
  open.offlineTimeoutMs = u32(timeout);
  u32 status = 0;
  const char* error = nullptr;
  Head* head = initHead(open, &status, &error);
  if (!head) return failed(error ? error : "Can't open display");
  return ok(tmpPrintf("%u", head->id));
}

// "screen <head id> <meta screen> <x> <y> <width> <height>": the head joins
// the meta screen at that logical rectangle.
const char* moveHead(char** words, u32) {
  i32 values[6];
  for (u32 i = 0; i < 6; i++)
    if (!number(words[1 + i], &values[i])) return failed(tmpPrintf("Bad number '%s'", words[1 + i]));
  HeadSettings settings{};
  settings.metaScreenNumber = values[1];
  settings.logicalX = values[2];
  settings.logicalY = values[3];
  settings.logicalWidth = values[4];
  settings.logicalHeight = values[5];
  u32 mask = kHeadGivenMetaScreen | kHeadGivenLogicalX | kHeadGivenLogicalY | kHeadGivenLogicalWidth |
             kHeadGivenLogicalHeight;
  const char* error = applyScreenSettingsById(nullptr, u32(values[0]), mask, &settings);
  return error ? failed(error) : ok();
}

const char* removeServerCommand(char** words, u32) {
  const char* error = removeServer(words[1]);
  return error ? failed(error) : ok();
}

// The head named by a word: 0 for none, else a head id.
bool headWord(const char* word, Head** head) {
  i32 id = 0;
  if (!number(word, &id)) return false;
  *head = id ? static_cast<Head*>(lookupResourceByType(u32(id), RT_HEAD)) : nullptr;
  return !id || *head;
}

// "tile <window id> [<head id>]": background tiles of the window on that
// head, or on every head of its screen.
const char* tileWindow(char** words, u32 count) {
  i32 id = 0;
  auto* window = number(words[1], &id) ? static_cast<ProxyWindow*>(lookupResourceByType(u32(id), RT_WINDOW)) : nullptr;
  if (!window) return failed(tmpPrintf("No window '%s'", words[1]));
  Head* only = nullptr;
  if (count > 2 && !headWord(words[2], &only)) return failed(tmpPrintf("No head '%s'", words[2]));
  for (Head* head = window->screen ? window->screen->heads : nullptr; head; head = head->next) {
    if (only && head != only) continue;
    if (const char* error = createBackgroundTile(nullptr, window, head)) return failed(error);
  }
  return ok();
}

// "capture <window id> <head id or 0> <file>": the window as that head (0:
// its first head) shows it, written as a PPM file once complete.
const char* captureWindow(char** words, u32) {
  i32 id = 0;
  Head* head = nullptr;
  if (!number(words[1], &id)) return failed(tmpPrintf("Bad number '%s'", words[1]));
  if (!headWord(words[2], &head)) return failed(tmpPrintf("No head '%s'", words[2]));
  const char* error = captureWindowToFile(nullptr, u32(id), head, words[3]);
  return error ? failed(error) : ok();
}

// "setuptimeout <ms>": connections accepted from now on are closed when
// their set-up has not arrived whole within that time.
const char* setSetupTimeout(char** words, u32) {
  i32 ms = 0;
  if (!number(words[1], &ms) || ms < 1) return failed(tmpPrintf("Bad time-out '%s'", words[1]));
  clientSetupTimeoutMs = u32(ms);
  return ok();
}

constexpr ControlRow kCommands[] = {
    {"addserver", 2, addServer, "addserver <display> [<offline time-out ms>]"},
    {"screen", 7, moveHead, "screen <head id> <meta screen> <x> <y> <width> <height>"},
    {"removeserver", 2, removeServerCommand, "removeserver <display>"},
    {"tile", 2, tileWindow, "tile <window id> [<head id>]"},
    {"capture", 4, captureWindow, "capture <window id> <head id or 0> <file>"},
    {"setuptimeout", 2, setSetupTimeout, "setuptimeout <ms>"},
};

#ifdef PALVON_TEST_CONTROL

struct Connection {
  int descriptor;
  Order* order;
  u32 length;
  char line[kLineMax];
};

void closeConnection(Connection* c) {
  orderCancel(c->order);
  close(c->descriptor);
  std::free(c);
}

void connectionReadable(void* argument) {
  auto* c = static_cast<Connection*>(argument);
  ssize_t n = read(c->descriptor, c->line + c->length, kLineMax - 1 - c->length);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) return closeConnection(c);
  c->length += u32(n);
  c->line[c->length] = '\0';
  char* end = strchr(c->line, '\n');
  if (!end && c->length < kLineMax - 1) return;
  if (end) *end = '\0';
  const char* reply = runTestControlLine(c->line);
  const char* text = tmpPrintf("%s\n", reply);
  // The reply is short; the test reads it whole.
  if (write(c->descriptor, text, strlen(text)) < 0) LOGF(logChWarning, "Test control: %s", strerror(errno));
  closeConnection(c);
}

void listenerReadable(void* argument) {
  int listener = int(reinterpret_cast<intptr_t>(argument));
  int descriptor = accept(listener, nullptr, nullptr);
  if (descriptor < 0) return;
  auto* c = static_cast<Connection*>(std::calloc(1, sizeof(Connection)));
  if (!c) {
    close(descriptor);
    return;
  }
  fdSetNonBlocking(descriptor);
  c->descriptor = descriptor;
  c->order = orderAddFd(descriptor, connectionReadable, c);
}

#endif

}  // namespace

const char* runTestControlLine(char* line) {
  char* words[kMaxWords];
  u32 count = 0;
  for (char* word = strtok(line, " \t\r"); word && count < kMaxWords; word = strtok(nullptr, " \t\r"))
    words[count++] = word;
  if (!count) return failed("empty command");
  for (const ControlRow& row : kCommands) {
    if (strcmp(row.name, words[0]) != 0) continue;
    if (count < row.minimumWords) return failed(tmpPrintf("usage: %s", row.usage));
    return row.run(words, count);
  }
  return failed(tmpPrintf("unknown command '%s'", words[0]));
}

void startTestControl() {
#ifdef PALVON_TEST_CONTROL
  static bool started;
  const char* path = getenv("PALVON_TEST_CONTROL");
  if (started || !path || !*path) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof address.sun_path) {
    LOGF(logChWarning, "Test control path too long: %s", path);
    return;
  }
  strcpy(address.sun_path, path);
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unlink(path);
  // Its commands change the session: the socket file is the owner's alone
  // (no other user may connect) from its creation on.
  mode_t umaskBefore = umask(0177);
  bool bound = listener >= 0 && bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  umask(umaskBefore);
  if (!bound || listen(listener, 4) != 0) {
    LOGF(logChWarning, "Test control on %s: %s", path, strerror(errno));
    if (listener >= 0) close(listener);
    return;
  }
  started = true;
  orderAddFd(listener, listenerReadable, reinterpret_cast<void*>(intptr_t(listener)));
  LOGF(logChInfo, "Test control listening on %s", path);
#endif
}

}  // namespace palvon
