// Selection synchronisation: PRIMARY, SECONDARY and CLIPBOARD taken by a
// program on one real server can be pasted on any other. On every
// participating server the proxy keeps a 1x1 InputOnly window of its own
// that owns each selection while a program on another server holds it;
// conversion requests that reach that window are forwarded to the server
// whose program really owns the selection, and the answer is copied back.
//
// Everything runs on the proxy's own connections (ServerDisplay) from the
// display event intake, on the main thread. One conversion per selection is
// outstanding at a time: a newer request refuses the one it replaces. A
// display that went offline makes its calls return at once (failsafe
// layer); its record stays until stopSelectionSync.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct ServerDisplay;

constexpr u32 kSelectionSyncCount = 3;  // PRIMARY, SECONDARY, CLIPBOARD
// Predefined atoms keep their numbers on every server.
constexpr Atom kLastPredefinedAtom = 68;

// One participating display.
struct SelectionSync {
  SelectionSync* next;
  SelectionSync* tail;           // in the first record only: the last one
  ServerDisplay* server;
  Window window;                 // the proxy's selection window there
  u32 refresh;                   // re-offer the selections after each transfer
  Atom atoms[kSelectionSyncCount];  // PRIMARY, SECONDARY, this server's CLIPBOARD
  Atom draining;                 // an incremental answer (refused) the owner still writes;
                                 // conversions asked of it meanwhile are refused
};

// Per selection: the display whose program owns it, and the conversion in
// flight (the requestor's event and the target asked of the owner).
struct SelectionSyncRequestSlot {
  SelectionSync* owner;          // null: the proxy owns it everywhere
  XSelectionRequestEvent request;
  Atom forwardedTarget;          // on the owner's display
  Atom forwardedProperty;        // on the owner's display
  SelectionSync* from;           // the requestor's display; null: none in flight
};

extern SelectionSync* selectionSyncList;
extern SelectionSyncRequestSlot selectionSyncSlots[kSelectionSyncCount];

// Logs "Starting selection sync to %s...", makes the display's record and
// window and takes or notes each selection there. Nothing when the display
// takes part already. Null or the out-of-memory text.
const char* startSelectionSync(ServerDisplay* server, bool refresh);
// Destroys the window (unless the display is offline), forgets the display
// as an owner (and any conversion it asked for) and frees its record.
void stopSelectionSync(ServerDisplay* server);
bool isSelectionSyncActive();
// Whether the id is the display's selection window (kept away from clients).
bool isSelectionSyncWindow(const ServerDisplay* server, u32 window);

// The display event intake hands over the selection events of the proxy's
// connections; each returns true when it handled the event.
bool selectionSyncClear(ServerDisplay* server, const XSelectionClearEvent* event);
bool selectionSyncRequest(ServerDisplay* server, const XSelectionRequestEvent* event);
bool selectionSyncNotify(ServerDisplay* server, const XSelectionEvent* event);
// A property appeared on the display's selection window. The pieces of a
// refused incremental answer are deleted as they come, up to the empty one
// that ends it, so that the owner finishes instead of waiting for ever (and
// serves the next conversion); so is anything that answers nothing in
// flight.
bool selectionSyncProperty(ServerDisplay* server, const XPropertyEvent* event);

// The same atom on another display: predefined atoms unchanged, others by
// name; 0 when the name is unknown on the source or cannot be interned.
Atom translateAtomBetweenDisplays(Display* from, Atom atom, Display* to);
// As translateAtomBetweenDisplays; for TARGETS the property of that name
// also moves from the source window to the target window (when one is
// given), and the target display is flushed.
Atom translateSelectionTarget(Display* from, Window fromWindow, Atom atom, Display* to, Window toWindow);

}  // namespace palvon
