// The small writers with which the proxy itself speaks X11: requests on a
// client's ServerLink, replies and events composed for a client, the
// connection set-up that opens every link, the refusal of a client's set-up,
// and the X error sent to a client with its log line.
//
// Everything is written in the proxy's byte order and swapped by its layout
// when the peer's order differs. A request whose reservation fails writes
// nothing (the link's own failure handling applies); writers with a result
// then give false. Main thread.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct ProxyClient;
struct ServerLink;

// --- Requests on a link ----------------------------------------------------
void requestCopyPlane(ServerLink* link, u32 source, u32 destination, u32 gc, i16 sourceX, i16 sourceY,
                      i16 destinationX, i16 destinationY, u16 width, u16 height, u32 bitPlane);
void requestGetKeyboardMapping(ServerLink* link, u8 firstKeycode, u8 count);
void requestGrabButton(ServerLink* link, u8 ownerEvents, u32 window, u16 eventMask, u8 pointerMode,
                       u8 keyboardMode, u32 confineTo, u32 cursor, u8 button, u16 modifiers);
void requestGrabKey(ServerLink* link, u8 ownerEvents, u32 window, u16 modifiers, u8 key, u8 pointerMode,
                    u8 keyboardMode);
void requestGrabKeyboard(ServerLink* link, u8 ownerEvents, u32 window, u8 pointerMode, u8 keyboardMode);
bool requestGrabServer(ServerLink* link);
void requestImageText8(ServerLink* link, u32 drawable, u32 gc, i16 x, i16 y, const char* text, u8 length);
void requestImageText16(ServerLink* link, u32 drawable, u32 gc, i16 x, i16 y, const XChar2b* text, u8 count);
void requestMoveResizeWindow(ServerLink* link, u32 window, i16 x, i16 y, u16 width, u16 height);
void requestMoveWindow(ServerLink* link, u32 window, i16 x, i16 y);
void requestNoOperation(ServerLink* link);
void requestPolyFillRectangle(ServerLink* link, u32 drawable, u32 gc, i16 x, i16 y, u16 width, u16 height);
void requestSetWindowBackground(ServerLink* link, u32 window, u32 pixel);
void requestSetWindowBackgroundPixmap(ServerLink* link, u32 window, u32 pixmap);
void requestUngrabButton(ServerLink* link, u8 button, u32 window, u16 modifiers);
void requestUngrabKey(ServerLink* link, u8 key, u32 window, u16 modifiers);
void requestGrabPointer(ServerLink* link, u8 ownerEvents, u32 window, u16 eventMask, u8 pointerMode,
                        u8 keyboardMode, u32 confineTo, u32 cursor);
void requestSetInputFocus(ServerLink* link, u8 revertTo, u32 focus);
// Also flushes the link; null or the flush's message.
const char* requestUngrabServer(ServerLink* link);
void requestUngrabKeyboard(ServerLink* link);
void requestUngrabPointer(ServerLink* link);
void requestWarpPointer(ServerLink* link, u32 destination, i16 x, i16 y);
void requestChangeGC(ServerLink* link, u32 gc, u32 mask, const XGCValues* values);
void requestChangeKeyboardMapping(ServerLink* link, u8 keycodeCount, u8 firstKeycode, u8 keysymsPerKeycode,
                                  const u32* keysyms);
// The map cut or zero-padded to the server's button count.
void requestSetPointerMapping(ServerLink* link, u8 serverButtons, const u8* map, u32 mapLength);
void requestStoreColors(ServerLink* link, u32 colormap, u32 pixel, u16 red, u16 green, u16 blue);
bool requestGetImage(ServerLink* link, u8 format, u32 drawable, i16 x, i16 y, u16 width, u16 height, u32 planeMask);
void requestQueryPointer(ServerLink* link, u32 window);
void requestQueryKeymap(ServerLink* link);
void requestShmPutImage(ServerLink* link, u32 drawable, u32 gc, u16 totalWidth, u16 totalHeight, u16 sourceX,
                        u16 sourceY, u16 width, u16 height, i16 destinationX, i16 destinationY, u8 depth, u8 format,
                        u8 sendEvent, u32 segment, u32 offset);

// --- Replies and events composed for a client ---------------------------------
void sendReplyAllocColor(ProxyClient* client, u16 red, u16 green, u16 blue, u32 pixel);
void sendReplyAllocNamedColor(ProxyClient* client, u32 pixel, u16 exactRed, u16 exactGreen, u16 exactBlue,
                              u16 visualRed, u16 visualGreen, u16 visualBlue);
bool sendReplyAllocColorCells(ProxyClient* client, const u32* pixels, u16 pixelCount, const u32* masks,
                              u16 maskCount);
void sendReplyGetInputFocus(ProxyClient* client, u8 revertTo, u32 focus);
void sendEventExpose(ProxyClient* client, u32 window, u16 x, u16 y, u16 width, u16 height, u16 count);
void sendEventMappingNotify(ProxyClient* client, u16 sequence, u8 request, u8 firstKeycode, u8 count);
void sendReplyQueryPointer(ProxyClient* client, u16 sequence, u8 sameScreen, u32 root, u32 child, i16 rootX,
                           i16 rootY, i16 windowX, i16 windowY, u16 mask);
void sendReplyStatus(ProxyClient* client, u8 major, u8 status);
void sendReplyGrabPointer(ProxyClient* client, u16 sequence, u8 status);
void sendReplyGrabKeyboard(ProxyClient* client, u16 sequence, u8 status);
bool sendReplyGetKeyboardMapping(ProxyClient* client, u16 sequence, const u32* keysyms, u8 keysymsPerKeycode,
                                 u32 rowsPresent, u32 rowsAsked);
bool sendReplyListExtensions(ProxyClient* client);
bool sendReplyListHosts(ProxyClient* client, u16 sequence, u8 mode, u16 hostCount, const u8* entries,
                        u32 entriesLength);
bool sendReplyGetImage(ProxyClient* client, u16 sequence, u8 depth, u32 visual, const u8* data, u32 dataLength);

// --- Set-up, refusals and errors ---------------------------------------------------
bool writeServerConnectionSetup(ServerLink* link, const char* authName, u16 nameLength, const char* authData,
                                u16 dataLength);
void sendSetupFailed(ProxyClient* client, const char* reason);
void sendClientXError(u8 code, u32 badValue, const u8* request, u32 length, u16 sequence, const char* text,
                      ProxyClient* client);

// --- Queries on the proxy's own display connection -------------------------------
// The number of siblings above the window under its parent; childCount gets
// the parent's child count (0 when the window is not found or the query
// failed, which then gives 0).
u32 queryWindowStackPosition(Display* display, Window window, Window parent, u32* childCount);
// XGetWindowAttributes with X errors ignored; attributes may be null.
Status getWindowAttributesQuietly(Display* display, Window window, XWindowAttributes* attributes);

}  // namespace palvon
