// Requests the proxy itself writes, through any RequestWriter (a client's
// ServerLink, or another connection that offers one). This is the one family
// of request writers: the ServerLink writers of core11G.h go through it too.
//
// Every writer reserves its request through the writer (beginRequest), fills
// the fields in the proxy's byte order and finishes it (finishRequest),
// which swaps it by the layout of its dispatch row when the writer's peer
// has the other order. A failed reservation writes nothing; writers with a
// result then return 0.
#pragma once

#include <X11/Xlib.h>

#include "Proxy/links/serverlink.h"
#include "Xext/swap/byteswap.h"

namespace palvon {

// Reserves a request with its header filled (major, data byte, length; the
// big form above 0x3fffc bytes); null when nothing could be reserved.
u8* beginRequest(RequestWriter* writer, u8 major, u8 data, u32 length);
// Swaps the filled request by its row's layout (the proxy's major and the
// data byte or minor select the row) when the writer's peer swaps.
void finishRequest(RequestWriter* writer, u8* request, u32 length, u8 major, u8 data);
// The same with a layout given by the caller (a big request's header lies
// four bytes in front of `request`, see copyRequestToServer).
void finishWriterRequest(const RequestWriter* writer, u8* request, u32 length, const char* layout);
// The layout a request of that major and data byte is swapped by.
LayoutString writerLayoutOf(u8 major, u8 data, const u8* request, u32 length);

u8* xprotoCopyRequest(RequestWriter* writer, const u8* request, u32 length, const char* layout);
void xprotoAllowEvents(RequestWriter* writer, u8 mode, u32 time);
void xprotoChangeWindowAttributes(RequestWriter* writer, u32 window, u32 mask, const XSetWindowAttributes* values);
void xprotoChangeProperty(RequestWriter* writer, u8 mode, u32 window, u32 property, u32 type, u8 format, u32 count,
                          const void* data);
void xprotoChangeSaveSet(RequestWriter* writer, u32 window);
void xprotoClearArea(RequestWriter* writer, u32 window, i16 x, i16 y, u16 width, u16 height);
void xprotoCloseFont(RequestWriter* writer, u32 font);
// values: one 32-bit word per set bit of the 7-bit mask, in bit order.
void xprotoConfigureWindow(RequestWriter* writer, u32 window, u16 mask, const u32* values);
void xprotoCopyArea(RequestWriter* writer, u32 source, u32 destination, u32 gc, i16 sourceX, i16 sourceY, u16 width,
                    u16 height, i16 destinationX, i16 destinationY);
void xprotoCreateColormap(RequestWriter* writer, u8 alloc, u32 colormap, u32 window, u32 visual);
void xprotoCreateCursor(RequestWriter* writer, u32 cursor, u32 source, u32 mask, u16 x, u16 y, u16 foreRed,
                        u16 foreGreen, u16 foreBlue, u16 backRed, u16 backGreen, u16 backBlue);
void xprotoCreateGC(RequestWriter* writer, u32 gc, u32 drawable, u32 mask, const XGCValues* values);
void xprotoCreatePixmap(RequestWriter* writer, u8 depth, u32 pixmap, u32 drawable, u16 width, u16 height);
void xprotoCreateWindow(RequestWriter* writer, u8 depth, u32 window, u32 parent, i16 x, i16 y, u16 width, u16 height,
                        u16 borderWidth, u16 windowClass, u32 visual, u32 mask, const XSetWindowAttributes* values);
void xprotoDestroyWindow(RequestWriter* writer, u32 window);
void xprotoFreeColormap(RequestWriter* writer, u32 colormap);
void xprotoFreeCursor(RequestWriter* writer, u32 cursor);
void xprotoFreeGC(RequestWriter* writer, u32 gc);
void xprotoFreePixmap(RequestWriter* writer, u32 pixmap);
void xprotoGetFontPath(RequestWriter* writer);
void xprotoInstallColormap(RequestWriter* writer, u32 colormap);
void xprotoMapWindow(RequestWriter* writer, u32 window);
void xprotoOpenFont(RequestWriter* writer, u32 font, const char* name, u16 nameLength);
// Text longer than 254 characters goes out as several items of one request.
void xprotoPolyText8(RequestWriter* writer, u32 drawable, u32 gc, i16 x, i16 y, const char* text, u32 count);
void xprotoPolyText16(RequestWriter* writer, u32 drawable, u32 gc, i16 x, i16 y, const XChar2b* text, u32 count);
// The image in bands of rows that each fit the maximum request size.
int xprotoPutImage(RequestWriter* writer, u32 drawable, u32 gc, const XImage* image, i16 x, i16 y);
void xprotoRaiseWindow(RequestWriter* writer, u32 window);
void xprotoLowerWindow(RequestWriter* writer, u32 window);
void xprotoResizeWindow(RequestWriter* writer, u32 window, u16 width, u16 height);
void xprotoSelectInput(RequestWriter* writer, u32 window, u32 eventMask);
void xprotoSetClipRectangles(RequestWriter* writer, u8 ordering, u32 gc, i16 xOrigin, i16 yOrigin,
                             const XRectangle* rectangles, u32 count);
void xprotoSetDashes(RequestWriter* writer, u32 gc, u16 dashOffset, const u8* dashes, u16 count);
void xprotoSetFontPath(RequestWriter* writer, const char* const* paths, u16 count);
void xprotoUngrabServer(RequestWriter* writer);
void xprotoUnmapWindow(RequestWriter* writer, u32 window);

// Bytes a band of PutImage data may hold: the maximum request less its header.
constexpr u32 kPutImageBandBytes = 262116;

}  // namespace palvon
