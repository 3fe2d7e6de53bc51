// The auxiliary resource server.
#include "Proxy/sync/resourceserver.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Proxy/config/config.h"
#include "Proxy/config/files.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/screen.h"
#include "Proxy/heads/settings.h"
#include "Proxy/lifecycle.h"
#include "Proxy/links/serverauth.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "base/process.h"
#include "base/strlist.h"
#include "base/timeval.h"

namespace palvon {

namespace {

constexpr u32 kResourceServerLastNumber = 65535;
constexpr u32 kConnectTimeoutMs = 10000;
constexpr u32 kNoScreenSize = 64;
// Roles the resource server's heads take, and with DynamicServer also the
// fonts and the meta clock.
constexpr u32 kResourceHeadTags = 0x44b;
constexpr u32 kDynamicResourceHeadTags = 0x400044f;
constexpr const char* kDepths[] = {"1", "4", "8", "12", "15", "16", "24", "32"};

pid_t serverPid;
u32 serverNumber;
char authFile[kInstallPathSize];
bool authFileRemovalRegistered;

void stopResourceServer(int) {
  if (serverPid > 0) logProblem(processTerminate(serverPid), __FILE__, __LINE__);
  serverPid = 0;
}

void removeResourceServerAuthFile(int) {
  if (authFile[0] && !removeAuthorizationFile(authFile)) logProblem("Removing auth file failed", __FILE__, __LINE__);
  authFile[0] = '\0';
}

// The smallest depth of the screen's heads that have a connection (at most
// 32), and the smallest bits per RGB of all their visuals (8 when none).
void screenDepthAndBits(const MetaScreen* screen, u32* depth, u32* bits) {
  *depth = 32;
  *bits = 0;
  for (const Head* head = screen->heads; head; head = head->next) {
    if (head->display) *depth = std::min(*depth, head->defaultDepth);
    for (i32 i = 0; i < head->visualCount; i++)
      if (head->visuals[i].bitsPerRgb && (!*bits || head->visuals[i].bitsPerRgb < *bits))
        *bits = head->visuals[i].bitsPerRgb;
  }
  if (!*bits) *bits = 8;
}

bool addWord(u32* count, char*** words, const char* word) { return strlistAdd(count, words, word) != 0; }

// The screen's words: "-screen", its number, its size and depth, its black
// and white pixels and the bits per RGB.
bool addScreenWords(u32* count, char*** words, MetaScreen* screen, u32 number) {
  if (!screen->width || !screen->height) {
    MetaScreenSettings none{};
    logProblem(computeMetaScreenSize(screen, &none), __FILE__, __LINE__);
  }
  u32 depth = 0, bits = 0;
  screenDepthAndBits(screen, &depth, &bits);
  char size[48];
  if (screen->width && screen->height) snprintf(size, sizeof size, "%ux%ux%u", screen->width, screen->height, depth);
  else snprintf(size, sizeof size, "%ux%ux%u", kNoScreenSize, kNoScreenSize, depth);
  const Head* colour = screen->colorHead ? screen->colorHead : screen->heads;
  u64 black = colour ? colour->blackPixel : 0, white = colour ? colour->whitePixel : 1;
  return addWord(count, words, "-screen") && addWord(count, words, tmpPrintf("%u", number)) &&
         addWord(count, words, size) && addWord(count, words, "-blackpixel") &&
         addWord(count, words, tmpPrintf("%d", int(black))) && addWord(count, words, "-whitepixel") &&
         addWord(count, words, tmpPrintf("%d", int(white))) && addWord(count, words, "-bitsperrgb") &&
         addWord(count, words, tmpPrintf("%u", bits));
}

// The command line, the program first; null after an out-of-memory report.
const char* buildCommand(const char* program, u32 number, const char* auth, u32* count, char*** words) {
  // No "-ac": the server is reached with the authorization file made for it
  // and holds every client's properties and selections, so it keeps its
  // access control.
  bool ok = addWord(count, words, program) && addWord(count, words, tmpPrintf(":%u", number)) &&
            addWord(count, words, "-bs") && addWord(count, words, "-pixdepths");
  for (const char* depth : kDepths) ok = ok && addWord(count, words, depth);
  u32 screenNumber = 0;
  for (MetaScreen* screen = proxyState.screens; ok && screen; screen = screen->next)
    ok = addScreenWords(count, words, screen, screenNumber++);
  ok = ok && addWord(count, words, "-auth") && addWord(count, words, auth) && strlistTerminate(count, words);
  return ok ? nullptr : PALVON_OOM();
}

// A head on each screen of the running server, with the resource server's
// settings.
const char* openResourceHeads(u32 number) {
  u32 screenNumber = 0;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next, screenNumber++) {
    HeadOpenRequest request{};
    char name[32];
    snprintf(name, sizeof name, ":%u.%u", number, screenNumber);
    request.name = name;
    request.screen = screen;
    request.display = resourceServerDisplay;
    request.connectTimeoutMs = kConnectTimeoutMs;
    request.border = -1;
    u32 status = 0;
    const char* error = nullptr;
    Head* head = initHead(request, &status, &error);
    if (!head) return error ? error : PALVON_OOM();
    resourceServerDisplay = head->serverDisplay;
    HeadSettings settings{};
    char headName[] = "holdsrv";
    settings.name = headName;
    settings.logicalX = 0;
    settings.logicalY = 0;
    settings.pointerZoomX = settings.pointerZoomY = 1.0;
    settings.tags = (proxyConfig.options & kOptionDynamicServer) ? kDynamicResourceHeadTags : kResourceHeadTags;
    u32 mask = kHeadGivenName | kHeadGivenLogicalX | kHeadGivenLogicalY | kHeadGivenPointerZoom | kHeadGivenTags;
    if ((error = applyScreenSettings(nullptr, head, mask, &settings))) return error;
  }
  return nullptr;
}

// How often the start is tried on the next free number when another server
// took the number first, and how long one start may take to listen.
constexpr u32 kStartAttempts = 8;
constexpr u32 kListenWaitMs = 10000;
constexpr u32 kListenPollMs = 20;

// The parent process id of pid, or 0.
pid_t parentOf(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
  FILE* file = fopen(path, "r");
  if (!file) return 0;
  int parent = 0;
  // "pid (command) state ppid ...": the command may hold blanks and
  // parentheses, so the fields are read after its last ')'.
  char text[512];
  size_t length = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  text[length] = '\0';
  const char* close = strrchr(text, ')');
  if (!close || sscanf(close + 1, " %*c %d", &parent) != 1) return 0;
  return pid_t(parent);
}

// The process that listens on the number's local socket, 0 while none does.
pid_t listenerOf(u32 number) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "/tmp/.X11-unix/X%u", number);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  pid_t pid = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) pid = credentials.pid;
  }
  close(fd);
  return pid;
}

// Whether the server that comes to listen on the number is the child that
// was started for it (or a process that child started). Between the check
// that a number is free and the child's start another server can take the
// number: the child then ends at once ("Server is already active"), and
// opening the number would reach the other server's clients' world.
bool listensAsOwnServer(pid_t child, u32 number) {
  for (u32 waited = 0; waited < kListenWaitMs; waited += kListenPollMs) {
    int code = 0;
    if (processPoll(child, &code) == 1) return false;
    if (pid_t listener = listenerOf(number)) return listener == child || parentOf(listener) == child;
    sleepMs(kListenPollMs);
  }
  return false;
}

}  // namespace

bool isResourceServerNumberFree(u32 number) {
  char path[64];
  snprintf(path, sizeof path, "/tmp/.X%u-lock", number);
  if (access(path, F_OK) == 0) return false;
  snprintf(path, sizeof path, "/tmp/.X11-unix/X%u", number);
  return access(path, F_OK) != 0;
}

namespace {

// Starts the server on the first free number from *numberInOut on.
const char* spawnResourceServer(u32* numberInOut, pid_t* pidOut) {
  u32 number = *numberInOut;
  // Free: nothing listens there (a server's sockets or its port) and no
  // server is starting on it (its lock file).
  while (number <= kResourceServerLastNumber && !(isResourceServerNumberFree(number) && isDisplayNumberFree(number)))
    number++;
  if (number > kResourceServerLastNumber) return "No free display number for the X resource server";
  *numberInOut = number;
  char program[kInstallPathSize];
  if (const char* error = makeInstallPath("holdsrv", kPathBin, program)) return error;
  const char* auth = nullptr;
  if (serverAuthorizationIsOwn()) {
    auth = generatedAuthorizationFile();
  } else {
    if (authFile[0]) removeResourceServerAuthFile(0);
    if (const char* error = writeAuthorizationFile(number, &auth)) return error;
    strCopy(authFile, auth, sizeof authFile);
    auth = authFile;
    if (!authFileRemovalRegistered) registerAtExit(removeResourceServerAuthFile);
    authFileRemovalRegistered = true;
  }
  u32 count = 0;
  char** words = nullptr;
  if (const char* error = buildCommand(program, number, auth, &count, &words)) {
    strlistFree(count, words);
    return error;
  }
  char* line = strlistJoin(count, words);
  logStepf("Starting '%s'...", line ? line : program);
  free(line);
  pid_t pid = processSpawn(int(count), words, SIGTERM);
  strlistFree(count, words);
  if (pid <= 0) return tmpPrintf("Can't start X resource server '%s'", program);
  *pidOut = pid;
  return nullptr;
}

}  // namespace

const char* startResourceServer() {
  u32 number = kResourceServerFirstNumber;
  for (u32 attempt = 0; attempt < kStartAttempts; attempt++, number++) {
    pid_t pid = 0;
    if (const char* error = spawnResourceServer(&number, &pid)) return error;
    if (listensAsOwnServer(pid, number)) {
      serverPid = pid;
      serverNumber = number;
      registerAtExit(stopResourceServer);
      return openResourceHeads(number);
    }
    LOGF(logChWarning, "X resource server on :%u did not start: another server took the number", number);
    logProblem(processTerminate(pid), __FILE__, __LINE__);
  }
  return "Can't start the X resource server: other servers took every number tried";
}

u32 resourceServerNumber() { return serverPid > 0 ? serverNumber : 0; }
pid_t resourceServerPid() { return serverPid; }

}  // namespace palvon
