// Helpers between the proxy's model and the heads: the head at a point of a
// meta screen, the head a server-side id belongs to, a server-side id back
// to the id its client knows, whether a rectangle shows in a drawable, a
// client cursor replicated onto one head, exposing, restacking and moving a
// window on every head, warping the pointer by a motion, the stack of
// pointer-polling intervals, and whether the auxiliary resource server is
// needed.
//
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct CursorRecord;
struct Head;
struct HeadCursor;
struct MetaScreen;
struct ProxyClient;
struct ProxyWindow;
struct RequestWriter;
struct ServerDisplay;

// The first head in the screen's order whose rectangle holds the point (left
// and top edges inclusive, right and bottom exclusive); null when none.
Head* findHeadAtPoint(const MetaScreen* screen, i32 x, i32 y);
// Whether the id comes from the proxy's own Xlib connection to the server.
bool isOwnConnectionId(u32 id, const ServerDisplay* display);
// The head a server-side id of that display belongs to; null when none.
Head* findHeadForServerXid(u32 id, const ServerDisplay* display);
// A server-side id as its client knows it; an id the proxy cannot place is
// returned as it is.
u32 mapServerXidToClient(u32 id, const ServerDisplay* display);
u32 mapServerXidToClientByType(u32 type, u32 id, const Head* head);
// mapServerXidToClient on the head's display.
u32 reverseMapServerXid(u32 serverId, const Head* head);
// 1 when the rectangle lies inside the drawable (a window: viewable, inside
// its bounding region and the meta screen); an unknown id gives 1.
int isRectInsideDrawable(u32 drawable, i32 x, i32 y, u32 width, u32 height);

// Creates the client's cursor on the head under `headCursorId` through the
// writer, scaled and turned for the head; 1, or 0 when a request could not
// be written (or the cursor has no images).
int replicateCursorOnHead(CursorRecord* cursor, ProxyClient* client, RequestWriter* writer, u32 headCursorId,
                          Head* head);
int replicateCursorImagesOnHead(const HeadCursor* images, u32 count, ProxyClient* client, RequestWriter* writer,
                                u32 headCursorId, Head* head);

// An Expose of the whole window to every client that selected Exposure.
void exposeWholeWindow(ProxyWindow* window);
// Stacks the window directly above the sibling (null: to the bottom) on every
// head of its screen through the current client's links, then in the model.
void restackWindowOnHeads(ProxyWindow* window, ProxyWindow* sibling);
// Moves a top-level window's inside origin to meta (x, y), letting a window
// manager do it when it manages the window.
void moveClientWindow(ProxyClient* client, ProxyWindow* window, i32 x, i32 y);

// Moves the meta pointer by (dx, dy) from its position and makes the head
// the one holding it (the head's real pointer follows).
void warpPointerOnHead(u32 device, u32 time, Head* head, i32 dx, i32 dy);
// Moves the head server's real pointer to (x, y) of its screen.
void warpPointerOnHead(Head* head, i32 x, i32 y);

// The pointer is polled at the smallest pushed interval while any is pushed;
// callers push and pop in pairs (at most 20 at a time).
void pushPointerPollInterval(u32 device, u32 interval);
void popPointerPollInterval(u32 device);

// Whether the auxiliary resource server must run; tags roles onto static
// heads when it need not. Null or the error of applying tags.
const char* decideResourceServer(bool* needed);

}  // namespace palvon
