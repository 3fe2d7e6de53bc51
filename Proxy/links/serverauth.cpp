// Credentials towards the real servers, the authority files and the
// proxy's own connection to a real server.
#include "Proxy/links/serverauth.h"

#include <X11/Xauth.h>
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <strings.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>

#include "Proxy/clients/auth.h"
#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/config/files.h"
#include "Proxy/heads/screen.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Proxy/startup.h"
#include "base/fd.h"
#include "base/files.h"
#include "base/hostclock.h"
#include "base/logging.h"
#include "base/lookups.h"
#include "base/process.h"
#include "base/timeval.h"
#include "xsupport/xtarget.h"

namespace palvon {

AuthorizationEntry* authorizationEntries;

namespace {

constexpr u32 kTagCooperative = 0x4000;
constexpr u32 kCookieBytes = 16;
const char kMitCookie[] = "MIT-MAGIC-COOKIE-1";

char authorityPath[kAuthPathMax + 1];
char serverAuthorityPath[kAuthPathMax + 1];
char generatedPath[kAuthPathMax + 1];

// The files the proxy generated and has not removed yet, each watched by a
// child that removes it should the proxy be killed: a cookie file of a
// server that ended with the proxy only tells others what it was.
struct GeneratedFile {
  char path[kAuthPathMax + 1];
  pid_t watcher;
  int pipe;
};
constexpr u32 kGeneratedFilesMax = 4;
GeneratedFile generatedFiles[kGeneratedFilesMax];

// The slot of the path ("" for a free one), or null.
GeneratedFile* findGenerated(const char* path) {
  for (GeneratedFile& file : generatedFiles)
    if (strcmp(file.path, path) == 0) return &file;
  return nullptr;
}

void releaseGenerated(GeneratedFile* file) {
  processReleaseFile(file->watcher, file->pipe);
  *file = {};
}

void noteGenerated(const char* path) {
  GeneratedFile* slot = findGenerated(path);
  if (slot) releaseGenerated(slot);
  else if (!(slot = findGenerated(""))) return;
  strCopy(slot->path, path, sizeof slot->path);
  slot->watcher = processWatchFile(path, &slot->pipe);
}

// Ranks of the types among the records of one file; 0: not usable.
int typeRank(const char* name, u32 length) {
  static const char* const kTypes[] = {"SUN-DES-1", "XDM-AUTHORIZATION-1", kMitCookie};
  for (int i = 0; i < 3; i++)
    if (length == strlen(kTypes[i]) && memcmp(name, kTypes[i], length) == 0) return 3 - i;
  return 0;
}

bool copyCredential(const char* name, u32 nameLength, const char* data, u32 dataLength, char** outName,
                    u16* outNameLength, char** outData, u16* outDataLength) {
  *outName = static_cast<char*>(memdup(name, nameLength));
  *outData = static_cast<char*>(memdup(data, dataLength ? dataLength : 1));
  if (!*outName || !*outData) {
    free(*outName);
    free(*outData);
    *outName = *outData = nullptr;
    return false;
  }
  *outNameLength = static_cast<u16>(nameLength);
  *outDataLength = static_cast<u16>(dataLength);
  return true;
}

void unlinkEntry(AuthorizationEntry* entry) {
  AuthorizationEntry* head = authorizationEntries;
  if (entry == head) {
    authorizationEntries = entry->next;
    if (authorizationEntries) authorizationEntries->previous = entry->previous;
  } else {
    entry->previous->next = entry->next;
    if (entry->next) entry->next->previous = entry->previous;
    else head->previous = entry->previous;
  }
  free(entry);
}

const char* makeAbsolute(const char* path, char* out) {
  const char* absolute = pathAbsolute(path);
  if (!absolute) {
    PALVON_UNE();
    absolute = path;
  }
  strCopy(out, absolute, kAuthPathMax + 1);
  return out;
}

// The binary IPv4 address of a host name, for records of that family.
bool resolveInternetAddress(const char* host, u8 out[4]) {
  if (inet_pton(AF_INET, host, out) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (lookUpAddresses(host, nullptr, &hints, &found) != 0 || !found) return false;
  memcpy(out, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, 4);
  freeaddrinfo(found);
  return true;
}

bool anyHeadNotCooperative() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next)
      if (!(head->tags & kTagCooperative)) return true;
  return false;
}

}  // namespace

// --- Learnt credentials -------------------------------------------------------------

const char* addAuthorizationEntry(u16 family, const char* address, u16 displayNumber, const char* name, u16 nameLength,
                                  const u8* data, u16 dataLength, bool permanent) {
  size_t addressLength = strlen(address);
  auto* entry = static_cast<AuthorizationEntry*>(
      memCalloc(1, sizeof(AuthorizationEntry) + addressLength + 1 + nameLength + dataLength + 1));
  if (!entry) return PALVON_OOM();
  char* tail = reinterpret_cast<char*>(entry + 1);
  entry->address = tail;
  memcpy(tail, address, addressLength + 1);
  entry->name = tail + addressLength + 1;
  memcpy(entry->name, name, nameLength);
  entry->data = reinterpret_cast<u8*>(entry->name + nameLength);
  memcpy(entry->data, data, dataLength);
  entry->family = family;
  entry->displayNumber = displayNumber;
  entry->nameLength = nameLength;
  entry->dataLength = dataLength;
  entry->permanent = permanent;
  if (!authorizationEntries) {
    authorizationEntries = entry;
    entry->previous = entry;
  } else {
    AuthorizationEntry* tailEntry = authorizationEntries->previous;
    tailEntry->next = entry;
    entry->previous = tailEntry;
    authorizationEntries->previous = entry;
  }
  return nullptr;
}

void clearAuthorizationEntries(bool all) {
  AuthorizationEntry* entry = authorizationEntries;
  while (entry) {
    AuthorizationEntry* next = entry->next;
    if (all || !entry->permanent) unlinkEntry(entry);
    entry = next;
  }
}

// --- Authority files ------------------------------------------------------------------

const char* authorityFile() { return authorityPath; }
const char* serverAuthorityFile() { return serverAuthorityPath; }
const char* generatedAuthorizationFile() { return generatedPath; }

void forgetServerCredentials() {
  authorityPath[0] = serverAuthorityPath[0] = '\0';
  clearAuthorizationEntries(true);
}

bool serverAuthorizationIsOwn() {
  return proxyConfig.serverAuthorization && strcasecmp(proxyConfig.serverAuthorization, "own") == 0;
}

void setAuthorityFile(const char* path) {
  if (!path || !*path) return;
  makeAbsolute(path, authorityPath);
  setHostAccessFile(authorityPath);
}

void setServerAuthorityFile(const char* path, bool warn) {
  if (!path || !*path || strcasecmp(path, "own") == 0) return;
  char absolute[kAuthPathMax + 1];
  makeAbsolute(path, absolute);
  if (!fileExists(absolute)) {
    if (warn) LOGF(logChWarning, "No server authorization file %s", absolute);
    return;
  }
  strCopy(serverAuthorityPath, absolute, sizeof serverAuthorityPath);
}

const char* writeAuthorizationFile(u32 displayNumber, const char** path, const char* givenPath) {
  char file[kInstallPathSize];
  if (givenPath) {
    if (strlen(givenPath) > kAuthPathMax) return tmpPrintf("Can't create file '%s': %s", givenPath, strerror(ENAMETOOLONG));
    strCopy(file, givenPath, sizeof file);
  } else if (const char* error = makeInstallPath(tmpPrintf("palvo-%u", displayNumber), kPathVar, file)) {
    // One name per display: two proxies of one installation each write and
    // remove their own file, never the other's.
    return error;
  }
  u8 cookie[kCookieBytes];
  // The cookie admits whoever holds it to the server: only the kernel's
  // random source will do.
  if (getrandom(cookie, sizeof cookie, 0) != ssize_t{sizeof cookie})
    return tmpPrintf("Can't create file '%s': %s", file, strerror(errno));
  char number[16];
  snprintf(number, sizeof number, "%u", displayNumber);
  const char* host = hostName();
  Xauth record{};
  record.family = kFamilyLocalAuth;
  record.address_length = static_cast<unsigned short>(strlen(host));
  record.address = const_cast<char*>(host);
  record.number_length = static_cast<unsigned short>(strlen(number));
  record.number = number;
  record.name_length = sizeof kMitCookie - 1;
  record.name = const_cast<char*>(kMitCookie);
  record.data_length = sizeof cookie;
  record.data = reinterpret_cast<char*>(cookie);
  bool toStdout = strcmp(file, "-") == 0;
  FILE* out = stdout;
  if (!toStdout) {
    if (strlen(file) > kAuthPathMax) return tmpPrintf("Can't create file '%s': %s", file, strerror(ENAMETOOLONG));
    // A file of a previous run goes; the new one is created afresh, so that
    // nobody can have it open or have put a link in its place.
    unlink(file);
    int descriptor = open(file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0 || !(out = fdopen(descriptor, "w"))) {
      const char* error = tmpPrintf("Can't create file '%s': %s", file, strerror(errno));
      if (descriptor >= 0) {
        close(descriptor);
        unlink(file);
      }
      return error;
    }
  }
  bool written = XauWriteAuth(out, &record) != 0;
  int closed = toStdout ? fflush(out) : fclose(out);
  if (!written || closed != 0) {
    const char* error = tmpPrintf("Can't write file '%s': %s", file, strerror(errno ? errno : EIO));
    if (!toStdout) unlink(file);
    return error;
  }
  if (const char* error = addAuthorizationEntry(kFamilyLocalAuth, host, static_cast<u16>(displayNumber), kMitCookie,
                                                sizeof kMitCookie - 1, cookie, sizeof cookie, true)) {
    if (!toStdout) unlink(file);
    return error;
  }
  explicit_bzero(cookie, sizeof cookie);
  if (!toStdout) noteGenerated(file);
  strCopy(generatedPath, file, sizeof generatedPath);
  if (path) *path = generatedPath;
  return nullptr;
}

bool removeAuthorizationFile(const char* path) {
  char name[kAuthPathMax + 1];
  strCopy(name, path, sizeof name);  // the path may be the slot's own
  if (GeneratedFile* file = findGenerated(name); file && name[0]) releaseGenerated(file);
  return unlink(name) == 0;
}

void removeGeneratedAuthorizationFile() {
  // The files are the proxy's own whether "own" asked for one or a server
  // it started needed one: nothing else reads them after the exit.
  for (GeneratedFile& file : generatedFiles)
    if (file.path[0]) removeAuthorizationFile(file.path);
  generatedPath[0] = '\0';
}

// --- Look-up --------------------------------------------------------------------------

int readBestAuthorization(const char* file, u32 family, const char* address, u32 addressLength,
                          const char* number, char** name, u16* nameLength, char** data, u16* dataLength,
                          bool exact) {
  if (!file || !*file) return 0;
  FILE* in = fopen(file, "re");
  if (!in) return 0;
  Xauth* best = nullptr;
  int bestRank = 0;
  size_t numberLength = strlen(number);
  while (Xauth* record = XauReadAuth(in)) {
    bool addressMatches = (record->family == kFamilyWildAuth && !exact) ||
                          (record->family == family && record->address_length == addressLength &&
                           memcmp(record->address, address, addressLength) == 0);
    bool numberMatches = (record->number_length == 0 && !exact) ||
                         (record->number_length == numberLength && memcmp(record->number, number, numberLength) == 0);
    int rank = typeRank(record->name, record->name_length);
    if (addressMatches && numberMatches && rank > bestRank) {
      if (best) XauDisposeAuth(best);
      best = record;
      bestRank = rank;
    } else {
      XauDisposeAuth(record);
    }
  }
  fclose(in);
  if (!best) return 0;
  bool copied = copyCredential(best->name, best->name_length, best->data, best->data_length, name, nameLength, data,
                               dataLength);
  XauDisposeAuth(best);
  return copied;
}

int findServerAuthorization(const char* address, u32 addressLength, u32 displayNumber, u32 family, char** name,
                            u16* nameLength, char** data, u16* dataLength, bool clientNamed) {
  char number[16];
  snprintf(number, sizeof number, "%u", displayNumber);
  if (serverAuthorityPath[0] && readBestAuthorization(serverAuthorityPath, family, address, addressLength, number,
                                                       name, nameLength, data, dataLength, clientNamed))
    return 1;
  for (AuthorizationEntry* entry = authorizationEntries; entry; entry = entry->next) {
    // A learnt entry holds the proxy's own client cookie (below).
    if (entry->displayNumber != displayNumber || strlen(entry->address) != addressLength ||
        strncasecmp(entry->address, address, addressLength) != 0 || (clientNamed && !entry->permanent))
      continue;
    return copyCredential(entry->name, entry->nameLength, reinterpret_cast<const char*>(entry->data),
                          entry->dataLength, name, nameLength, data, dataLength);
  }
  // A display a client named gets no more: the proxy's client cookie and the
  // wildcard records below would go to whatever listens where it pointed.
  if (clientNamed) return 0;
  char host[256];
  strCopy(host, address, addressLength + 1 < sizeof host ? addressLength + 1 : sizeof host);
  if (authorityPath[0] && family == kFamilyLocalAuth && hostIsLocal(host)) {
    char own[16];
    snprintf(own, sizeof own, "%u", getProxyDisplayNumber());
    const char* self = hostName();
    if (readBestAuthorization(authorityPath, kFamilyLocalAuth, self, u32(strlen(self)), own, name, nameLength, data,
                              dataLength) ||
        readBestAuthorization(authorityPath, kFamilyLocalAuth, "localhost", 9, own, name, nameLength, data,
                              dataLength)) {
      addAuthorizationEntry(kFamilyLocalAuth, host, static_cast<u16>(displayNumber), *name, *nameLength,
                            reinterpret_cast<const u8*>(*data), *dataLength, false);
      return 1;
    }
  }
  if (proxyState.screens && anyHeadNotCooperative()) return 0;
  return readBestAuthorization(serverAuthorityPath, kFamilyWildAuth, address, addressLength, number, name,
                               nameLength, data, dataLength);
}

// --- The proxy's own connection -----------------------------------------------------------

namespace {

// Credentials for the display's server into the options; the heap copies
// are the caller's to free.
void addCredentials(const char* display, bool clientNamed, TargetOptions* options, char** name, char** data) {
  char* host = nullptr;
  u32 number = 0, family = 0;
  u16 nameLength = 0, dataLength = 0;
  if (!parseDisplayName(display, &host, &number, &family)) return;
  u8 internet[4];
  bool found = false;
  if (family == kFamilyLocalAuth)
    found = findServerAuthorization(host, u32(strlen(host)), number, family, name, &nameLength, data, &dataLength,
                                    clientNamed);
  else if (resolveInternetAddress(host, internet))
    found = findServerAuthorization(reinterpret_cast<const char*>(internet), 4, number, family, name, &nameLength,
                                    data, &dataLength, clientNamed);
  free(host);
  if (!found) return;
  options->authName = *name;
  options->authNameLength = nameLength;
  options->authData = *data;
  options->authDataLength = dataLength;
}

// "host:n" with this machine as its host (its name in any case, or another
// name of it).
bool namesThisHost(const char* display) {
  const char* colon = strchr(display, ':');
  if (!colon || colon == display) return false;
  const char* self = hostName();
  size_t length = size_t(colon - display);
  if (length == strlen(self) && strncasecmp(display, self, length) == 0) return true;
  char host[kDisplayNameMax];
  strCopy(host, display, std::min<size_t>(length + 1, sizeof host));
  return hostIsLocal(host);
}

}  // namespace

const char* connectServerDisplay(const char* name, u64 timeoutMs, u64 failsafeTimeoutMs, Display** out,
                                 bool clientNamed) {
  LOGF(logChInfo, "Connecting to display %s for %s...", name, formatDurationMs(timeoutMs));
  char display[kDisplayNameMax];
  strCopy(display, name ? name : "", sizeof display);
  // The connection is to the server; its screens are the heads' business.
  if (char* colon = strrchr(display, ':'))
    if (char* dot = strrchr(colon, '.')) *dot = '\0';
  TargetOptions options;
  xtargetInitOptions(&options);
  options.displayName = display;
  options.connectTimeoutMs = timeoutMs;
  options.secondTimeoutMs = failsafeTimeoutMs;
  char* authName = nullptr;
  char* authData = nullptr;
  addCredentials(display, clientNamed, &options, &authName, &authData);
  const char* error = nullptr;
  *out = nullptr;
  bool thisHost = namesThisHost(display);
  // Under a bound (the step that opens the server holds clients up) the
  // look-ups so far took their time from the connect's: it waits for what
  // is left, and a failure still names the whole time-out.
  if (long long due = LookUpBound::deadline()) {
    u64 left = u64(std::max(due - fdMonotonicMs(), 0LL));
    if (left < timeoutMs) {
      options.waitedBeforeMs = timeoutMs - left;
      options.connectTimeoutMs = left;
    }
  }
  if (thisHost) {
    options.connectTimeoutMs /= 2;
    TargetOptions local = options;
    local.displayName = strchr(display, ':');
    error = xtargetOpenDisplay(&local, nullptr, out);
    // A failure names the whole wait, not only the second half of it.
    options.waitedBeforeMs += local.connectTimeoutMs;
  }
  if (!*out) error = xtargetOpenDisplay(&options, nullptr, out);
  if (authData) explicit_bzero(authData, options.authDataLength);
  free(authName);
  free(authData);
  if (*out) LOGF(logChInfo, "Connected to X server '%s v%d'", ServerVendor(*out), VendorRelease(*out));
  return *out ? nullptr : error;
}

}  // namespace palvon
