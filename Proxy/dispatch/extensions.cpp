// The extension registry: codes of the proxy's own numbering for every
// offered extension and their translation to each real server's codes.

#include "Proxy/dispatch/extensions.h"

#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/join/translucency.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "xsupport/rclib/rclib.h"

#include <X11/Xlib.h>
#include <strings.h>

#include <cstdio>
#include <cstring>

namespace palvon {

// The modules the proxy is built with: handed over by main (none until then).
static const ExtensionModule* modules = nullptr;
static u32 moduleCount = 0;

static ExtensionRegistry& registry() { return proxyState.extensions; }

void setExtensionModules(const ExtensionModule* table, u32 count) {
  modules = table;
  moduleCount = table ? count : 0;
}

const ExtensionModule* findExtensionModule(const char* name) {
  for (u32 k = 0; k < moduleCount; k++) {
    if (std::strcmp(modules[k].name, name) == 0) return &modules[k];
  }
  return nullptr;
}

// The configured list (the "extensions" statement): the last entry that
// names the extension decides; a name no entry matches is disabled when the
// list starts with a plus entry.
bool isExtensionDisabled(const char* name) {
  if (proxyConfig.extensionCount == 0 || !proxyConfig.extensions) return false;
  int verdict = -1;  // -1 no match, 0 enabled, 1 disabled
  for (u32 k = 0; k < proxyConfig.extensionCount; k++) {
    const NameFlag& item = proxyConfig.extensions[k];
    if (item.name && strcasecmp(item.name, name) == 0) verdict = item.enabled ? 0 : 1;
  }
  if (verdict >= 0) return verdict == 1;
  return proxyConfig.extensions[0].enabled != 0;
}

// The lowest base from `from` where `count` consecutive codes are free of
// every registered entry's codes, the last at most `last`; 0 when none fits.
// A registered extension holds its codes and the one after its last.
static u32 findFreeCodes(bool events, u32 from, u32 count, u32 last) {
  bool taken[256] = {};
  for (u32 k = 128; k < 256; k++) {
    const ExtensionEntry& other = registry().entries[k];
    u32 first = events ? other.firstEvent : other.firstError;
    u32 used = events ? other.eventCount : other.errorCount;
    if (!other.name || first == 0) continue;
    for (u32 code = first; code <= first + used && code < 256; code++) taken[code] = true;
  }
  for (u32 base = from; base + count - 1 <= last; base++) {
    bool fits = true;
    for (u32 code = base; code < base + count && fits; code++) fits = !taken[code];
    if (fits) return base;
  }
  return 0;
}

const char* registerExtension(ExtensionEntry* entry, const char* name, u32 eventCount, u32 errorCount) {
  entry->name = name;
  entry->nameLength = static_cast<u8>(std::strlen(name));
  entry->major = static_cast<u8>(entry - registry().entries);
  if (eventCount > 0 && entry->firstEvent == 0) {
    u32 base = findFreeCodes(true, 36, eventCount, 255);
    if (base == 0) return "X extension event base exhausted";
    entry->firstEvent = static_cast<u8>(base);
  }
  if (errorCount > 0 && entry->firstError == 0) {
    // Code 255 is never given.
    u32 base = errorCount < 128 ? findFreeCodes(false, 128, errorCount, 254) : 0;
    if (base == 0) return "X extension error base exhausted";
    entry->firstError = static_cast<u8>(base);
  }
  return nullptr;
}

void addExtensionAlias(ExtensionEntry*, const char*) {}

const char* describeExtension(const ExtensionEntry* entry) {
  char* text = tmpAlloc(80);
  int used = std::snprintf(text, 80, "#%u", entry->major);
  if (entry->errorsSent && used < 80) used += std::snprintf(text + used, 80 - used, ", %u err", entry->errorsSent);
  if (entry->eventsSent && used < 80) used += std::snprintf(text + used, 80 - used, ", %u ev", entry->eventsSent);
  if (entry->emulated && used < 80) std::snprintf(text + used, 80 - used, ", emu");
  return text;
}

const char* listRegisteredExtensions() {
  constexpr int kSize = 512;
  char* text = tmpAlloc(kSize);
  text[0] = '\0';
  int used = 0;
  for (u32 k = 128; k < 256 && used < kSize; k++) {
    const ExtensionEntry& e = registry().entries[k];
    if (!e.name) continue;
    used += std::snprintf(text + used, kSize - used, "%s %u.%u, ", e.name, e.version / 64u, e.version % 64u);
  }
  if (used > kSize - 1) used = kSize - 1;
  if (used >= 2 && std::strcmp(text + used - 2, ", ") == 0) text[used - 2] = '\0';
  return text;
}

u32 collectExtensionNames(u8* buffer, u32* totalLength) {
  u32 count = 0;
  u32 length = 0;
  for (u32 k = 128; k < 256; k++) {
    const ExtensionEntry& e = registry().entries[k];
    if (!e.name) continue;
    buffer[length++] = e.nameLength;
    std::memcpy(buffer + length, e.name, e.nameLength);
    length += e.nameLength;
    count++;
  }
  *totalLength = length;
  return count;
}

ExtensionEntry* findExtensionByName(const char* name) {
  for (u32 k = 128; k < 256; k++) {
    ExtensionEntry& e = registry().entries[k];
    if (e.name && strcasecmp(e.name, name) == 0) return &e;
  }
  return nullptr;
}

ExtensionEntry* findExtensionByCountedName(const u8* bytes, u32 length) {
  for (u32 k = 128; k < 256; k++) {
    ExtensionEntry& e = registry().entries[k];
    if (e.name && e.nameLength == length && std::memcmp(e.name, bytes, length) == 0) return &e;
  }
  return nullptr;
}

u8 allocExtensionEntry() {
  for (u32 k = 128; k < 256; k++) {
    if (!registry().entries[k].name) return static_cast<u8>(k);
  }
  LOGF(logChWarning, "X extension opcodes exhausted");
  return 0;
}

ExtensionEntry* initExtensionRegistry(const char* name, u16 version, u8 major, u8 firstEvent, u8 firstError) {
  if (major < 128 || isExtensionDisabled(name)) return nullptr;
  ExtensionEntry* entry = &registry().entries[major];
  if (entry->name) return entry;
  entry->major = major;
  entry->firstEvent = firstEvent;
  entry->firstError = firstError;
  const ExtensionModule* module = findExtensionModule(name);
  entry->version = version ? version : module ? module->defaultVersion : 0;
  LOGF(logChStep, "Init %s %s (op=%u ev=%u err=%u) ...", name,
       tmpPrintf("%u.%u", entry->version / 64u, entry->version % 64u), major, firstEvent, firstError);
  if (!module || !module->init) {
    resetExtension(entry);
    return nullptr;
  }
  const char* refusal = module->init(entry);
  if (refusal || !entry->name) {
    if (refusal) LOGF(logChNote, "%s: %s", name, refusal);
    resetExtension(entry);
    return nullptr;
  }
  return entry;
}

void mapHeadExtensionCodes(const ExtensionEntry* entry, ExtensionCodeMap* codes, u8 serverMajor,
                           u8 serverFirstEvent, u8 serverFirstError) {
  codes->majorToServer[entry->major] = serverMajor;
  if (entry->eventCount > 0 && serverFirstEvent >= 36) {
    for (u32 k = 0; k < entry->eventCount && entry->firstEvent + k < 256 && serverFirstEvent + k < 256; k++) {
      codes->eventToServer[entry->firstEvent + k] = static_cast<u8>(serverFirstEvent + k);
      codes->eventFromServer[serverFirstEvent + k] = static_cast<u8>(entry->firstEvent + k);
    }
  }
  if (entry->errorCount > 0 && serverFirstError >= 128) {
    for (u32 k = 0; k < entry->errorCount && entry->firstError + k < 256 && serverFirstError + k < 256; k++) {
      codes->errorFromServer[serverFirstError + k] = static_cast<u8>(entry->firstError + k);
    }
  }
}

// The server's codes of an extension; false when it lacks it.
static bool queryServerCodes(const ExtensionServer& server, const char* name, int* major, int* event, int* error) {
  return server.display && XfsQueryExtension(server.display, name, major, event, error);
}

bool bindExtensionToServer(const ExtensionEntry* entry, const ExtensionServer& server) {
  int major = 0, event = 0, error = 0;
  // An extension the proxy answers itself still sends its requests to the
  // servers that have it, in their codes.
  if (!queryServerCodes(server, entry->name, &major, &event, &error)) {
    // Its requests must not reach this server under a code it gives to
    // something else.
    if (entry->needsNoServer && server.codes) server.codes->majorToServer[entry->major] = 0;
    return entry->needsNoServer != 0;
  }
  mapHeadExtensionCodes(entry, server.codes, static_cast<u8>(major), static_cast<u8>(event),
                        static_cast<u8>(error));
  return true;
}

void resetExtension(ExtensionEntry* entry) {
  if (entry->closeHook) entry->closeHook(entry);
  u32 major = static_cast<u32>(entry - registry().entries);
  if (major >= 128 && major < 256) clearExtensionRows(static_cast<u8>(major));
  if (entry->firstEvent && entry->eventCount) clearEventRows(entry->firstEvent, entry->eventCount);
  if (entry->firstError && entry->errorCount) clearErrorRows(entry->firstError, entry->errorCount);
  std::memset(entry, 0, sizeof *entry);
}

void resetAllExtensions() {
  for (u32 k = 128; k < 256; k++) {
    ExtensionEntry& e = registry().entries[k];
    if (e.name || e.closeHook) resetExtension(&e);
  }
  std::memset(&registry(), 0, sizeof registry());
}

// ---- Set-up from the servers --------------------------------------------------------

namespace {

// The names offered by the servers, owned copies.
struct NameList {
  static constexpr u32 kMax = 512;
  char* names[kMax];
  u32 count;
};

void freeNames(NameList& list) {
  for (u32 k = 0; k < list.count; k++) freeIfNotNull(list.names[k]);
  list.count = 0;
}

bool holdsName(const NameList& list, const char* name) {
  for (u32 k = 0; k < list.count; k++) {
    if (std::strcmp(list.names[k], name) == 0) return true;
  }
  return false;
}

const char* offlineText(const ExtensionServer& server) {
  unsigned long sent = server.display ? NextRequest(server.display) - 1 : 0;
  unsigned long processed = server.display ? LastKnownRequestProcessed(server.display) : 0;
  return tmpPrintf("Connection to %s is offline (%u requests, %u processed) - Maybe the X server is "
                   "unavailable or network is down",
                   server.displayName ? server.displayName : "?", static_cast<u32>(sent),
                   static_cast<u32>(processed));
}

// Adds the server's names that the list lacks; with filter, names that the
// configuration disables are left out (logged).
const char* addServerNames(NameList& list, const ExtensionServer& server, bool filter) {
  if (!server.display) return offlineText(server);
  int count = 0;
  char** names = XfsListExtensions(server.display, &count);
  if (!names && count != 0) return offlineText(server);
  const char* failure = nullptr;
  for (int k = 0; k < count && !failure; k++) {
    if (holdsName(list, names[k])) continue;
    if (filter && isExtensionDisabled(names[k])) {
      LOGF(logChStep, "Extension %s disabled ...", names[k]);
      continue;
    }
    if (list.count == NameList::kMax) break;
    char* copy = memStrdup(names[k]);
    if (!copy) failure = PALVON_OOM();
    else list.names[list.count++] = copy;
  }
  if (names) XFreeExtensionList(names);
  return failure;
}

// Offers one listed extension under the first server's codes, when every
// server has it (or the module needs no server).
void offerListedExtension(const char* name, const ExtensionServer* servers, u32 serverCount) {
  int major = 0, event = 0, error = 0;
  if (!queryServerCodes(servers[0], name, &major, &event, &error)) {
    LOGF(logChXhint, "Display %s lists extension %s, but query failed", servers[0].displayName, name);
    return;
  }
  ExtensionEntry* entry = initExtensionRegistry(name, 0, static_cast<u8>(major), static_cast<u8>(event),
                                                static_cast<u8>(error));
  if (!entry) return;
  for (u32 s = 0; s < serverCount; s++) {
    if (s > 0 && !queryServerCodes(servers[s], name, &major, &event, &error)) {
      // One the proxy answers itself stays; its requests go only to the
      // servers that have it.
      if (entry->needsNoServer) {
        servers[s].codes->majorToServer[entry->major] = 0;
        continue;
      }
      // Offering it would leave that server's heads without it.
      resetExtension(entry);
      return;
    }
    mapHeadExtensionCodes(entry, servers[s].codes, static_cast<u8>(major), static_cast<u8>(event),
                          static_cast<u8>(error));
  }
}

ExtensionEntry* initAtFreshMajor(const char* name, u16 version) {
  if (findExtensionByName(name) || isExtensionDisabled(name)) return findExtensionByName(name);
  u8 major = allocExtensionEntry();
  return major ? initExtensionRegistry(name, version, major, 0, 0) : nullptr;
}

// Fake input by the proxy's own connection to the input-control display:
// through its XTEST when it has one (the library attaches on first use),
// else as synthetic events, which every server takes.
const char* attachInputControlFakeInput() {
  ServerDisplay* display = inputControlDisplay ? inputControlDisplay : serverDisplayList;
  if (!display || !display->display) return "No input-control display for fake input";
  int major = 0, event = 0, error = 0;
  if (XfsQueryExtension(display->display, "XTEST", &major, &event, &error)) return nullptr;
  return xrcSetInjectionMethod(display->display, kXrcSynthetic);
}

// The extensions that the proxy serves without a module of the servers'.
void offerProxyExtensions(const ExtensionServer* servers, u32 serverCount) {
  u32 randrEmulation = 0;
  applySetWord(kWorkaroundWords, "RANDREmulation", &randrEmulation);
  if (!findExtensionByName("MIT-SHM")) {
    ExtensionEntry* shm = initAtFreshMajor("MIT-SHM", 0);
    for (u32 s = 0; shm && s < serverCount; s++) bindExtensionToServer(shm, servers[s]);
  }
  if (proxyConfig.options & kOptionKeymap) initAtFreshMajor("MORVANDELL KEYMAP", 0);
  initAtFreshMajor("MORVANDELL META", 0);
  initAtFreshMajor("MORVANDELL MULTIMEDIA", 0);
  initAtFreshMajor("MORVANDELL POSE", 0);
  if (translucencyAvailable()) {
    initAtFreshMajor("MORVANDELL TRANSLUCENT", 0);
  }
  if (!findExtensionByName("RANDR") && (proxyConfig.workarounds & randrEmulation)) initAtFreshMajor("RANDR", 0);
  if (!findExtensionByName("XINERAMA")) initAtFreshMajor("XINERAMA", 0);
  if (!findExtensionByName("XTEST") && !isExtensionDisabled("XTEST")) {
    const char* failure = proxyState.fakeInputSetup ? proxyState.fakeInputSetup() : attachInputControlFakeInput();
    if (failure) {
      logProblem(failure, __FILE__, __LINE__);
    } else if (initAtFreshMajor("XTEST", 0)) {
      registry().xtestThroughInputControl = true;
    }
  }
  if (!findExtensionByName("DOUBLE-BUFFER")) initAtFreshMajor("DOUBLE-BUFFER", 64);
}

}  // namespace

const char* setupServerExtensions(const ExtensionServer* servers, u32 serverCount) {
  if (registry().setUp) return nullptr;
  if (serverCount == 0) return "No server display to take extensions from";
  NameList* list = static_cast<NameList*>(memCalloc(1, sizeof(NameList)));
  if (!list) return PALVON_OOM();
  const char* failure = addServerNames(*list, servers[0], true);
  for (u32 s = 1; s < serverCount && !failure; s++) failure = addServerNames(*list, servers[s], false);
  for (u32 k = 0; k < list->count && !failure; k++) offerListedExtension(list->names[k], servers, serverCount);
  freeNames(*list);
  freeIfNotNull(list);
  if (failure) return failure;
  offerProxyExtensions(servers, serverCount);
  registry().setUp = true;
  return nullptr;
}

}  // namespace palvon
