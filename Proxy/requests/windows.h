// The handlers of the window requests (CreateWindow to QueryTree) and of the
// replies to GetWindowAttributes, GetGeometry and QueryTree.
//
// Each request is checked against the proxy's window tree first; a request
// that fails sends nothing to any head. The tree is then changed, and every
// head of the window's meta screen gets its own copy with the ids, geometry,
// pixels, visuals and gravities of that head. The three queries go to the
// screen's main head, and their replies are put back into the client's
// terms, partly from the model.
//
// Main thread only; called by the dispatcher (rows.h says what it did first).
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyWindow;

void ProcCreateWindow(u8* request, u32 length);
void ProcChangeWindowAttributes(u8* request, u32 length);
void ProcGetWindowAttributes(u8* request, u32 length);
void ProcDestroyWindow(u8* request, u32 length);
void ProcDestroySubwindows(u8* request, u32 length);
void ProcChangeSaveSet(u8* request, u32 length);
void ProcReparentWindow(u8* request, u32 length);
void ProcMapWindow(u8* request, u32 length);
void ProcMapSubwindows(u8* request, u32 length);
void ProcUnmapWindow(u8* request, u32 length);
void ProcUnmapSubwindows(u8* request, u32 length);
void ProcConfigureWindow(u8* request, u32 length);
void ProcCirculateWindow(u8* request, u32 length);
void ProcGetGeometry(u8* request, u32 length);
void ProcQueryTree(u8* request, u32 length);

void ReplyGetWindowAttributes(u8* reply, u32 length);
void ReplyGetGeometry(u8* reply, u32 length);
void ReplyQueryTree(u8* reply, u32 length);

// --- Per-head value lists (windowvalues.cpp) -------------------------------------------

// A CreateWindow or ChangeWindowAttributes value list by bit (0..14), and
// the pixmaps made for one head that are freed right after the request.
struct WindowValueList {
  u32 mask;
  u32 values[15];
  u32 temporary[2];
  u32 temporaryCount;
};
// Reads the values of the set bits (one word each, in bit order).
void readWindowValues(u32 mask, const u8* list, WindowValueList* out);
// Writes the values of the set bits; returns the number of words.
u32 packWindowValues(const WindowValueList& list, u8* out);
// Stores the values in the model: attributes, pixmaps, cursor, the current
// client's event mask. False when the event mask was refused (another
// client holds an exclusive bit); the other values are kept.
bool storeWindowValues(ProxyWindow* window, const WindowValueList& list, bool creating);
// Rewrites the list for the head: pixmaps, pixels, gravities, the event
// mask completed for the head, colormap and cursor ids. `creating` adds
// what a new window needs on the head (a completed event mask, a turned
// NorthWest gravity on a turned head).
void rewriteWindowValues(WindowValueList* list, ProxyWindow* window, Head* head, bool creating);
// Whether the head takes a new window's value list as the client sent it,
// once the ids in it are the head's (translateWindowValueIds): it neither
// scales, turns nor converts the window's pixels, and the list holds no
// pixmap the head needs made or named otherwise.
bool windowValuesPassAsIs(const WindowValueList& list, const ProxyWindow* window, const Head* head);
// The colormap and cursor ids and the completed event mask, in a value
// list of `mask` as sent (one word per set bit), for the head.
void translateWindowValueIds(const ProxyWindow* window, const Head* head, u32 mask, u8* list);
// The head has a sloppy visual set and lacks the window's visual.
bool headLacksWindowVisual(const Head* head, const ProxyWindow* window);
// The error a plain server answers to the first value of the list (in bit
// order, as it takes them) that it refuses for the window, with *bad the
// error's value; 0 when all pass. An id that names nothing, or a pixmap or
// colormap of another meta screen, depth or visual: refused by the proxy,
// not left to the heads, since the window would keep the value (and a new
// window its id) while no head has it, and a head that keeps two client
// depths at one of its own would take a pixmap the others refuse.
u8 refusedWindowValue(const ProxyWindow* window, const WindowValueList& list, u32* bad);

}  // namespace palvon
