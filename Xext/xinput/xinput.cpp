// XInputExtension, forwarded to the input server.
#include "Xext/xinput/xinput.h"

#include <X11/X.h>

#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/requests/input.h"
#include "Proxy/requests/server.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/sync/clocks.h"
#include "Xext/extmodule.h"
#include "xsupport/misc.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

u8 renumberEventCode(u8 code, const ExtensionCodeMap* codes, bool toServer) {
  if (!codes) return code;
  u8 plain = code & 0x7f;
  u8 mapped = toServer ? codes->eventToServer[plain] : codes->eventFromServer[plain];
  return mapped ? u8((code & 0x80) | (mapped & 0x7f)) : code;
}

void renumberEventClasses(u8* classes, const u8* end, u32 count, const ExtensionCodeMap* codes, bool toServer) {
  if (!codes) return;
  for (u32 k = 0; k < count && classes + 4 * (k + 1) <= end; k++) {
    u8* word = classes + 4 * k;
    u32 value = get32(word);
    // Event codes stop at 127; a larger byte names no event of ours.
    if (value & 0x80) continue;
    u8 code = renumberEventCode(u8(value & 0xff), codes, toServer);
    put32(word, (value & ~0xffu) | code);
  }
}

namespace {

constexpr u32 kEventCount = 18;
constexpr u8 kGetExtensionVersion = 1, kOpenDevice = 3, kSelectExtensionEvent = 6, kGetSelectedExtensionEvents = 7,
             kChangeDontPropagateList = 8, kGetDontPropagateList = 9, kGetDeviceMotionEvents = 10, kGrabDevice = 13,
             kGrabDeviceKey = 15, kGrabDeviceButton = 17, kGetDeviceFocus = 20, kSendExtensionEvent = 31,
             kChangeCursor = 42, kQueryVersion = 47;

// The name a testing tool gives itself; it is told 2.0 so that it runs its
// XI2 checks against the proxy.
constexpr const char kVersionTwoClient[] = "xtalvetool";

const ExtensionCodeMap* linkCodes(const ServerLink* link) { return link ? link->server.codes : nullptr; }

// The code map of the server whose copy of a SendExtensionEvent is being
// written (null: the proxy's numbering).
const ExtensionCodeMap* sendingCodes;

// The layout of an event inside SendExtensionEvent: arriving, its code is
// the proxy's; leaving, the server's the copy is written for.
LayoutString sentEventLayout(const u8* event, bool arriving) {
  u8 probe[32];
  std::memcpy(probe, event, sizeof probe);
  if (!arriving) probe[0] = renumberEventCode(probe[0], sendingCodes, false);
  return eventLayoutOf(probe);
}

// --- Requests ------------------------------------------------------------------------------

// The fields of a request that name the client's ids or meta times, and
// where its event classes are; 0 = none.
struct Fields {
  u8 window, window2, cursor, time, time2;
  u8 classCount;  // offset of the 16-bit class count
  u8 classes;     // offset of the first class (SendExtensionEvent: after its events)
};

Fields fieldsOf(u8 minor) {
  switch (minor) {
    case kSelectExtensionEvent: return {4, 0, 0, 0, 0, 8, 12};
    case kGetSelectedExtensionEvents: return {4, 0, 0, 0, 0, 0, 0};
    case kChangeDontPropagateList: return {4, 0, 0, 0, 0, 8, 12};
    case kGetDontPropagateList: return {4, 0, 0, 0, 0, 0, 0};
    case kGetDeviceMotionEvents: return {0, 0, 0, 4, 8, 0, 0};
    case kGrabDevice: return {4, 0, 0, 8, 0, 12, 20};
    case 14: return {0, 0, 0, 4, 0, 0, 0};  // UngrabDevice
    case kGrabDeviceKey: return {4, 0, 0, 0, 0, 8, 20};
    case 16: return {4, 0, 0, 0, 0, 0, 0};  // UngrabDeviceKey
    case kGrabDeviceButton: return {4, 0, 0, 0, 0, 10, 20};
    case 18: return {4, 0, 0, 0, 0, 0, 0};  // UngrabDeviceButton
    case 19: return {0, 0, 0, 4, 0, 0, 0};  // AllowDeviceEvents
    case 21: return {4, 0, 0, 8, 0, 0, 0};  // SetDeviceFocus
    case kSendExtensionEvent: return {4, 0, 0, 0, 0, 10, 16};
    case 41: return {4, 8, 0, 0, 0, 0, 0};  // WarpPointer
    case kChangeCursor: return {4, 0, 8, 0, 0, 0, 0};
    default: return {};
  }
}

// Window values below this are None, PointerRoot and the like.
constexpr u32 kFirstRealId = 4;

void putWindow(u8* copy, u8 at, u32 type, const Head* head) {
  if (!at) return;
  u32 id = get32(copy + at);
  if (id >= kFirstRealId) put32(copy + at, translateXid(id, type, head));
}

void putTime(u8* copy, u8 at, const Head* head) {
  if (at) put32(copy + at, metaToServerTimestamp(get32(copy + at), head));
}

void rewriteForInputServer(u8* copy, u32 length, const RouteTarget& target, void* argument) {
  const Fields& f = *static_cast<const Fields*>(argument);
  putWindow(copy, f.window, RT_WINDOW, target.head);
  putWindow(copy, f.window2, RT_WINDOW, target.head);
  putWindow(copy, f.cursor, RT_CURSOR, target.head);
  putTime(copy, f.time, target.head);
  putTime(copy, f.time2, target.head);
  if (!f.classCount) return;
  const ExtensionCodeMap* codes = linkCodes(target.link);
  const u8* end = copy + length;
  u32 count = get16(copy + f.classCount);
  u32 classes = f.classes;
  if (copy[1] == kSendExtensionEvent) {
    // The events travel first, each under its code; the classes follow.
    u32 events = copy[12];
    for (u32 k = 0; k < events && 16 + 32 * (k + 1) <= length; k++)
      copy[16 + 32 * k] = renumberEventCode(copy[16 + 32 * k], codes, true);
    classes = 16 + 32 * events;
    // The copy is swapped for this server right after this rewrite; its
    // events' layouts are found through this server's numbering.
    sendingCodes = codes;
  }
  if (classes < length) renumberEventClasses(copy + classes, end, count, codes, true);
}

// DeviceFocusIn and DeviceFocusOut in the proxy's numbering, 0 when the
// module is not registered.
constexpr u8 kDeviceFocusIn = 6, kDeviceFocusOut = 7;
u8 xinputEvent(u8 offset) {
  const ExtensionEntry* entry = moduleEntry(kModuleXInput);
  return entry && entry->firstEvent ? u8(entry->firstEvent + offset) : 0;
}

// A selection on the meta root goes to the head's copy of the root, below
// the server's real root; a device's focus changes to and from PointerRoot
// and None come to the real root only, so its focus classes are selected
// there as well.
void selectFocusOnRealRoot(const u8* request, u32 length) {
  MetaScreen* screen = findMetaScreenByRoot(get32(request + 4));
  Head* head = inputControlHead();
  u8 in = xinputEvent(kDeviceFocusIn), out = xinputEvent(kDeviceFocusOut);
  if (!screen || !head || head->metaScreen != screen || !in) return;
  ServerLink* link = clientLink(currentClient, head->serverIndex);
  if (!link) return;
  constexpr u32 kMostClasses = 256;
  u8 classes[4 * kMostClasses];
  u32 count = 0;
  for (u32 k = 0, given = get16(request + 8); k < given && 12 + 4 * (k + 1) <= length && count < kMostClasses; k++) {
    u32 value = get32(request + 12 + 4 * k);
    if ((value & 0xff) == in || (value & 0xff) == out) put32(classes + 4 * count++, value);
  }
  renumberEventClasses(classes, classes + 4 * count, count, linkCodes(link), true);
  u32 size = 12 + 4 * count;
  u8 marking = link->writingProxyCopies;
  link->writingProxyCopies = 1;
  if (u8* copy = beginRequest(&link->writer, request[0], kSelectExtensionEvent, size)) {
    put32(copy + 4, u32(head->root));
    put16(copy + 8, u16(count));
    put16(copy + 10, 0);
    std::memcpy(copy + 12, classes, 4 * count);
    finishWriterRequest(&link->writer, copy, size, "bbsissI");
  }
  link->writingProxyCopies = marking;
}

void ProcXInputTranslated(u8* request, u32 length) {
  Fields fields = fieldsOf(request[1]);
  if (request[1] == kChangeCursor) setRequestResource(currentClient, get32(request + 4));
  if (!firstTargetLink(Route::kInputHead)) return forwardOrAnswer(request, length);
  forwardRequest(request, length, rewriteForInputServer, &fields);
  sendingCodes = nullptr;
  if (request[1] == kSelectExtensionEvent) selectFocusOnRealRoot(request, length);
}

// --- Replies -------------------------------------------------------------------------------

void ReplyGetExtensionVersion(u8* reply, u32 length) {
  ProxyClient* client = currentClient;
  if (client && std::strcmp(client->programName, kVersionTwoClient) == 0 && length >= 12) {
    put16(reply + 8, 2);
    put16(reply + 10, 0);
    return sendReplyToClient(reply, length, "bbsiss");
  }
  sendVersionReply(reply, length, kModuleXInput, "bbsiss");
}

// A client told the server's XI2 version would send XI2 requests the proxy
// does not offer: it is told the version the proxy offers.
void ReplyQueryVersion(u8* reply, u32 length) { sendVersionReply(reply, length, kModuleXInput, "bbsiss"); }

// Each class record is {class, event-type base}: the bases become the
// proxy's codes.
void ReplyOpenDevice(u8* reply, u32 length) {
  const ExtensionCodeMap* codes = linkCodes(currentLink);
  u32 count = length > 8 ? reply[8] : 0;
  for (u32 k = 0; k < count && 32 + 2 * k + 2 <= length; k++) {
    u8* base = reply + 32 + 2 * k + 1;
    *base = renumberEventCode(*base, codes, false);
  }
  sendReplyToClient(reply, length, "bbsi");
}

void ReplyGetSelectedExtensionEvents(u8* reply, u32 length) {
  if (length >= 32) {
    u32 count = u32(get16(reply + 8)) + get16(reply + 10);
    renumberEventClasses(reply + 32, reply + length, count, linkCodes(currentLink), false);
  }
  sendReplyToClient(reply, length, "bbsissI");
}

void ReplyGetDontPropagateList(u8* reply, u32 length) {
  if (length >= 32) renumberEventClasses(reply + 32, reply + length, get16(reply + 8), linkCodes(currentLink), false);
  sendReplyToClient(reply, length, "bbsisbbI");
}

// Records of {time, axes x 32 bits}: the times become meta times.
void ReplyGetDeviceMotionEvents(u8* reply, u32 length) {
  const ServerDisplay* server = currentLink ? currentLink->server.display : nullptr;
  if (length >= 32 && server) {
    u64 count = get32(reply + 8), step = 4 * (u64{reply[12]} + 1);
    for (u64 k = 0, at = 32; k < count && at + 4 <= length; k++, at += step)
      put32(reply + at, translateServerTimestamp(get32(reply + at), server));
  }
  sendReplyToClient(reply, length, "bbsiibbsI");
}

void ReplyGetDeviceFocus(u8* reply, u32 length) {
  const ServerDisplay* server = currentLink ? currentLink->server.display : nullptr;
  if (length >= 16 && server) {
    u32 focus = get32(reply + 8);
    if (focus >= kFirstRealId) put32(reply + 8, mapServerXidToClient(focus, server));
    put32(reply + 12, translateServerTimestamp(get32(reply + 12), server));
  }
  sendReplyToClient(reply, length, "bbsiii");
}

LayoutString changePropertyLayout(const u8* request, u32 length) {
  u8 format = length > 13 ? request[13] : 0;
  return format == 32 ? "bbsiibbbbiI" : format == 16 ? "bbsiibbbbiS" : "bbsiibbbbi";
}

LayoutString getPropertyReplyLayout(const u8* reply, u32 length) {
  u8 format = length > 20 ? reply[20] : 0;
  return format == 32 ? "bbsiiiibbsI" : format == 16 ? "bbsiiiibbsS" : "bbsiiiibbs";
}

void lostXInputServer(ProxyClient* client, u64 sequence, u8 minor, u16 key) {
  if (minor == kGetExtensionVersion || minor == kQueryVersion)
    return composeVersionReply(client, sequence, key, kModuleXInput);
  composeImplementationError(client, sequence, key);
}

// --- Events --------------------------------------------------------------------------------

void recordAndSend(u8* event, LayoutString layout) {
  ProxyClient* client = currentLink ? currentLink->client : currentClient;
  if (client && client->recording && serviceHooks.recordEvent) serviceHooks.recordEvent(client, event);
  sendEventToClient(event, layout, 0);
}

bool synthetic(const u8* event) { return event[0] & 0x80; }
const ServerDisplay* eventServer() { return currentLink ? currentLink->server.display : nullptr; }

void putEventTime(u8* event, u32 at) {
  if (const ServerDisplay* server = eventServer()) put32(event + at, translateServerTimestamp(get32(event + at), server));
}

constexpr LayoutString kDeviceEventLayout = "bbsiiiisssss";

void EventXIDevice(u8* event) {
  if (!synthetic(event) && !translateDeviceEvent(event)) return;
  recordAndSend(event, kDeviceEventLayout);
}

// A device's focus change as the client's root would see it on one server:
// the real root speaks only of PointerRoot and None, the head's copy of the
// root of the rest, less what a plain server's root is not told (the
// pointer's way when the pointer is in a child, virtual crossings in).
bool translateDeviceFocus(u8* event) {
  const ServerDisplay* server = eventServer();
  u32 window = get32(event + 8);
  if (window < kFirstRealId || !server) return true;
  u8 detail = event[1];
  if (const Head* head = findHeadByRoot(server->display, window)) {
    if ((detail != NotifyPointerRoot && detail != NotifyDetailNone) || !head->metaScreen) return false;
    put32(event + 8, head->metaScreen->rootId);
    return true;
  }
  window = mapServerXidToClient(window, server);
  put32(event + 8, window);
  MetaScreen* screen = findMetaScreenByRoot(window);
  if (!screen) return true;
  if (detail == NotifyPointer) {
    const Head* holder = pointerHead();
    return holder && holder->metaScreen == screen &&
           pointerWindowAt(screen, inputState.pointerX, inputState.pointerY) == screen->rootWindow;
  }
  bool in = (event[0] & 0x7f) == xinputEvent(kDeviceFocusIn);
  return !(in && (detail == NotifyVirtual || detail == NotifyNonlinearVirtual));
}

void EventXIFocus(u8* event) {
  if (!synthetic(event)) {
    putEventTime(event, 4);
    if (!translateDeviceFocus(event)) return;
  }
  recordAndSend(event, "bbsii");
}

void EventXIPlain(u8* event) { recordAndSend(event, eventLayoutOf(event)); }

void EventXITimeAt4(u8* event) {
  if (!synthetic(event)) putEventTime(event, 4);
  recordAndSend(event, eventLayoutOf(event));
}

void EventXIMapping(u8* event) {
  if (!synthetic(event)) putEventTime(event, 8);
  recordAndSend(event, "bbsbbbbi");
}

// --- Rows ----------------------------------------------------------------------------------

constexpr Route kIn = Route::kInputHead;
#define XI_PLAIN(minor, name, reqLayout, replyLayout, size) \
  {minor, name, forwardOrAnswer, nullptr, reqLayout, replyLayout, size, kIn}
#define XI_IDS(minor, name, reqLayout, reply, replyLayout, size) \
  {minor, name, ProcXInputTranslated, reply, reqLayout, replyLayout, size, kIn}

constexpr RequestRow kRequests[] = {
    {kGetExtensionVersion, "XIGetExtensionVersion", forwardOrAnswer, ReplyGetExtensionVersion, "bbss", "bbsiss",
     countedSize(8, 4, 2, 8), kIn},
    XI_PLAIN(2, "XIListInputDevices", "bbs", "H3", exactSize(4)),
    {kOpenDevice, "XIOpenDevice", forwardOrAnswer, ReplyOpenDevice, "bbs", "bbsi", exactSize(8), kIn},
    XI_PLAIN(4, "XICloseDevice", "bbs", nullptr, exactSize(8)),
    XI_PLAIN(5, "XISetDeviceMode", "bbs", "bbsi", exactSize(8)),
    XI_IDS(kSelectExtensionEvent, "XISelectExtensionEvent", "bbsissI", nullptr, nullptr, countedSize(12, 8, 2, 32)),
    XI_IDS(kGetSelectedExtensionEvents, "XIGetSelectedExtensionEvents", "bbsi", ReplyGetSelectedExtensionEvents,
           "bbsissI", exactSize(8)),
    XI_IDS(kChangeDontPropagateList, "XIChangeDeviceDontPropagateList", "bbsisbbI", nullptr, nullptr,
           countedSize(12, 8, 2, 32)),
    XI_IDS(kGetDontPropagateList, "XIGetDeviceDontPropagateList", "bbsi", ReplyGetDontPropagateList, "bbsisbbI",
           exactSize(8)),
    XI_IDS(kGetDeviceMotionEvents, "XIGetDeviceMotionEvents", "bbsii", ReplyGetDeviceMotionEvents, "bbsiibbsI",
           exactSize(16)),
    XI_PLAIN(11, "XIChangeKeyboardDevice", "bbs", "bbsi", exactSize(8)),
    XI_PLAIN(12, "XIChangePointerDevice", "bbs", "bbsi", exactSize(8)),
    XI_IDS(kGrabDevice, "XIGrabDevice", "bbsiisbbbbsI", nullptr, "bbsi", atLeastSize(20)),
    XI_IDS(14, "XIUngrabDevice", "bbsi", nullptr, nullptr, exactSize(12)),
    XI_IDS(kGrabDeviceKey, "XIGrabDeviceKey", "bbsissbbbbbbbbI", nullptr, nullptr, atLeastSize(20)),
    XI_IDS(16, "XIUngrabDeviceKey", "bbsis", nullptr, nullptr, exactSize(16)),
    XI_IDS(kGrabDeviceButton, "XIGrabDeviceButton", "bbsibbssbbbbbbI", nullptr, nullptr, atLeastSize(20)),
    XI_IDS(18, "XIUngrabDeviceButton", "bbsis", nullptr, nullptr, exactSize(16)),
    XI_IDS(19, "XIAllowDeviceEvents", "bbsi", nullptr, nullptr, exactSize(12)),
    {kGetDeviceFocus, "XIGetDeviceFocus", forwardOrAnswer, ReplyGetDeviceFocus, "bbs", "bbsiii", exactSize(8), kIn},
    XI_IDS(21, "XISetDeviceFocus", "bbsii", nullptr, nullptr, exactSize(16)),
    XI_PLAIN(22, "XIGetFeedbackControl", "bbs", "H70", exactSize(8)),
    XI_PLAIN(23, "XIChangeFeedbackControl", "bbsi", nullptr, atLeastSize(12)),
    XI_PLAIN(24, "XIGetDeviceKeyMapping", "bbs", "bbsibbbbI", exactSize(8)),
    XI_PLAIN(25, "XIChangeDeviceKeyMapping", "bbsbbbbI", nullptr, atLeastSize(8)),
    XI_PLAIN(26, "XIGetDeviceModifierMapping", "bbs", "bbsi", exactSize(8)),
    XI_PLAIN(27, "XISetDeviceModifierMapping", "bbs", "bbsi", countedSize(8, 5, 1, 64)),
    XI_PLAIN(28, "XIGetDeviceButtonMapping", "bbs", "bbsi", exactSize(8)),
    XI_PLAIN(29, "XISetDeviceButtonMapping", "bbs", "bbsi", atLeastSize(8)),
    XI_PLAIN(30, "XIQueryDeviceState", "bbs", "H71", exactSize(8)),
    XI_IDS(kSendExtensionEvent, "XISendExtensionEvent", "H72", nullptr, nullptr, atLeastSize(16)),
    XI_PLAIN(32, "XIDeviceBell", "bbs", nullptr, exactSize(8)),
    XI_PLAIN(33, "XISetDeviceValuators", "bbsbbbbI", "bbsi", atLeastSize(8)),
    XI_PLAIN(34, "XIGetDeviceControl", "bbss", "bbsibbbbiiiiissI", exactSize(8)),
    XI_PLAIN(35, "XIChangeDeviceControl", "bbssbbssbbbbI", "bbsi", atLeastSize(8)),
    XI_IDS(41, "XIWarpPointer", "bbsiiiissiis", nullptr, nullptr, exactSize(36)),
    XI_IDS(kChangeCursor, "XIChangeCursor", "bbsiis", nullptr, nullptr, exactSize(16)),
    XI_PLAIN(43, "XIChangeHierarchy", "H99", nullptr, atLeastSize(8)),
    {kQueryVersion, "XIQueryVersion", forwardOrAnswer, ReplyQueryVersion, "bbsss", "bbsiss", exactSize(8), kIn},
};

// The device-property requests, offered from version 1.5 on.
constexpr RequestRow kPropertyRequests[] = {
    XI_PLAIN(36, "XIListDeviceProperties", "bbs", "bbsissI", exactSize(8)),
    {37, "XIChangeDeviceProperty", forwardOrAnswer, nullptr, "bbsiibbbbi", nullptr, atLeastSize(20), kIn,
     changePropertyLayout},
    XI_PLAIN(38, "XIDeleteDeviceProperty", "bbsi", nullptr, exactSize(12)),
    {39, "XIGetDeviceProperty", forwardOrAnswer, nullptr, "bbsiiii", "bbsiiiibbs", exactSize(24), kIn, nullptr,
     getPropertyReplyLayout},
};

#undef XI_PLAIN
#undef XI_IDS

// A device event's key, button, motion and proximity carry a valuator
// state: 12 bytes of counts and bits, then three 32-bit valuators.
constexpr EventRow kEvents[] = {
    {0, "DeviceValuator", EventXIPlain, "bbssbbI"},
    {1, "DeviceKeyPress", EventXIDevice, kDeviceEventLayout},
    {2, "DeviceKeyRelease", EventXIDevice, kDeviceEventLayout},
    {3, "DeviceButtonPress", EventXIDevice, kDeviceEventLayout},
    {4, "DeviceButtonRelease", EventXIDevice, kDeviceEventLayout},
    {5, "DeviceMotionNotify", EventXIDevice, kDeviceEventLayout},
    {6, "DeviceFocusIn", EventXIFocus, "bbsii"},
    {7, "DeviceFocusOut", EventXIFocus, "bbsii"},
    {8, "ProximityIn", EventXIDevice, kDeviceEventLayout},
    {9, "ProximityOut", EventXIDevice, kDeviceEventLayout},
    {10, "DeviceStateNotify", EventXIPlain, "bbsibbbbbbbbbbbbiii"},
    {11, "DeviceMappingNotify", EventXIMapping, "bbsbbbbi"},
    {12, "ChangeDeviceNotify", EventXITimeAt4, "bbsi"},
    {13, "DeviceKeyStateNotify", EventXIPlain, "bbs"},
    {14, "DeviceButtonStateNotify", EventXIPlain, "bbs"},
    {15, "DevicePresenceNotify", EventXITimeAt4, "bbsibbs"},
    {16, "DevicePropertyNotify", EventXITimeAt4, "bbsii"},
};

constexpr ErrorRow kErrors[] = {
    {0, "XIBadDevice", nullptr, ErrorValue::kText}, {1, "XIBadEvent", nullptr, ErrorValue::kText},
    {2, "XIBadMode", nullptr, ErrorValue::kText},   {3, "XIDeviceBusy", nullptr, ErrorValue::kText},
    {4, "XIBadClass", nullptr, ErrorValue::kText},
};

constexpr u32 kVersion14 = 68, kVersion15 = 69;

// The rows the offered version allows: everything up to 1.3, presence
// from 1.4, properties from 1.5.
struct OfferedRows {
  RequestRow requests[rowCount(kRequests) + rowCount(kPropertyRequests)];
  u32 requestCount;
  EventRow events[kEventCount];
};

OfferedRows offeredRows;

}  // namespace

const char* initXInputExtension(ExtensionEntry* entry) {
  u16 version = entry->version ? entry->version : kVersion15;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (!server->display) continue;
    u32 serverVersion = xrcInputVersion(server->display);
    if (!serverVersion)
      return tmpPrintf("Display %s does not support extension %s", xShortDisplayName(server->display),
                       "XInputExtension");
    if (serverVersion < version) version = u16(serverVersion);
  }
  entry->version = version;
  embeddedEventLayout = sentEventLayout;
  OfferedRows& rows = offeredRows;
  rows.requestCount = 0;
  for (const RequestRow& row : kRequests) rows.requests[rows.requestCount++] = row;
  if (version >= kVersion15)
    for (const RequestRow& row : kPropertyRequests) rows.requests[rows.requestCount++] = row;
  // All 18 codes are registered whatever the version, so that the codes
  // line up with the servers' numbering; those the version lacks have no
  // handler of this module.
  u32 offered = version >= kVersion15 ? 17 : version >= kVersion14 ? 16 : 15;
  for (u32 k = 0; k < kEventCount; k++) {
    if (k < offered) rows.events[k] = kEvents[k];
    else rows.events[k] = {u8(k), "XIUnoffered", handleUnsupportedEvent, "bbs"};
  }
  return registerModule(entry, "XInputExtension",
                        {rows.requests, rows.requestCount, rows.events, kEventCount, kErrors, rowCount(kErrors)},
                        {kModuleXInput, lostXInputServer, nullptr, false});
}

}  // namespace palvon
