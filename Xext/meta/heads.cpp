// MORVANDELL META: a head's values, its settings, and the servers and heads
// added and removed while clients run.
#include <X11/X.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/config/files.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/metacore.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/settings.h"
#include "Proxy/join/serverjoin.h"
#include "Proxy/links/errors.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Xext/meta/meta.h"
#include "Xext/meta/private.h"
#include "base/logging.h"
#include "base/lookups.h"

namespace palvon {

void relativeHeadPosition(u32 kind, const HeadRect& head, const HeadRect& ref, i32* dx, i32* dy) {
  *dx = *dy = 0;
  switch (kind) {
    case 1: case 4: case 5: *dx = head.x - ref.x; break;
    case 2: case 6: case 8: *dx = head.x + head.width - ref.x; break;
    case 3: case 7: case 9: *dx = head.x - (ref.x + ref.width); break;
    default: break;
  }
  switch (kind) {
    case 1: case 2: case 3: *dy = head.y - ref.y; break;
    case 4: case 6: case 7: *dy = head.y + head.height - ref.y; break;
    case 5: case 8: case 9: *dy = head.y - (ref.y + ref.height); break;
    default: break;
  }
}

namespace {

Head* findHead(u32 id) { return static_cast<Head*>(lookupResourceByType(id, RT_HEAD)); }

// --- Values ----------------------------------------------------------------------------

void putFloat(u8* at, double value) {
  float f = float(value);
  u32 bits;
  memcpy(&bits, &f, 4);
  put32(at, bits);
}

}  // namespace

void ProcMetaGetHeadValues(u8* request, u32 length) {
  u32 id = get32(request + 4);
  Head* head = findHead(id);
  if (!head) return sendExtensionError(kPalvoBadHead, id, request, length, nullptr);
  const MetaScreen* screen = head->metaScreen;
  const ServerDisplay* server = head->serverDisplay;
  u32 nameLength = u32(strnlen(head->name, kHeadNameMax));
  u32 displayLength = u32(strnlen(head->configuredDisplay, kHeadNameMax));
  u8 reply[100 + 2 * (kHeadNameMax + 4)] = {};
  reply[1] = isHeadOnline(head) ? 1 : 0;
  put16(reply + 8, screen ? u16(screen->number) : 0xffff);
  const Head* ref = head->direction ? head->relativeHead : nullptr;
  put16(reply + 10, u16(ref ? head->direction : 0));
  put32(reply + 12, ref ? ref->id : 0);
  if (ref) {
    i32 dx, dy;
    relativeHeadPosition(head->direction, head->logical, ref->logical, &dx, &dy);
    put16(reply + 16, u16(dx));
    put16(reply + 18, u16(dy));
  }
  put16(reply + 20, u16(head->clip.x));
  put16(reply + 22, u16(head->clip.y));
  put16(reply + 24, u16(head->clip.width));
  put16(reply + 26, u16(head->clip.height));
  put16(reply + 28, u16(head->width));
  put16(reply + 30, u16(head->height));
  put32(reply + 32, u32(head->logical.x));
  put32(reply + 36, u32(head->logical.y));
  put32(reply + 40, u32(head->logical.width));
  put32(reply + 44, u32(head->logical.height));
  put16(reply + 48, u16(head->panOffsetX));
  put16(reply + 50, u16(head->panOffsetY));
  put16(reply + 52, u16(head->borderWidth));
  put16(reply + 54, u16((head->panModifiers & 0xff) | (head->panJump ? kFollowPointerJump : 0)));
  put16(reply + 56, head->inWindow ? 1 : 0);
  put16(reply + 58, server ? u16(server->priority) : 0);
  put16(reply + 60, server ? u16(server->priority) : 0);
  // A longer configured time-out than the field holds reads as its largest.
  put16(reply + 62, server ? u16(std::min<u64>(server->offlineTimeoutMs, 0xffff)) : 0);
  reply[64] = head->pointerHidden ? 0 : 1;
  reply[65] = head->noEntry ? 0 : 1;
  reply[66] = head->pointerSync;
  reply[67] = head->clickTransfer;
  reply[68] = head->wrapX;
  reply[69] = head->wrapY;
  put16(reply + 70, u16(head->pointerSampleRate));
  putFloat(reply + 72, head->zoomX);
  putFloat(reply + 76, head->zoomY);
  reply[80] = server && server == inputControlDisplay ? 1 : 0;
  reply[81] = head->pointerRotation;
  put16(reply + 82, u16(head->rotation * 90));
  put16(reply + 84, head->minimumTextSize);
  put16(reply + 86, server ? u16(server->defencePriority) : 0);
  put32(reply + 88, getHeadTags(head));
  put32(reply + 92, head->screen);
  put16(reply + 96, u16(nameLength));
  put16(reply + 98, u16(displayLength));
  memcpy(reply + 100, head->name, nameLength);
  u32 at = 100 + pad4(nameLength);
  memcpy(reply + at, head->configuredDisplay, displayLength);
  sendMetaReply(request, reply, at + pad4(displayLength), kMetaHeadValuesLayout);
}

// --- Settings ----------------------------------------------------------------------------

namespace {

i32 asInt(u32 word) { return i32(word); }
double asFloat(u32 word) {
  float f;
  memcpy(&f, &word, 4);
  return f;
}

// The words of one mask bit, in the order the request carries them.
struct HeadValueRow {
  u32 bit;
  u8 words;
  void (*store)(HeadSettings* s, const u32* w);
};

constexpr u32 bit(u32 n) { return 1u << n; }

constexpr HeadValueRow kHeadValueRows[] = {
    {kHeadGivenPlacement, 1, [](HeadSettings* s, const u32* w) { s->placement = w[0]; }},
    {kHeadGivenReference, 1, [](HeadSettings* s, const u32* w) { s->relativeTo = w[0]; }},
    {kHeadGivenOffsetX, 1, [](HeadSettings* s, const u32* w) { s->offsetX = asInt(w[0]); }},
    {kHeadGivenOffsetY, 1, [](HeadSettings* s, const u32* w) { s->offsetY = asInt(w[0]); }},
    {kHeadGivenMetaScreen, 1, [](HeadSettings* s, const u32* w) { s->metaScreenNumber = asInt(w[0]); }},
    {kHeadGivenPhysicalX, 1, [](HeadSettings* s, const u32* w) { s->physicalX = asInt(w[0]); }},
    {kHeadGivenPhysicalY, 1, [](HeadSettings* s, const u32* w) { s->physicalY = asInt(w[0]); }},
    {kHeadGivenPhysicalWidth, 1, [](HeadSettings* s, const u32* w) { s->physicalWidth = asInt(w[0]); }},
    {kHeadGivenPhysicalHeight, 1, [](HeadSettings* s, const u32* w) { s->physicalHeight = asInt(w[0]); }},
    {kHeadGivenBorderWidth, 1, [](HeadSettings* s, const u32* w) { s->borderWidth = asInt(w[0]); }},
    {kHeadGivenLogicalX, 1, [](HeadSettings* s, const u32* w) { s->logicalX = asInt(w[0]); }},
    {kHeadGivenLogicalY, 1, [](HeadSettings* s, const u32* w) { s->logicalY = asInt(w[0]); }},
    {kHeadGivenLogicalWidth, 1, [](HeadSettings* s, const u32* w) { s->logicalWidth = asInt(w[0]); }},
    {kHeadGivenLogicalHeight, 1, [](HeadSettings* s, const u32* w) { s->logicalHeight = asInt(w[0]); }},
    {kHeadGivenFollowPointerX, 1, [](HeadSettings* s, const u32* w) { s->followPointerX = asInt(w[0]); }},
    {kHeadGivenFollowPointerY, 1, [](HeadSettings* s, const u32* w) { s->followPointerY = asInt(w[0]); }},
    {kHeadGivenFollowPointerFlags, 1, [](HeadSettings* s, const u32* w) { s->followPointerFlags = w[0]; }},
    {bit(22), 1, [](HeadSettings* s, const u32* w) { s->pointer = u8(w[0]); }},
    {bit(23), 1, [](HeadSettings* s, const u32* w) { s->allowEnter = u8(w[0]); }},
    {bit(24), 1, [](HeadSettings* s, const u32* w) { s->pointerSync = u8(w[0]); }},
    {bit(27), 1, [](HeadSettings* s, const u32* w) { s->pointerSampleRate = w[0] & 0xffff; }},
    {bit(28), 2, [](HeadSettings* s, const u32* w) { s->pointerZoomX = asFloat(w[0]), s->pointerZoomY = asFloat(w[1]); }},
    {bit(25), 1, [](HeadSettings* s, const u32* w) { s->wrapX = u8(w[0]); }},
    {bit(26), 1, [](HeadSettings* s, const u32* w) { s->wrapY = u8(w[0]); }},
    {bit(29), 1, [](HeadSettings* s, const u32* w) { s->input = u8(w[0]); }},
    {bit(30), 1, [](HeadSettings* s, const u32* w) { s->clickTransfer = u8(w[0]); }},
    {bit(21), 2, [](HeadSettings* s, const u32* w) { s->rotation = w[0], s->rotateWithoutPointer = u8(w[1]); }},
    {kHeadGivenMinimumTextSize, 1, [](HeadSettings* s, const u32* w) { s->minimumTextSize = asInt(w[0] & 0xffff); }},
    {kHeadGivenTags, 1, [](HeadSettings* s, const u32* w) { s->tags = w[0]; }},
};
static_assert(kHeadGivenKeyboardMapping == bit(20) && kHeadGivenRotation == bit(21));

constexpr u32 kHeadValueMask = 0x7fffffff;

// Reads the values of the mask; false (BadLength sent) when they run past
// the request. A string without its zero clears its bit and sets *text.
bool readHeadValues(u8* request, u32 length, u32* mask, HeadSettings* settings, const char** text) {
  u32 at = 12;
  for (const HeadValueRow& row : kHeadValueRows) {
    if (!(*mask & row.bit)) continue;
    if (u64{at} + 4u * row.words > length) {
      sendXError(BadLength, length, request, length, nullptr);
      return false;
    }
    u32 words[2] = {clientWord(request + at), row.words > 1 ? clientWord(request + at + 4) : 0};
    row.store(settings, words);
    at += 4u * row.words;
  }
  for (u32 stringBit : {kHeadGivenName, kHeadGivenKeyboardMapping}) {
    if (!(*mask & stringBit)) continue;
    const void* zero = at < length ? memchr(request + at, 0, length - at) : nullptr;
    if (!zero) {
      *mask &= ~stringBit;
      *text = tmpPrintf("Invalid string in %s", describeClientRequest(request));
      at = length;
      continue;
    }
    char* string = reinterpret_cast<char*>(request + at);
    (stringBit == kHeadGivenName ? settings->name : settings->keyboardMapping) = string;
    at += pad4(u32(static_cast<const u8*>(zero) - (request + at)) + 1);
  }
  return true;
}

}  // namespace

void ProcMetaSetHeadValues(u8* request, u32 length) {
  u32 id = get32(request + 4), mask = get32(request + 8) & kHeadValueMask;
  HeadSettings settings{};
  const char* stringText = nullptr;
  if (!readHeadValues(request, length, &mask, &settings, &stringText)) return;
  Head* head = findHead(id);
  if (!head) return sendMetaStatus(request, tmpPrintf("Unknown head 0x%x in %s", id, describeClientRequest(request)));
  if ((mask & kHeadGivenReference) && settings.relativeTo && !findHead(settings.relativeTo))
    return sendExtensionError(kPalvoBadHead, settings.relativeTo, request, length, nullptr);
  const char* text = applyScreenSettings(currentClient, head, mask, &settings);
  sendMetaStatus(request, text ? text : stringText);
}

// --- Servers ------------------------------------------------------------------------------

namespace {

const char* optionText(const char* option) {
  return tmpPrintf("%s option %s is used but not enabled - Make sure this option is enabled in your configuration",
                   getProductName(), option);
}

// The AddServer reply: the head ids, or the status and its text.
void sendAddServerReply(const u8* request, u8 status, const u32* ids, u32 count, const char* text) {
  u8 reply[32 + 1028] = {};
  u32 length = 32;
  reply[1] = status;
  if (text) {
    LOGF(logChWarning, "%s in MetaAddServer by %s", text, clientName(currentClient));
    u32 textLength = u32(strnlen(text, 1023));
    memcpy(reply + 32, text, textLength);
    put16(reply + 10, u16(textLength));
    length += pad4(textLength);
  } else {
    // A server has at most 255 screens.
    for (u32 k = 0; k < count; k++) put32(reply + 32 + 4 * k, ids[k]);
    put16(reply + 8, u16(count));
    length += 4 * count;
  }
  sendMetaReply(request, reply, length, text ? kMetaAddServerTextLayout : kMetaAddServerIdsLayout);
}

// A head made outside every meta screen is announced here: the head layer
// tells the clients only of heads on a screen.
void announceCreated(Head* head) {
  if (!head->metaScreen) sendMetaScreenEvent(head, nullptr, kMetaHeadCreated, 0);
}

}  // namespace

void ProcMetaAddServer(u8* request, u32 length) {
  if (!(proxyConfig.options & kOptionDynamicServer))
    return sendAddServerReply(request, kHeadStatusConfig, nullptr, 0, optionText("DynamicServer"));
  const char* name = reinterpret_cast<const char*>(request + 12);
  if (!memchr(name, 0, length - 12))
    return sendAddServerReply(request, kHeadStatusConfig, nullptr, 0,
                              tmpPrintf("Invalid name in %s", describeClientRequest(request)));
  // As the configuration's failsafeTimeout: a shorter one cannot open a
  // server reliably. 0 stands for the default.
  u16 offlineTimeoutMs = get16(request + 10);
  if (offlineTimeoutMs && offlineTimeoutMs < kMinFailsafeTimeoutMs)
    return sendAddServerReply(request, kHeadStatusConfig, nullptr, 0,
                              tmpPrintf("failsafeTimeout must be greater or equal than %ums", kMinFailsafeTimeoutMs));
  // Every look-up of the name, the connect and the first questions hold
  // the other clients up: together they are given the served bound.
  LookUpBound bound(servedOpeningDeadline());
  const char* canonical = canonicalDisplayName(name);
  if (!canonical && bound.gaveUp())
    return sendAddServerReply(request, kHeadStatusOffline, nullptr, 0, lookUpGivenUpText(name));
  if (!canonical)
    return sendAddServerReply(request, kHeadStatusConfig, nullptr, 0, tmpPrintf("Can't open display '%s'", name));
  char base[kDisplayNameMax];
  strCopy(base, canonical, sizeof base);
  HeadOpenRequest open{};
  open.border = -1;
  open.namedByClient = true;
  open.defencePriority = get16(request + 4);
  open.priority = get16(request + 8);
  open.offlineTimeoutMs = offlineTimeoutMs ? offlineTimeoutMs : 20000;
  char headName[kDisplayNameMax + 8];
  snprintf(headName, sizeof headName, "%s.0", base);
  open.name = headName;
  u32 status = 0;
  const char* error = nullptr;
  Head* first = initHead(open, &status, &error);
  if (!first) return sendAddServerReply(request, u8(status ? status : kHeadStatusConfig), nullptr, 0, error);
  announceCreated(first);
  u32 ids[256] = {first->id};
  u32 count = 1;
  bool complete = true;
  int screens = first->display ? ScreenCount(first->display) : 1;
  open.display = first->serverDisplay;
  for (int n = 1; n < screens && n < 256; n++) {
    snprintf(headName, sizeof headName, "%s.%d", base, n);
    Head* head = initHead(open, &status, &error);
    if (!head) {
      // The heads made so far stay; the client is told of none.
      LOGF(logChWarning, "%s in MetaAddServer by %s", error ? error : "", clientName(currentClient));
      complete = false;
      break;
    }
    announceCreated(head);
    ids[count++] = head->id;
  }
  sendAddServerReply(request, 0, ids, complete ? count : 0, nullptr);
}

void ProcMetaRemoveServer(u8* request, u32 length) {
  u32 nameLength = request[4];
  if (length != 8 + pad4(nameLength + 1)) return sendXError(BadLength, length, request, length, nullptr);
  const char* name = reinterpret_cast<const char*>(request + 8);
  if (!memchr(name, 0, length - 8))
    return sendMetaStatus(request, tmpPrintf("Invalid X display name in %s", describeClientRequest(request)));
  logStepf("Removing X server %s by %s", name, clientName(currentClient));
  LookUpBound bound(servedOpeningDeadline());
  const char* canonical = canonicalDisplayName(name);
  if (!canonical)
    return sendMetaStatus(request, bound.gaveUp() ? lookUpGivenUpText(name) : tmpPrintf("Can't open display '%s'", name));
  // Removing a server while clients run belongs to the run-time servers.
  sendMetaStatus(request, removeServer(canonical));
}

// --- Heads in windows ---------------------------------------------------------------------

void ProcMetaAddHead(u8* request, u32 length) {
  const char* text = nullptr;
  if (!(proxyConfig.options & kOptionInWindow)) text = optionText("InWindow");
  else if (!(proxyConfig.options & kOptionDynamicServer)) text = optionText("DynamicServer");
  const char* name = reinterpret_cast<const char*>(request + 16);
  if (!text && !memchr(name, 0, length - 16))
    text = tmpPrintf("Invalid name in %s", describeClientRequest(request));
  u32 status = kHeadStatusConfig;
  Head* head = nullptr;
  if (!text) {
    HeadOpenRequest open{};
    open.name = name;
    open.inWindow = true;
    open.namedByClient = true;
    open.border = -1;
    head = initHead(open, &status, &text);
  }
  if (head) {
    if (u32 parent = get32(request + 8)) head->inWindowParent = parent;
    u32 mask = 0;
    HeadSettings size{};
    if ((size.physicalWidth = get16(request + 4))) mask |= kHeadGivenPhysicalWidth;
    if ((size.physicalHeight = get16(request + 6))) mask |= kHeadGivenPhysicalHeight;
    if (mask) text = applyScreenSettings(currentClient, head, mask, &size);
    announceCreated(head);
    status = 0;
  }
  u8 reply[32 + 1028] = {};
  u32 textLength = text ? u32(strnlen(text, 1023)) + 1 : 0;
  if (text) {
    LOGF(logChWarning, "%s in MetaAddHead by %s", text, clientName(currentClient));
    memcpy(reply + 32, text, textLength - 1);
  }
  reply[1] = u8(head ? 0 : status);
  put32(reply + 8, head ? head->id : 0);
  put16(reply + 12, u16(textLength));
  sendMetaReply(request, reply, 32 + pad4(textLength), "bbsiis");
}

void ProcMetaRemoveHead(u8* request, u32) {
  u32 id = get32(request + 4);
  Head* head = findHead(id);
  if (!head) return sendMetaStatus(request, tmpPrintf("Unknown head #%u in %s", id, describeClientRequest(request)));
  if (!head->inWindow) return sendMetaStatus(request, tmpPrintf("Can't remove head #%u (not InWindow)", id));
  sendMetaStatus(request, removeServerFromScreen(head, false));
}

}  // namespace palvon
