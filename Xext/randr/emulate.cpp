// RANDR answered from the proxy's screen model: a meta screen is one RANDR
// screen of one size, and every head is one CRTC, one output and one mode,
// all three with the head's id as their id. Each mode has its head's size
// (and is named by it, "1022x766"): programs
// compute the screen a configuration needs from the CRTCs' places and their
// modes' sizes, and a mode of the whole screen's size at a head's place
// would have them grow the screen at every change. Nothing reaches a
// server. Size changes go to the meta screen model, whose changes come back
// to the selecting clients as RANDR events.
#include <X11/X.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/grabs.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/failsafe.h"
#include "Xext/extmodule.h"
#include "Xext/randr/internal.h"
#include "Xext/randr/randr.h"
#include "base/logging.h"

// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max

namespace palvon {

namespace {

constexpr u16 kRotateNone = 1;
constexpr u8 kStatusSuccess = 0, kStatusInvalidConfigTime = 1, kStatusFailed = 3;
constexpr u32 kSelectScreenChange = 1, kSelectCrtcChange = 2, kSelectOutputChange = 4;
constexpr u8 kConnected = 0, kDisconnected = 1;
constexpr u32 kModeNameMax = 24;  // "65535x65535" and its end

// A 32-byte reply (or the given size) for the current request.
void reply(const u8* request, u8* bytes, u32 size, LayoutString layout) {
  put16(bytes + 2, static_cast<u16>(currentClient->requestCounter));
  sendComposedReply(request[0], request[1], bytes, size, layout, currentClient);
}

// The meta screen of the request's window at 4; BadWindow when it has none.
MetaScreen* windowScreen(const u8* request, u32 length) {
  u32 window = get32(request + 4);
  MetaScreen* screen = lookupWindowScreen(window);
  if (!screen) sendXError(BadWindow, window, request, length, nullptr);
  return screen;
}

// The head named by a CRTC or output id; the RANDR error when none.
Head* headAt(const u8* request, u32 length, u32 at, u8 error) {
  u32 id = get32(request + at);
  auto* head = static_cast<Head*>(lookupResourceByType(id, RT_HEAD));
  if (!head) sendExtensionError(error, id, request, length, nullptr);
  return head;
}

u32 timeOrNow(u32 time) { return time ? time : currentMetaTime(); }

// A head being removed has left its server already, even while that server
// keeps other heads (and so its display).
u8 connectionOf(const Head* head) {
  return !head->display || !head->serverDisplay || isDisplayOffline(head->display) ? kDisconnected : kConnected;
}

u16 millimetres(double value) { return static_cast<u16>(std::llround(value)); }

bool randrLogging() { return proxyConfig.logTypes & kLogTypeRandr; }

// --- Requests --------------------------------------------------------------------------------

void EmuQueryVersion(u8* request, u32) {
  u32 wanted = get32(request + 4) * 64 + get32(request + 8);
  u32 version = std::min<u32>(wanted, offeredVersion(kModuleRandr));
  u8 bytes[32] = {};
  put32(bytes + 8, version / 64);
  put32(bytes + 12, version % 64);
  reply(request, bytes, 32, "bbsiii");
}

void EmuSetScreenConfig(u8* request, u32 length) {
  u32 drawable = get32(request + 4);
  MetaScreen* screen = getResourceScreen(drawable);
  if (!screen) return sendXError(BadDrawable, drawable, request, length, nullptr);
  u16 rotation = get16(request + 18);
  if (rotation != kRotateNone) return sendXError(BadMatch, rotation, request, length, nullptr);
  u32 time = timeOrNow(get32(request + 8));
  u8 bytes[32] = {};
  bytes[1] = kStatusInvalidConfigTime;
  if (get32(request + 12) == screen->randrConfigTimestamp && i32(screen->randrTimestamp - time) <= 0) {
    bytes[1] = kStatusSuccess;
    screen->randrTimestamp = time;
  }
  put32(bytes + 8, screen->randrTimestamp);
  put32(bytes + 12, screen->randrConfigTimestamp);
  put32(bytes + 16, screen->rootId);
  reply(request, bytes, 32, "bbsiiiis");
}

void EmuSelectInput(u8* request, u32 length) {
  u32 id = get32(request + 4);
  ProxyWindow* window = lookupWindow(id);
  if (!window) return sendXError(BadWindow, id, request, length, nullptr);
  u32 mask = get16(request + 8);
  if (proxyConfig.workarounds & kWorkaroundSelectScreenChangeEvents) mask |= kSelectScreenChange;
  EventSelection* selection = findOrAddEventSelection(window, currentClient);
  if (!selection) return sendXError(BadAlloc, 0, request, length, nullptr);
  selection->flags = mask;  // an entry's flags are its RANDR input mask
}

void EmuGetScreenInfo(u8* request, u32 length) {
  MetaScreen* screen = windowScreen(request, length);
  if (!screen) return;
  u8 bytes[40] = {};
  bytes[1] = kRotateNone;
  put32(bytes + 8, screen->rootId);
  put32(bytes + 12, screen->randrTimestamp);
  put32(bytes + 16, screen->randrConfigTimestamp);
  put16(bytes + 20, 1);  // one size, index 0, no rates
  put16(bytes + 24, kRotateNone);
  put16(bytes + 32, static_cast<u16>(screen->width));
  put16(bytes + 34, static_cast<u16>(screen->height));
  put16(bytes + 36, millimetres(screen->widthMM));
  put16(bytes + 38, millimetres(screen->heightMM));
  reply(request, bytes, sizeof bytes, "bbsiiiiS");
}

void EmuGetScreenSizeRange(u8* request, u32 length) {
  if (!windowScreen(request, length)) return;
  u8 bytes[32] = {};
  put16(bytes + 8, kRandrMinSize);
  put16(bytes + 10, kRandrMinSize);
  put16(bytes + 12, kRandrMaxSize);
  put16(bytes + 14, kRandrMaxSize);
  reply(request, bytes, 32, "bbsiS");
}

void EmuSetScreenSize(u8* request, u32 length) {
  MetaScreen* screen = windowScreen(request, length);
  if (!screen) return;
  u16 width = get16(request + 8), height = get16(request + 10);
  if (width < kRandrMinSize || height < kRandrMinSize) return sendXError(BadMatch, width, request, length, nullptr);
  MetaScreenSettings settings{};
  settings.mask = kMetaWidth | kMetaHeight | kMetaWidthMM | kMetaHeightMM;
  settings.width = width;
  settings.height = height;
  settings.widthMM = get32(request + 12);
  settings.heightMM = get32(request + 16);
  // A size the model cannot take is the client's error, not a silent no.
  if (const char* error = computeMetaScreenSize(screen, &settings)) {
    logProblem(error, __FILE__, __LINE__);
    sendXError(BadMatch, width, request, length, nullptr);
  }
}

// A mode is named by its size, as a server names the modes it makes up:
// programs print the name and find modes by it (xrandr --mode 1022x766).
u32 modeName(const Head* head, char* name) {
  return u32(std::snprintf(name, kModeNameMax, "%ux%u", u32(head->logical.width), u32(head->logical.height)));
}

void EmuGetScreenResources(u8* request, u32 length) {
  MetaScreen* screen = windowScreen(request, length);
  if (!screen) return;
  u32 heads = 0, names = 0;
  char name[kModeNameMax];
  for (const Head* head = screen->heads; head; head = head->next) {
    if (isExcludedHead(head)) continue;
    heads++;
    names += modeName(head, name);
  }
  u32 size = 32 + 8 * heads + 32 * heads + ((names + 3) & ~3u);
  u8* bytes = static_cast<u8*>(std::calloc(1, size));
  if (!bytes) return sendXError(BadAlloc, 0, request, length, nullptr);
  put32(bytes + 8, screen->randrTimestamp);
  put32(bytes + 12, screen->randrConfigTimestamp);
  put16(bytes + 16, static_cast<u16>(heads));
  put16(bytes + 18, static_cast<u16>(heads));
  put16(bytes + 20, static_cast<u16>(heads));
  put16(bytes + 22, static_cast<u16>(names));
  u32 k = 0;
  u8* text = bytes + 32 + 40 * heads;
  for (const Head* head = screen->heads; head; head = head->next) {
    if (isExcludedHead(head)) continue;
    put32(bytes + 32 + 4 * k, head->id);
    put32(bytes + 32 + 4 * (heads + k), head->id);
    u8* mode = bytes + 32 + 8 * heads + 32 * k;
    put32(mode, head->id);
    put16(mode + 4, static_cast<u16>(head->logical.width));
    put16(mode + 6, static_cast<u16>(head->logical.height));
    u32 nameLength = modeName(head, name);
    put16(mode + 26, static_cast<u16>(nameLength));
    std::memcpy(text, name, nameLength);
    text += nameLength;
    k++;
  }
  reply(request, bytes, size, "H20");
  std::free(bytes);
}

void EmuGetOutputInfo(u8* request, u32 length) {
  Head* head = headAt(request, length, 4, kRRBadOutput);
  if (!head) return;
  // Each output is named by its head: programs tell outputs apart by name,
  // and outputs without one would all be the same output to them.
  u32 nameLength = u32(strnlen(head->name, kHeadNameMax));
  u8 bytes[44 + kHeadNameMax + 1] = {};
  std::memcpy(bytes + 44, head->name, nameLength);
  put16(bytes + 34, static_cast<u16>(nameLength));
  put32(bytes + 12, head->id);
  put32(bytes + 16, head->widthMM);
  put32(bytes + 20, head->heightMM);
  bytes[24] = connectionOf(head);
  put16(bytes + 26, 1);  // one CRTC
  put16(bytes + 28, 1);  // one mode
  put32(bytes + 36, head->id);
  put32(bytes + 40, head->id);
  reply(request, bytes, 44 + ((nameLength + 3) & ~3u), "H22");
}

void EmuListOutputProperties(u8* request, u32 length) {
  if (!headAt(request, length, 4, kRRBadOutput)) return;
  u8 bytes[32] = {};
  reply(request, bytes, 32, "bbsissI");
}

void EmuQueryOutputProperty(u8* request, u32 length) {
  if (!headAt(request, length, 4, kRRBadOutput)) return;
  u8 bytes[32] = {};
  reply(request, bytes, 32, "bbsibbbbI");
}

// Outputs have no properties and exactly one mode: changes are accepted and
// change nothing.
void EmuCheckOutputOnly(u8* request, u32 length) { headAt(request, length, 4, kRRBadOutput); }
void EmuCheckCrtcOnly(u8* request, u32 length) { headAt(request, length, 4, kRRBadCrtc); }
void EmuIgnore(u8*, u32) {}

void EmuGetOutputProperty(u8* request, u32 length) {
  if (!headAt(request, length, 4, kRRBadOutput)) return;
  u8 bytes[32] = {};
  reply(request, bytes, 32, "bbsiiii");
}

void EmuCreateMode(u8* request, u32 length) { sendXError(BadMatch, 0, request, length, nullptr); }

void EmuGetCrtcInfo(u8* request, u32 length) {
  Head* head = headAt(request, length, 4, kRRBadCrtc);
  if (!head) return;
  u8 bytes[40] = {};
  put32(bytes + 8, head->metaScreen ? head->metaScreen->randrTimestamp : 0);
  put16(bytes + 12, static_cast<u16>(head->logical.x));
  put16(bytes + 14, static_cast<u16>(head->logical.y));
  put16(bytes + 16, static_cast<u16>(head->logical.width));
  put16(bytes + 18, static_cast<u16>(head->logical.height));
  put32(bytes + 20, head->id);
  put16(bytes + 24, kRotateNone);
  put16(bytes + 26, kRotateNone);
  put16(bytes + 28, 1);  // one output
  put16(bytes + 30, 1);  // one possible output
  put32(bytes + 32, head->id);
  put32(bytes + 36, head->id);
  reply(request, bytes, sizeof bytes, "bbsiissssissssI");
}

// Only the configuration the CRTC has can be set: the head's own mode,
// place, no rotation and its one output.
bool isPresentCrtcConfig(const Head* head, const u8* request, u32 length) {
  if (get32(request + 20) != head->id || get16(request + 24) != kRotateNone) return false;
  if (i16(get16(request + 16)) != head->logical.x || i16(get16(request + 18)) != head->logical.y) return false;
  return length == 32 && get32(request + 28) == head->id;
}

void EmuSetCrtcConfig(u8* request, u32 length) {
  Head* head = headAt(request, length, 4, kRRBadCrtc);
  if (!head) return;
  MetaScreen* screen = head->metaScreen;
  u32 time = timeOrNow(get32(request + 8));
  u8 bytes[32] = {};
  if (!screen || get32(request + 12) != screen->randrConfigTimestamp || i32(screen->randrTimestamp - time) > 0) {
    bytes[1] = kStatusInvalidConfigTime;
  } else if (!isPresentCrtcConfig(head, request, length)) {
    bytes[1] = kStatusFailed;
  } else {
    screen->randrTimestamp = time;
  }
  put32(bytes + 8, screen ? screen->randrTimestamp : 0);
  reply(request, bytes, 32, "bbsii");
}

// Each CRTC has a gamma ramp of a plain server's size, all zero until a
// client sets one; the ramp lives with its head. Programs that read the
// ramp (xrandr) report an error for a CRTC without one.
constexpr u16 kGammaSize = 256;
constexpr u32 kGammaBytes = 3 * 2 * kGammaSize;

void freeGammaRamp(Head*, void* ramp) { std::free(ramp); }

// The head's ramp (red, green, blue), made when `make`; null when none.
u8* gammaRamp(Head* head, bool make) {
  for (u32 slot = 0; slot < kHeadCleanupSlots; slot++) {
    if (head->cleanup[slot] == freeGammaRamp) return static_cast<u8*>(head->cleanupArgument[slot]);
  }
  if (!make) return nullptr;
  for (u32 slot = 0; slot < kHeadCleanupSlots; slot++) {
    if (head->cleanup[slot]) continue;
    auto* ramp = static_cast<u8*>(std::calloc(1, kGammaBytes));
    if (!ramp) return nullptr;
    head->cleanup[slot] = freeGammaRamp;
    head->cleanupArgument[slot] = ramp;
    return ramp;
  }
  return nullptr;
}

void EmuGetCrtcGammaSize(u8* request, u32 length) {
  if (!headAt(request, length, 4, kRRBadCrtc)) return;
  u8 bytes[32] = {};
  put16(bytes + 8, kGammaSize);
  reply(request, bytes, 32, "bbsis");
}

void EmuGetCrtcGamma(u8* request, u32 length) {
  Head* head = headAt(request, length, 4, kRRBadCrtc);
  if (!head) return;
  u8 bytes[32 + kGammaBytes] = {};
  put16(bytes + 8, kGammaSize);
  if (const u8* ramp = gammaRamp(head, false)) std::memcpy(bytes + 32, ramp, kGammaBytes);
  reply(request, bytes, sizeof bytes, "bbsissiiiiiS");
}

void EmuSetCrtcGamma(u8* request, u32 length) {
  Head* head = headAt(request, length, 4, kRRBadCrtc);
  if (!head) return;
  u16 size = get16(request + 8);
  if (size != kGammaSize) return sendXError(BadValue, size, request, length, nullptr);
  u8* ramp = gammaRamp(head, true);
  if (!ramp) return sendXError(BadAlloc, 0, request, length, nullptr);
  // The request is in the proxy's order already, as the reply is made.
  std::memcpy(ramp, request + 12, kGammaBytes);
}

void putIdentity(u8* at) {
  for (u32 k = 0; k < 9; k++) put32(at + 4 * k, k % 4 == 0 ? 65536 : 0);
}

void EmuGetCrtcTransform(u8* request, u32 length) {
  if (!headAt(request, length, 4, kRRBadCrtc)) return;
  u8 bytes[96] = {};
  putIdentity(bytes + 8);
  bytes[44] = 1;  // has transforms
  putIdentity(bytes + 48);
  reply(request, bytes, sizeof bytes, "H21");
}

void EmuGetPanning(u8* request, u32 length) {
  Head* head = headAt(request, length, 4, kRRBadCrtc);
  if (!head) return;
  u8 bytes[36] = {};
  put32(bytes + 8, head->metaScreen ? head->metaScreen->randrTimestamp : 0);
  reply(request, bytes, sizeof bytes, "bbsiiS");
}

void EmuSetPanning(u8* request, u32 length) {
  Head* head = headAt(request, length, 4, kRRBadCrtc);
  if (!head) return;
  u32 time = timeOrNow(get32(request + 8));
  if (head->metaScreen) head->metaScreen->randrTimestamp = time;
  u8 bytes[32] = {};
  put32(bytes + 8, time);
  reply(request, bytes, 32, "bbsii");
}

void EmuSetOutputPrimary(u8* request, u32 length) {
  MetaScreen* screen = windowScreen(request, length);
  if (!screen) return;
  u32 output = get32(request + 8);
  if (output) {
    Head* head = headAt(request, length, 8, kRRBadOutput);
    if (!head) return;
    if (head->metaScreen != screen) return sendXError(BadMatch, 0, request, length, nullptr);
  }
  if (output == screen->randrPrimaryOutput) return;
  screen->randrPrimaryOutput = output;
  sendRRScreenChangeNotify(screen);
}

void EmuGetOutputPrimary(u8* request, u32 length) {
  MetaScreen* screen = windowScreen(request, length);
  if (!screen) return;
  u8 bytes[32] = {};
  put32(bytes + 8, screen->randrPrimaryOutput);
  reply(request, bytes, 32, "bbsii");
}

using EmulatedHandler = void (*)(u8* request, u32 length);

constexpr EmulatedHandler kEmulated[kRRMinors] = {
    EmuQueryVersion,         nullptr,                 EmuSetScreenConfig,      nullptr,
    EmuSelectInput,          EmuGetScreenInfo,        EmuGetScreenSizeRange,   EmuSetScreenSize,
    EmuGetScreenResources,   EmuGetOutputInfo,        EmuListOutputProperties, EmuQueryOutputProperty,
    EmuCheckOutputOnly,      EmuCheckOutputOnly,      EmuCheckOutputOnly,      EmuGetOutputProperty,
    EmuCreateMode,           EmuIgnore,               EmuCheckOutputOnly,      EmuCheckOutputOnly,
    EmuGetCrtcInfo,          EmuSetCrtcConfig,        EmuGetCrtcGammaSize,     EmuGetCrtcGamma,
    EmuSetCrtcGamma,         EmuGetScreenResources,   EmuCheckCrtcOnly,        EmuGetCrtcTransform,
    EmuGetPanning,           EmuSetPanning,           EmuSetOutputPrimary,     EmuGetOutputPrimary,
};

// --- Events ------------------------------------------------------------------------------------

u8 firstEvent() {
  const ExtensionEntry* entry = moduleEntry(kModuleRandr);
  return entry ? entry->firstEvent : 0;
}

// Calls send(selection, window) for every selection with a RANDR bit of
// `mask` under the screen's root, in pre-order, entries in list order.
template <class Send>
void forEachRandrSelection(MetaScreen* screen, u32 mask, Send send) {
  ProxyWindow* root = screen ? screen->rootWindow : nullptr;
  for (ProxyWindow* window = root; window; window = nextWindowPreorder(window, root)) {
    for (EventSelection* selection = window->selections; selection; selection = selection->next) {
      if ((selection->flags & mask) && selection->client) send(selection->client, window);
    }
  }
}

void emulatedScreenChange(MetaScreen* screen) {
  u8 first = firstEvent();
  if (!first || !screen) return;
  screen->randrConfigTimestamp = currentMetaTime();
  u8 event[32] = {};
  event[0] = first;
  event[1] = kRotateNone;
  put32(event + 4, screen->randrTimestamp);
  put32(event + 8, screen->randrConfigTimestamp);
  put32(event + 12, screen->rootId);
  put16(event + 24, static_cast<u16>(screen->width));
  put16(event + 26, static_cast<u16>(screen->height));
  put16(event + 28, millimetres(screen->widthMM));
  put16(event + 30, millimetres(screen->heightMM));
  forEachRandrSelection(screen, kSelectScreenChange, [&](ProxyClient* client, ProxyWindow* window) {
    put16(event + 2, static_cast<u16>(client->requestCounter));
    put32(event + 16, window->id);
    sendComposedEvent(event, "bbsiiiiS", client);
    if (randrLogging())
      LOGF(logChNote, "<- RRScreenChange event (%ux%u) to %s", screen->width, screen->height, clientName(client));
  });
}

void emulatedHeadChange(Head* head) {
  if (isResourceServerHead(head)) return;
  sendRROutputChangeNotify(head);
  sendRRCrtcChangeNotify(head);
}

}  // namespace

void emulateRandrRequest(u8* request, u32 length) {
  EmulatedHandler handler = request[1] < kRRMinors ? kEmulated[request[1]] : nullptr;
  if (handler) handler(request, length);
}

void startRandrEmulation() {
  u32 now = currentMetaTime();
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    screen->randrPrimaryOutput = 0;
    screen->randrTimestamp = screen->randrConfigTimestamp = now;
  }
}

void installRandrEmulationHooks(bool on) {
  randrHooks.screenChange = on ? emulatedScreenChange : nullptr;
  randrHooks.headChange = on ? emulatedHeadChange : nullptr;
}

void sendRROutputChangeNotify(Head* head) {
  u8 first = firstEvent();
  MetaScreen* screen = head ? head->metaScreen : nullptr;
  if (!first || !screen) return;
  u8 event[32] = {};
  event[0] = u8(first + 1);
  event[1] = 1;  // output change
  put32(event + 4, screen->randrTimestamp);
  put32(event + 8, screen->randrConfigTimestamp);
  put32(event + 16, head->id);
  put32(event + 20, head->id);
  put32(event + 24, head->id);
  put16(event + 28, kRotateNone);
  event[30] = connectionOf(head);
  forEachRandrSelection(screen, kSelectOutputChange, [&](ProxyClient* client, ProxyWindow* window) {
    put16(event + 2, static_cast<u16>(client->requestCounter));
    put32(event + 12, window->id);
    sendComposedEvent(event, "H61", client);
    if (randrLogging()) LOGF(logChNote, "<- RROutputChange event to %s...", clientName(client));
  });
}

void sendRRCrtcChangeNotify(Head* head) {
  u8 first = firstEvent();
  MetaScreen* screen = head ? head->metaScreen : nullptr;
  if (!first || !screen) return;
  u8 event[32] = {};
  event[0] = u8(first + 1);
  event[1] = 0;  // CRTC change
  put32(event + 4, screen->randrTimestamp);
  put32(event + 12, head->id);
  put32(event + 16, head->id);
  put16(event + 20, kRotateNone);
  put16(event + 24, static_cast<u16>(head->logical.x));
  put16(event + 26, static_cast<u16>(head->logical.y));
  put16(event + 28, static_cast<u16>(head->logical.width));
  put16(event + 30, static_cast<u16>(head->logical.height));
  forEachRandrSelection(screen, kSelectCrtcChange, [&](ProxyClient* client, ProxyWindow* window) {
    put16(event + 2, static_cast<u16>(client->requestCounter));
    put32(event + 8, window->id);
    sendComposedEvent(event, "H61", client);
    if (randrLogging()) LOGF(logChNote, "<- RRCrtcChange event to %s", clientName(client));
  });
}

}  // namespace palvon
