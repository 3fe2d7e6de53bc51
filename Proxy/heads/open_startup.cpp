// The start-up's steps over the configured heads: opening them in
// configuration order, applying each head's block, and reopening heads whose
// display was lost before the next run.
#include <cstdlib>
#include <cstring>

#include "Proxy/config/config.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/failsafe.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/open.h"
#include "Proxy/heads/settings.h"
#include "base/logging.h"

namespace palvon {

namespace {

// Which head each configuration entry became (entries are few).
struct EntryHead {
  const HeadConfig* entry;
  Head* head;
};
EntryHead* entryHeads;
u32 entryHeadCount;

const char* rememberHead(const HeadConfig* entry, Head* head) {
  for (u32 i = 0; i < entryHeadCount; i++) {
    if (entryHeads[i].entry == entry) {
      entryHeads[i].head = head;
      return nullptr;
    }
  }
  auto* grown = static_cast<EntryHead*>(memRealloc(entryHeads, sizeof(EntryHead) * (entryHeadCount + 1)));
  if (!grown) return PALVON_OOM();
  entryHeads = grown;
  entryHeads[entryHeadCount++] = {entry, head};
  return nullptr;
}

void forgetEntry(const HeadConfig* entry) {
  for (u32 i = 0; i < entryHeadCount; i++) {
    if (entryHeads[i].entry == entry) entryHeads[i] = entryHeads[--entryHeadCount];
  }
}

HeadOpenRequest requestOf(const HeadConfig* entry, MetaScreen* screen) {
  const HeadSettings& s = entry->settings;
  HeadOpenRequest request{};
  request.name = entry->display ? entry->display : s.name;
  request.headName = s.name;
  request.screen = screen;
  request.inWindow = s.inWindow;
  request.probeOnly = (s.tags & kHeadTagProbeOnly) != 0;
  request.connectTimeoutMs = s.connectTimeoutMs;
  request.offlineTimeoutMs = s.failsafeTimeoutMs;
  request.priority = u32(s.priority);
  request.defencePriority = u32(s.defensePriority);
  request.border = s.borderWidth;
  request.visualFlags = s.emulatedVisuals;
  return request;
}

// An anyScreen head whose server has a next screen: that screen becomes a
// head of its own, in a new meta screen east of the entry's.
const char* addNextScreen(HeadConfig* entry, Head* head) {
  ServerDisplay* server = head->serverDisplay;
  if (!server || !server->display || i32(head->screen) + 1 >= ScreenCount(server->display)) return nullptr;
  const char* base = entry->serverDisplayName ? entry->serverDisplayName : entry->display;
  char* name = nullptr;
  if (memAsprintf(&name, "%s.%d", base, i32(head->screen) + 1) < 0) return PALVON_OOM();
  HeadConfig* copy = cloneHeadConfig(entry);
  ScreenConfig* screenConfig = copy ? addScreenConfig(&proxyConfig.metaScreens) : nullptr;
  MetaScreen* screen = screenConfig ? createMetaScreen() : nullptr;
  if (!screen) {
    free(name);
    if (copy) freeHeadConfig(copy);
    return PALVON_OOM();
  }
  screenConfig->number = screen->number;
  screenConfig->name = memStrdup(name);
  screenConfig->placement = kPlaceEast;
  screenConfig->given |= kScreenGivenPlacement | kScreenGivenReference;
  screenConfig->reference = entry->metaScreen;
  screenConfig->referenceNumber = entry->metaScreen ? i32(entry->metaScreen->number) : -1;
  proxyConfig.numberOfMetaScreens++;
  screen->name = memStrdup(name);
  screen->placement = kPlaceEast;
  screen->referenceScreen = head->metaScreen ? head->metaScreen->number : 0;
  free(copy->display);
  free(copy->settings.name);
  copy->display = memStrdup(name);
  copy->settings.name = name;
  copy->metaScreen = screenConfig;
  copy->settings.metaScreenNumber = i32(screen->number);
  copy->settings.placement = kPlaceNone;
  copy->given &= ~kHeadGivenPlacement;
  if (!copy->display || !screenConfig->name || !screen->name) {
    freeHeadConfig(copy);
    return PALVON_OOM();
  }
  HeadConfig** tail = &proxyConfig.heads;
  while (*tail) tail = &(*tail)->next;
  *tail = copy;
  copy->previous = proxyConfig.heads->previous == copy ? nullptr : proxyConfig.heads->previous;
  proxyConfig.heads->previous = copy;
  logStepf("Found additional head %s...", copy->display);
  return nullptr;
}

}  // namespace

void forgetConfiguredHead(const Head* head) {
  for (u32 i = 0; i < entryHeadCount; i++) {
    if (entryHeads[i].head == head) entryHeads[i].head = nullptr;
  }
}

Head* configuredHead(const HeadConfig* entry) {
  for (u32 i = 0; i < entryHeadCount; i++) {
    if (entryHeads[i].entry == entry) return entryHeads[i].head;
  }
  return nullptr;
}

const char* openConfiguredHeads() {
  for (HeadConfig* entry = proxyConfig.heads; entry;) {
    HeadConfig* next = entry->next;
    MetaScreen* screen = findMetaScreen(u32(entry->settings.metaScreenNumber));
    if (!screen || entry->settings.metaScreenNumber < 0)
      return tmpPrintf("No meta screen %d", entry->settings.metaScreenNumber);
    u32 status = 0;
    const char* error = nullptr;
    // Every call on the head's display is bounded, Failsafe or not.
    xfsSetGuardTimeout(entry->settings.failsafeTimeoutMs);
    Head* head = initHead(requestOf(entry, screen), &status, &error);
    if (!head) {
      bool failsafe = proxyConfig.options & kOptionFailsafe;
      if (status != kHeadStatusOffline || !failsafe || (entry->settings.tags & kHeadTagStatic)) return error;
      LOGF(logChWarning, "%s (trying to continue...)", error);
      forgetEntry(entry);
      unlinkHeadConfig(&proxyConfig.heads, entry);
      freeHeadConfig(entry);
      entry = next;
      continue;
    }
    if (const char* failed = rememberHead(entry, head)) return failed;
    if (entry->settings.tags & kHeadTagAnyScreen) {
      if (const char* failed = addNextScreen(entry, head)) return failed;
    }
    // An entry appended just now is processed in turn.
    entry = entry->next;
  }
  return nullptr;
}

const char* applyConfiguredScreenSettings() {
  for (HeadConfig* entry = proxyConfig.heads; entry; entry = entry->next) {
    Head* head = configuredHead(entry);
    if (!head) continue;
    HeadSettings settings = entry->settings;
    Head* reference = entry->reference ? configuredHead(entry->reference) : nullptr;
    settings.relativeTo = reference ? reference->id : 0;
    if (!reference) settings.placement = kPlaceNone;
    u32 mask = entry->given | kHeadGivenPlacement | kHeadGivenReference | kHeadGivenOffsetX | kHeadGivenOffsetY;
    // A meta screen is chosen by opening the head into it, not by moving it.
    mask &= ~kHeadGivenMetaScreen;
    if (const char* error = applyScreenSettings(nullptr, head, mask, &settings)) return error;
  }
  return nullptr;
}

void reopenLostHeads() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head;) {
      Head* next = head->next;
      if (head->serverDisplay || !head->configuredDisplay[0]) {
        head = next;
        continue;
      }
      HeadOpenRequest request{};
      request.name = head->configuredDisplay;
      request.inWindow = head->inWindow;
      request.probeOnly = (head->tags & kHeadTagProbeOnly) != 0;
      request.connectTimeoutMs = head->savedConnectTimeoutMs;
      request.offlineTimeoutMs = head->savedOfflineTimeoutMs;
      request.priority = head->savedPriority;
      request.border = head->borderWidth;
      request.visualFlags = head->visualFlags;
      char shortName[kDisplayNameMax];
      strCopy(shortName, head->configuredDisplay, sizeof shortName);
      if (char* dot = strrchr(shortName, '.'); dot && strchr(shortName, ':') < dot) *dot = 0;
      u32 status = 0;
      const char* error = nullptr;
      ServerDisplay* server = openHeadDisplay(shortName, head->configuredDisplay, request, true, &status, &error);
      if (!server) {
        logProblem(error, __FILE__, __LINE__);
        logProblem(removeServerFromScreen(head, true), __FILE__, __LINE__);
        head = next;
        continue;
      }
      bindHeadToServerDisplay(head, server);
      head = next;
    }
  }
}

}  // namespace palvon
