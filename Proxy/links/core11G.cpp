// Core request writers, proxy-made replies and events, the connection set-up
// towards a server and set-up refusals towards a client.
#include "Proxy/links/core11G.h"

#include <X11/X.h>
#include <X11/Xproto.h>

#include <cstring>
#include <initializer_list>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/failsafe.h"
#include "Xext/swap/byteswap.h"
#include "base/logging.h"
#include "xsupport/xtarget.h"

namespace palvon {

namespace {

// The workaround word that keeps the keysym columns of GetKeyboardMapping
// as the server gave them.
constexpr u32 kWorkaroundNoNoXKB = 0x4000;

void writeIds(u8* p, std::initializer_list<u32> ids) {
  for (u32 id : ids) {
    put32(p, id);
    p += 4;
  }
}

void writeShorts(u8* p, std::initializer_list<u16> values) {
  for (u16 v : values) {
    put16(p, v);
    p += 2;
  }
}

// The link's writer: the one request-writer family (writers.h).
RequestWriter* writerOf(ServerLink* link) { return &link->writer; }

u8* begin(ServerLink* link, u8 major, u8 data, u32 length) { return beginRequest(writerOf(link), major, data, length); }
void finish(ServerLink* link, u8* p, u32 length, u8 major, u8 data = 0) {
  finishRequest(writerOf(link), p, length, major, data);
}

void bareRequest(ServerLink* link, u8 major) {
  if (u8* p = begin(link, major, 0, 4)) finish(link, p, 4, major);
}

void timeRequest(ServerLink* link, u8 major) {
  u8* p = begin(link, major, 0, 8);
  if (!p) return;
  put32(p + 4, 0);  // CurrentTime
  finish(link, p, 8, major);
}

void configure(ServerLink* link, u32 window, u16 mask, std::initializer_list<u32> values) {
  u32 length = 12 + 4 * static_cast<u32>(values.size());
  u8* p = begin(link, X_ConfigureWindow, 0, length);
  if (!p) return;
  put32(p + 4, window);
  put16(p + 8, mask);
  put16(p + 10, 0);
  writeIds(p + 12, values);
  finish(link, p, length, X_ConfigureWindow);
}

void changeWindowAttribute(ServerLink* link, u32 window, u32 mask, u32 value) {
  u8* p = begin(link, X_ChangeWindowAttributes, 0, 16);
  if (!p) return;
  writeIds(p + 4, {window, mask, value});
  finish(link, p, 16, X_ChangeWindowAttributes);
}

// A reply buffer of 32 bytes with the type and the client's sequence.
void replyHeader(u8* reply, u8 data, u16 sequence) {
  std::memset(reply, 0, 32);
  reply[0] = 1;
  reply[1] = data;
  put16(reply + 2, sequence);
}

u16 currentSequence(const ProxyClient* client) { return static_cast<u16>(client->requestCounter); }

// The writers here take the sequence they answer (a lost server's pending
// requests are answered after later ones were read).
void composedReply(ProxyClient* client, u8 major, u8* reply, u32 length) {
  sendComposedReplyAt(get16(reply + 2), reply, length, replyLayoutOf(&coreRequestRow(major), reply, length), client);
}

// A reply with data behind its 32 bytes, padded to 4, in scratch memory
// (body may be null: the caller fills it); null when none could be had.
u8* beginDataReply(u8 data, u16 sequence, const void* body, u32 bodyLength, u32* length) {
  *length = 32 + pad4(bodyLength);
  auto* reply = static_cast<u8*>(scratchAlloc(*length));
  if (!reply) return nullptr;
  replyHeader(reply, data, sequence);
  if (body) std::memcpy(reply + 32, body, bodyLength);
  std::memset(reply + 32 + bodyLength, 0, *length - 32 - bodyLength);
  return reply;
}

void endDataReply(ProxyClient* client, u8 major, u8* reply, u32 length) {
  composedReply(client, major, reply, length);
  scratchFree(reply);
}

}  // namespace

// --- Requests on a link ----------------------------------------------------

void requestCopyPlane(ServerLink* link, u32 source, u32 destination, u32 gc, i16 sourceX, i16 sourceY,
                      i16 destinationX, i16 destinationY, u16 width, u16 height, u32 bitPlane) {
  u8* p = begin(link, X_CopyPlane, 0, 32);
  if (!p) return;
  writeIds(p + 4, {source, destination, gc});
  writeShorts(p + 16, {static_cast<u16>(sourceX), static_cast<u16>(sourceY), static_cast<u16>(destinationX),
                       static_cast<u16>(destinationY), width, height});
  put32(p + 28, bitPlane);
  finish(link, p, 32, X_CopyPlane, 0);
}

void requestGetKeyboardMapping(ServerLink* link, u8 firstKeycode, u8 count) {
  u8* p = begin(link, X_GetKeyboardMapping, 0, 8);
  if (!p) return;
  p[4] = firstKeycode;
  p[5] = count;
  p[6] = p[7] = 0;
  finish(link, p, 8, X_GetKeyboardMapping, 0);
}

void requestGrabButton(ServerLink* link, u8 ownerEvents, u32 window, u16 eventMask, u8 pointerMode,
                       u8 keyboardMode, u32 confineTo, u32 cursor, u8 button, u16 modifiers) {
  u8* p = begin(link, X_GrabButton, ownerEvents, 24);
  if (!p) return;
  put32(p + 4, window);
  put16(p + 8, eventMask);
  p[10] = pointerMode;
  p[11] = keyboardMode;
  writeIds(p + 12, {confineTo, cursor});
  p[20] = button;
  p[21] = 0;
  put16(p + 22, modifiers);
  finish(link, p, 24, X_GrabButton, ownerEvents);
}

void requestGrabKey(ServerLink* link, u8 ownerEvents, u32 window, u16 modifiers, u8 key, u8 pointerMode,
                    u8 keyboardMode) {
  u8* p = begin(link, X_GrabKey, ownerEvents, 16);
  if (!p) return;
  put32(p + 4, window);
  put16(p + 8, modifiers);
  p[10] = key;
  p[11] = pointerMode;
  p[12] = keyboardMode;
  p[13] = p[14] = p[15] = 0;
  finish(link, p, 16, X_GrabKey, ownerEvents);
}

void requestGrabKeyboard(ServerLink* link, u8 ownerEvents, u32 window, u8 pointerMode, u8 keyboardMode) {
  u8* p = begin(link, X_GrabKeyboard, ownerEvents, 16);
  if (!p) return;
  writeIds(p + 4, {window, 0});
  p[12] = pointerMode;
  p[13] = keyboardMode;
  p[14] = p[15] = 0;
  finish(link, p, 16, X_GrabKeyboard, ownerEvents);
}

bool requestGrabServer(ServerLink* link) {
  u8* p = begin(link, X_GrabServer, 0, 4);
  if (!p) return false;
  finish(link, p, 4, X_GrabServer, 0);
  return true;
}

static void imageText(ServerLink* link, u8 major, u32 drawable, u32 gc, i16 x, i16 y, const void* text, u8 count,
                      u32 bytes) {
  u32 length = 16 + pad4(bytes);
  u8* p = begin(link, major, count, length);
  if (!p) return;
  writeIds(p + 4, {drawable, gc});
  writeShorts(p + 12, {static_cast<u16>(x), static_cast<u16>(y)});
  std::memcpy(p + 16, text, bytes);
  std::memset(p + 16 + bytes, 0, length - 16 - bytes);
  // The characters themselves are byte pairs, not 16-bit numbers: the
  // layout stops before them.
  finish(link, p, 16, major, count);
}

void requestImageText8(ServerLink* link, u32 drawable, u32 gc, i16 x, i16 y, const char* text, u8 length) {
  imageText(link, X_ImageText8, drawable, gc, x, y, text, length, length);
}

void requestImageText16(ServerLink* link, u32 drawable, u32 gc, i16 x, i16 y, const XChar2b* text, u8 count) {
  imageText(link, X_ImageText16, drawable, gc, x, y, text, count, 2u * count);
}

void requestMoveResizeWindow(ServerLink* link, u32 window, i16 x, i16 y, u16 width, u16 height) {
  configure(link, window, 15, {static_cast<u32>(static_cast<i32>(x)), static_cast<u32>(static_cast<i32>(y)), width,
                               height});
}

void requestMoveWindow(ServerLink* link, u32 window, i16 x, i16 y) {
  configure(link, window, 3, {static_cast<u32>(static_cast<i32>(x)), static_cast<u32>(static_cast<i32>(y))});
}

void requestNoOperation(ServerLink* link) { bareRequest(link, X_NoOperation); }

void requestPolyFillRectangle(ServerLink* link, u32 drawable, u32 gc, i16 x, i16 y, u16 width, u16 height) {
  u8* p = begin(link, X_PolyFillRectangle, 0, 20);
  if (!p) return;
  writeIds(p + 4, {drawable, gc});
  writeShorts(p + 12, {static_cast<u16>(x), static_cast<u16>(y), width, height});
  finish(link, p, 20, X_PolyFillRectangle, 0);
}

void requestSetWindowBackground(ServerLink* link, u32 window, u32 pixel) { changeWindowAttribute(link, window, 2, pixel); }

void requestSetWindowBackgroundPixmap(ServerLink* link, u32 window, u32 pixmap) {
  changeWindowAttribute(link, window, 1, pixmap);
}

// UngrabButton and UngrabKey: the button or key travels as the data byte.
static void ungrabInput(ServerLink* link, u8 major, u8 detail, u32 window, u16 modifiers) {
  u8* p = begin(link, major, detail, 12);
  if (!p) return;
  put32(p + 4, window);
  put16(p + 8, modifiers);
  put16(p + 10, 0);
  finish(link, p, 12, major, detail);
}

void requestUngrabButton(ServerLink* link, u8 button, u32 window, u16 modifiers) {
  ungrabInput(link, X_UngrabButton, button, window, modifiers);
}

void requestUngrabKey(ServerLink* link, u8 key, u32 window, u16 modifiers) {
  ungrabInput(link, X_UngrabKey, key, window, modifiers);
}

void requestGrabPointer(ServerLink* link, u8 ownerEvents, u32 window, u16 eventMask, u8 pointerMode,
                        u8 keyboardMode, u32 confineTo, u32 cursor) {
  u8* p = begin(link, X_GrabPointer, ownerEvents, 24);
  if (!p) return;
  put32(p + 4, window);
  put16(p + 8, eventMask);
  p[10] = pointerMode;
  p[11] = keyboardMode;
  writeIds(p + 12, {confineTo, cursor, 0});
  finish(link, p, 24, X_GrabPointer, ownerEvents);
}

void requestSetInputFocus(ServerLink* link, u8 revertTo, u32 focus) {
  u8* p = begin(link, X_SetInputFocus, revertTo, 12);
  if (!p) return;
  writeIds(p + 4, {focus, 0});
  finish(link, p, 12, X_SetInputFocus, revertTo);
}

const char* requestUngrabServer(ServerLink* link) {
  u8* p = begin(link, X_UngrabServer, 0, 4);
  if (!p) return PALVON_OOM();
  finish(link, p, 4, X_UngrabServer, 0);
  return flushServerLink(link);
}

void requestUngrabKeyboard(ServerLink* link) { timeRequest(link, X_UngrabKeyboard); }
void requestUngrabPointer(ServerLink* link) { timeRequest(link, X_UngrabPointer); }

void requestWarpPointer(ServerLink* link, u32 destination, i16 x, i16 y) {
  u8* p = begin(link, X_WarpPointer, 0, 24);
  if (!p) return;
  writeIds(p + 4, {0, destination});
  writeShorts(p + 12, {0, 0, 0, 0, static_cast<u16>(x), static_cast<u16>(y)});
  finish(link, p, 24, X_WarpPointer, 0);
}

void requestChangeGC(ServerLink* link, u32 gc, u32 mask, const XGCValues* values) {
  u32 packed[23];
  u32 n = packGCValues(mask & 0x7fffff, values, packed);
  u32 length = 12 + 4 * n;
  u8* p = begin(link, X_ChangeGC, 0, length);
  if (!p) return;
  writeIds(p + 4, {gc, mask & 0x7fffff});
  std::memcpy(p + 12, packed, 4 * n);
  finish(link, p, length, X_ChangeGC, 0);
}

void requestChangeKeyboardMapping(ServerLink* link, u8 keycodeCount, u8 firstKeycode, u8 keysymsPerKeycode,
                                  const u32* keysyms) {
  u32 words = static_cast<u32>(keycodeCount) * keysymsPerKeycode;
  u32 length = 8 + 4 * words;
  u8* p = begin(link, X_ChangeKeyboardMapping, keycodeCount, length);
  if (!p) return;
  p[4] = firstKeycode;
  p[5] = keysymsPerKeycode;
  p[6] = p[7] = 0;
  std::memcpy(p + 8, keysyms, 4 * words);
  finish(link, p, length, X_ChangeKeyboardMapping, keycodeCount);
}

void requestSetPointerMapping(ServerLink* link, u8 serverButtons, const u8* map, u32 mapLength) {
  u32 length = 4 + pad4(serverButtons);
  u8* p = begin(link, X_SetPointerMapping, serverButtons, length);
  if (!p) return;
  std::memset(p + 4, 0, length - 4);
  std::memcpy(p + 4, map, mapLength < serverButtons ? mapLength : serverButtons);
  finish(link, p, length, X_SetPointerMapping, serverButtons);
}

void requestStoreColors(ServerLink* link, u32 colormap, u32 pixel, u16 red, u16 green, u16 blue) {
  u8* p = begin(link, X_StoreColors, 0, 20);
  if (!p) return;
  writeIds(p + 4, {colormap, pixel});
  writeShorts(p + 12, {red, green, blue});
  p[18] = 7;  // DoRed | DoGreen | DoBlue
  p[19] = 0;
  finish(link, p, 20, X_StoreColors, 0);
}

bool requestGetImage(ServerLink* link, u8 format, u32 drawable, i16 x, i16 y, u16 width, u16 height, u32 planeMask) {
  u8* p = begin(link, X_GetImage, format, 20);
  if (!p) return false;
  put32(p + 4, drawable);
  writeShorts(p + 8, {static_cast<u16>(x), static_cast<u16>(y), width, height});
  put32(p + 16, planeMask);
  finish(link, p, 20, X_GetImage, format);
  return true;
}

void requestQueryPointer(ServerLink* link, u32 window) {
  u8* p = begin(link, X_QueryPointer, 0, 8);
  if (!p) return;
  put32(p + 4, window);
  finish(link, p, 8, X_QueryPointer, 0);
}

void requestQueryKeymap(ServerLink* link) { bareRequest(link, X_QueryKeymap); }

void requestShmPutImage(ServerLink* link, u32 drawable, u32 gc, u16 totalWidth, u16 totalHeight, u16 sourceX,
                        u16 sourceY, u16 width, u16 height, i16 destinationX, i16 destinationY, u8 depth, u8 format,
                        u8 sendEvent, u32 segment, u32 offset) {
  // The module's entry, not a look-up by name: small images make this per
  // image.
  auto* shm = static_cast<ExtensionEntry*>(proxyState.extensions.moduleState[kModuleShm]);
  if (!shm) return;
  u8* p = begin(link, shm->major, 3, 40);
  if (!p) return;
  writeIds(p + 4, {drawable, gc});
  writeShorts(p + 12, {totalWidth, totalHeight, sourceX, sourceY, width, height, static_cast<u16>(destinationX),
                       static_cast<u16>(destinationY)});
  p[28] = depth;
  p[29] = format;
  p[30] = sendEvent;
  p[31] = 0;
  writeIds(p + 32, {segment, offset});
  finish(link, p, 40, shm->major, 3);
}

// --- Replies and events --------------------------------------------------------------

void sendReplyAllocColor(ProxyClient* client, u16 red, u16 green, u16 blue, u32 pixel) {
  u8 reply[32];
  replyHeader(reply, 0, currentSequence(client));
  writeShorts(reply + 8, {red, green, blue, 0});
  put32(reply + 16, pixel);
  composedReply(client, X_AllocColor, reply, 32);
}

void sendReplyAllocNamedColor(ProxyClient* client, u32 pixel, u16 exactRed, u16 exactGreen, u16 exactBlue,
                              u16 visualRed, u16 visualGreen, u16 visualBlue) {
  u8 reply[32];
  replyHeader(reply, 0, currentSequence(client));
  put32(reply + 8, pixel);
  writeShorts(reply + 12, {exactRed, exactGreen, exactBlue, visualRed, visualGreen, visualBlue});
  composedReply(client, X_AllocNamedColor, reply, 32);
}

bool sendReplyAllocColorCells(ProxyClient* client, const u32* pixels, u16 pixelCount, const u32* masks,
                              u16 maskCount) {
  u32 length = 0;
  u8* reply = beginDataReply(0, currentSequence(client), nullptr, 4u * (pixelCount + maskCount), &length);
  if (!reply) return false;
  writeShorts(reply + 8, {pixelCount, maskCount});
  std::memcpy(reply + 32, pixels, 4u * pixelCount);
  std::memcpy(reply + 32 + 4u * pixelCount, masks, 4u * maskCount);
  endDataReply(client, X_AllocColorCells, reply, length);
  return true;
}

void sendReplyGetInputFocus(ProxyClient* client, u8 revertTo, u32 focus) {
  u8 reply[32];
  replyHeader(reply, revertTo, currentSequence(client));
  put32(reply + 8, focus);
  composedReply(client, X_GetInputFocus, reply, 32);
}

void sendEventExpose(ProxyClient* client, u32 window, u16 x, u16 y, u16 width, u16 height, u16 count) {
  u8 event[32] = {};
  event[0] = 12;
  put16(event + 2, currentSequence(client));
  put32(event + 4, window);
  writeShorts(event + 8, {x, y, width, height, count});
  sendComposedEvent(event, coreEventLayout(Expose), client);
}

void sendEventMappingNotify(ProxyClient* client, u16 sequence, u8 request, u8 firstKeycode, u8 count) {
  u8 event[32] = {};
  event[0] = 34;
  put16(event + 2, sequence);
  event[4] = request;
  event[5] = firstKeycode;
  event[6] = count;
  sendComposedEvent(event, coreEventLayout(MappingNotify), client);
}

void sendReplyQueryPointer(ProxyClient* client, u16 sequence, u8 sameScreen, u32 root, u32 child, i16 rootX,
                           i16 rootY, i16 windowX, i16 windowY, u16 mask) {
  u8 reply[32];
  replyHeader(reply, sameScreen, sequence);
  writeIds(reply + 8, {root, child});
  writeShorts(reply + 16, {static_cast<u16>(rootX), static_cast<u16>(rootY), static_cast<u16>(windowX),
                           static_cast<u16>(windowY), mask});
  composedReply(client, X_QueryPointer, reply, 32);
}

void sendReplyStatus(ProxyClient* client, u8 major, u8 status) {
  u8 reply[32];
  replyHeader(reply, status, currentSequence(client));
  composedReply(client, major, reply, 32);
}

void sendReplyGrabPointer(ProxyClient* client, u16 sequence, u8 status) {
  u8 reply[32];
  replyHeader(reply, status, sequence);
  composedReply(client, X_GrabPointer, reply, 32);
}

void sendReplyGrabKeyboard(ProxyClient* client, u16 sequence, u8 status) {
  u8 reply[32];
  replyHeader(reply, status, sequence);
  composedReply(client, X_GrabKeyboard, reply, 32);
}

bool sendReplyGetKeyboardMapping(ProxyClient* client, u16 sequence, const u32* keysyms, u8 keysymsPerKeycode,
                                 u32 rowsPresent, u32 rowsAsked) {
  u32 s = keysymsPerKeycode;
  if (rowsPresent > rowsAsked) rowsPresent = rowsAsked;
  u32 length = 0;
  u8* reply = beginDataReply(static_cast<u8>(s), sequence, nullptr, 4 * s * rowsAsked, &length);
  if (!reply) return false;
  u8* rows = reply + 32;
  std::memcpy(rows, keysyms, 4 * s * rowsPresent);
  if (s >= 5 && !(proxyConfig.workarounds & kWorkaroundNoNoXKB)) {
    // Clients that read the core map expect the group-2 symbols in columns
    // 2 and 3, where XKB servers put other groups' symbols further right.
    for (u32 row = 0; row < rowsPresent; row++) {
      u8* r = rows + 4 * s * row;
      bool any = false;
      for (u32 c = 4; c < s; c++) any = any || get32(r + 4 * c) != 0;
      if (any) std::memmove(r + 8, r + 16, 4 * (s - 4));
    }
  }
  std::memset(rows + 4 * s * rowsPresent, 0, 4 * s * (rowsAsked - rowsPresent));
  endDataReply(client, X_GetKeyboardMapping, reply, length);
  return true;
}

bool sendReplyListExtensions(ProxyClient* client) {
  auto* names = static_cast<u8*>(scratchAlloc(256 * 256));
  if (!names) return false;
  u32 total = 0;
  u32 count = collectExtensionNames(names, &total);
  u32 length = 0;
  u8* reply = beginDataReply(static_cast<u8>(count), currentSequence(client), names, total, &length);
  scratchFree(names);
  if (!reply) return false;
  endDataReply(client, X_ListExtensions, reply, length);
  return true;
}

bool sendReplyListHosts(ProxyClient* client, u16 sequence, u8 mode, u16 hostCount, const u8* entries,
                        u32 entriesLength) {
  u32 length = 0;
  u8* reply = beginDataReply(mode, sequence, entries, entriesLength, &length);
  if (!reply) return false;
  put16(reply + 8, hostCount);
  endDataReply(client, X_ListHosts, reply, length);
  return true;
}

bool sendReplyGetImage(ProxyClient* client, u16 sequence, u8 depth, u32 visual, const u8* data, u32 dataLength) {
  u32 length = 0;
  u8* reply = beginDataReply(depth, sequence, data, dataLength, &length);
  if (!reply) return false;
  put32(reply + 8, visual);
  endDataReply(client, X_GetImage, reply, length);
  return true;
}

// --- Set-up, refusals and errors --------------------------------------------------------

bool writeServerConnectionSetup(ServerLink* link, const char* authName, u16 nameLength, const char* authData,
                                u16 dataLength) {
  u32 length = 12 + pad4(nameLength) + pad4(dataLength);
  u8* p = reserveServerBytes(link, length);
  if (!p) return false;
  std::memset(p, 0, length);
  p[0] = link->writer.swap ? 'B' : 'l';
  writeShorts(p + 2, {11, 0, nameLength, dataLength, 0});
  if (nameLength) std::memcpy(p + 12, authName, nameLength);
  if (dataLength) std::memcpy(p + 12 + pad4(nameLength), authData, dataLength);
  if (link->writer.swap) swapLeaving(kConnectionSetupLayout, p, p + 12);
  noteServerRequestKey(0, link);
  link->setupAnswered = 0;
  return true;
}

void sendSetupFailed(ProxyClient* client, const char* reason) {
  // The reason's length travels in one byte: longer reasons are cut.
  size_t n = std::strlen(reason);
  if (n > 255) n = 255;
  u32 length = 8 + pad4(static_cast<u32>(n));
  u8 message[8 + 256] = {};
  message[0] = 0;
  message[1] = static_cast<u8>(n);
  writeShorts(message + 2, {11, 0, static_cast<u16>(pad4(static_cast<u32>(n)) / 4)});
  std::memcpy(message + 8, reason, n);
  writeToClient(message, length, kSetupRefusalLayout, client);
}

u32 queryWindowStackPosition(Display* display, Window window, Window parent, u32* childCount) {
  Window root = 0;
  Window parentOfParent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  *childCount = 0;
  xErrorTrapBegin(display);
  Status ok = XfsQueryTree(display, parent, &root, &parentOfParent, &children, &count);
  xErrorTrapEnd();
  u32 above = 0;
  // Children come bottom first: search from the top down.
  for (unsigned int i = count; ok && i-- > 0;) {
    if (children[i] != window) continue;
    *childCount = count;
    above = count - i - 1;
    break;
  }
  if (children) XFree(children);
  return above;
}

Status getWindowAttributesQuietly(Display* display, Window window, XWindowAttributes* attributes) {
  XWindowAttributes local;
  xErrorTrapBegin(display);
  Status status = XfsGetWindowAttributes(display, window, attributes ? attributes : &local);
  xErrorTrapEnd();
  return status;
}

void sendClientXError(u8 code, u32 badValue, const u8* request, u32 length, u16 sequence, const char* text,
                      ProxyClient* client) {
  const char* value = badValue < 1000 ? tmpPrintf("%u", badValue) : tmpPrintf("0x%x", badValue);
  LOGF(logChXerror, "X error %s %s%s%s%s detected in %s%s #%u (%u bytes) by %s", getErrorName(code), value,
       text ? " (" : "", text ? text : "", text ? ")" : "", get16(request + 2) == 0 ? "big " : "",
       getRequestName(request[0], request[1]), sequence, length, clientNameText(client));
  u8 error[32] = {};
  error[1] = code;
  put16(error + 2, sequence);
  put32(error + 4, badValue);
  // A core request's byte 1 is data, not a minor opcode: a plain server
  // says 0 there.
  put16(error + 8, request[0] >= 128 ? request[1] : 0);
  error[10] = request[0];
  holdMessageForSequence(error, 32, kErrorLayout, client);
  client->errorCounter++;
}

}  // namespace palvon
