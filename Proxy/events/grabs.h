// Grabs and focus. A meta screen spreads over several real servers but a
// client sees one pointer and one keyboard, so the proxy keeps the one
// active pointer grab and the one keyboard grab of the session
// (inputState.pointerGrab / keyboardGrab, Proxy/input/pointer.h), the freeze
// state that synchronous grabs and AllowEvents leave on each device, every
// client's passive grabs, and the focus when its window stops being
// viewable. A grab is real on one head at a time, the head holding the
// pointer: it is repeated on a head the pointer enters and released on the
// head it leaves.
//
// `device` arguments are kXrcMouse (256, the core pointer) or kXrcKeyboard
// (257). Times are meta time stamps; 0 is CurrentTime. Refusals are logged
// on the Xhint channel and leave the state as it was. Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct CursorRecord;
struct Head;
struct ProxyClient;
struct ProxyWindow;
struct ServerDisplay;

// Freeze states of a device.
enum : u8 {
  kFreezeNone = 0,
  kFreezeSyncArmed = 1,       // AllowEvents SyncPointer/SyncKeyboard: thawed, the next event freezes it again
  kFreezeSyncBothArmed = 2,   // AllowEvents SyncBoth: the next event freezes both devices
  kFreezeByPointerGrab = 3,   // a synchronous active pointer grab
  kFreezeByKeyboardGrab = 4,  // a synchronous active keyboard grab
  kFreezeByEvent = 5,         // the event that activated a passive grab, or a re-freeze by an event
};

// Which grab a freeze belongs to: it ends with that grab.
enum : u8 {
  kFreezeCauseNone = 0,
  kFreezeCausePointerGrab = 1,
  kFreezeCauseKeyboardGrab = 2,
};

// The freeze of one device; client and state are cleared together.
struct FreezeRecord {
  ProxyClient* client;  // frozen for this client; null: not frozen
  u8 state;
  u8 cause;
  // Every grab that holds the device frozen (1 << cause): frozen by both
  // grabs, it stays frozen when one of them ends.
  u8 causes;
};

struct FreezeState {
  FreezeRecord pointer;
  FreezeRecord keyboard;
};
extern FreezeState freezeState;

// A GrabButton or GrabKey of a client, on the client's list (newest first).
struct PassiveGrab {
  PassiveGrab* next;
  PassiveGrab* previous;
  u32 window;          // client ids
  u32 confineTo;       // 0 none
  CursorRecord* cursor;  // referenced; null for none and for key grabs
  u16 eventMask;
  u16 modifiers;       // 0x8000 AnyModifier
  u8 ownerEvents;
  u8 detail;           // button or keycode; 0 AnyButton / AnyKey
  u8 pointerMode;
  u8 keyboardMode;
  u8 isKey;
};
constexpr u16 kAnyModifier = 0x8000;
// The state bits that passive grabs compare.
constexpr u32 kGrabModifierBits = 0x60ff;

// --- The active grabs -------------------------------------------------------------

// Mode 0 is Synchronous, 1 Asynchronous. True when the grab is active; false
// after a log line when the window (or the confine-to window) is not known
// and viewable.
bool activatePointerGrab(u32 device, ProxyClient* client, u32 window, u32 confineTo, u8 ownerEvents, u32 eventMask,
                         u8 pointerMode, u8 keyboardMode, CursorRecord* cursor, u32 time, bool passive);
// Whether the client may end the pointer grab at that time (logged when
// not, except for a client that holds nothing while nothing is held).
bool checkUngrabPointer(u32 device, ProxyClient* client, u32 time);
// checkUngrabPointer, then the grab ends with every freeze it caused. A
// null client skips the check (the proxy ends it itself).
bool deactivatePointerGrab(u32 device, ProxyClient* client, u32 time);
bool activateKeyboardGrab(u32 device, ProxyClient* client, u32 window, u8 ownerEvents, u8 pointerMode,
                          u8 keyboardMode, u32 key, u32 time, bool passive);
bool checkUngrabKeyboard(u32 device, ProxyClient* client, u32 time);
bool deactivateKeyboardGrab(u32 device, ProxyClient* client, u32 time);

// A grab its client's request ended (an ungrab, a replay). What the servers
// reported before that request reached them was reported under the grab,
// and may arrive after the proxy ended it: such events are judged by it.
struct EndedGrab {
  const ProxyClient* client;  // null: none
  u32 window;
  u16 eventMask;
  u8 ownerEvents;
  u64 request;  // the client's number of the request that ended it
};
// The current client's active grab (the pointer's or the keyboard's), as its
// current request ends it.
void noteGrabEndedByRequest(bool keyboard);
// The ended grab the current link reported the event under; null when none.
const EndedGrab* endedGrabOf(const u8* event, bool keyboard);
// A leaving client's ended grabs are forgotten.
void forgetEndedGrabs(const ProxyClient* client);
// Whether a crossing of mode Grab that the current link reported came under
// the active pointer grab of its client: the one that client's next
// GrabPointer replaces, which reports the way from the old grab window to
// the new one. The crossings of a grab's own start (a press's grab, an
// active grab not replacing another) come while no grab holds the pointer.
bool reportedUnderPointerGrab(const u8* event);
// A pointer grab whose confine-to window took the pointer onto another
// server's head before the grab went there: that server tells the grab's
// crossings from the window the pointer is in now, where a plain server
// tells them from the window it was in before (announceGrabFrom,
// Proxy/events/crossings.h). Until the grab is answered, the crossings of
// mode Grab that server reports are no client's. Null: none held.
void holdGrabCrossingsOf(const ServerDisplay* server);
bool grabCrossingsHeldFrom(const ServerDisplay* server);

// Freeze setters. A freeze names the grab that caused it.
void freezePointer(ProxyClient* client, u8 state, u8 cause);
void thawPointer();
void freezeKeyboard(ProxyClient* client, u8 state, u8 cause);
void thawKeyboard();
// AllowEvents' reset of a device: thawed, nothing armed.
inline void resetPointerFreeze(u32) { thawPointer(); }
inline void resetKeyboardFreeze(u32) { thawKeyboard(); }
// Whether the device is frozen now (not merely armed to freeze again).
bool pointerFrozen();
bool keyboardFrozen();
// An event of the grabbing client re-freezes what AllowEvents Sync* armed:
// state 1 freezes the device, state 2 both (state 5, caused by the grab).
void refreezePointerAfterEvent(ProxyClient* client);
void refreezeKeyboardAfterEvent(ProxyClient* client);

// Signed 32-bit time comparisons; CurrentTime (0) is never too old or new.
inline bool timeTooOld(u32 time, u32 reference) { return time && i32(reference - time) > 0; }
inline bool timeTooNew(u32 time, u32 now) { return time && i32(time - now) > 0; }
// The current meta time, the upper bound of every time check.
u32 currentMetaTime();

// --- Windows that change -------------------------------------------------------------

// The window is known and viewable, and so is the confine-to window (0 none).
bool isGrabWindowValid(u32 window, u32 confineTo);
// A window stopped being viewable (unmapped itself or with an ancestor):
// the focus and the grabs that name it end, with their log lines.
void endGrabsOnUnmappedWindow(ProxyWindow* window);
// The same for a viewable window destroyed with an ancestor, without log
// lines.
void endGrabsOnDestroyedWindow(ProxyWindow* window);
// After every ConfigureWindow: grabs whose windows are no longer viewable end.
void checkGrabsAfterConfigure();
// Before a ConfigureWindow of the client that takes the pointer grab's
// confine-to window (itself or with an ancestor, the model already
// changed) off the pointer's head while it stays on its screen: the grab
// is made again on that head's server without confining, as that server
// would end its copy by itself (its copy of the window leaves its screen)
// and tell the clients of an ungrab no plain server makes. The pointer then
// follows the window onto another head, and the grab with it.
void unconfineGrabLeavingHead(const ProxyWindow* configured, const ProxyClient* configuring);
// The focus window stopped being viewable: the proxy's focus reverts by its
// revert-to value (the servers revert by themselves).
void handleFocusWindowUnmapped(ProxyWindow* window);

// --- Repeating on one head ------------------------------------------------------------

// The active grab on the head's server, through the grabbing client's link;
// modes Synchronous where the device is frozen for the grab. Nothing without
// a grab or a link.
void grabPointerOnDisplay(u32 device, Head* head);
void ungrabPointerOnDisplay(u32 device, Head* head, bool flush);
void grabKeyboardOnDisplay(u32 device, Head* head, bool flush);
void ungrabKeyboardOnDisplay(u32 device, Head* head, bool flush);

// --- Passive grabs --------------------------------------------------------------------

// A new grab first on the client's list (the cursor gains a reference); null
// after "Out of memory" when none could be made.
PassiveGrab* addPassiveGrab(ProxyClient* client, const PassiveGrab& fields);
// Frees the client's grabs of that kind on the window whose detail is the
// given one (every detail for 0) and whose modifiers are the given ones
// (every set for AnyModifier).
void removePassiveGrabs(ProxyClient* client, bool isKey, u32 window, u8 detail, u16 modifiers);
// Unlinks the grab from the client's list, releases its cursor, frees it.
void freePassiveGrab(PassiveGrab* grab, ProxyClient* client);
// Every client's grabs whose window or confine-to window is this window.
void freePassiveGrabsOnWindow(ProxyWindow* window);
// The first of the client's grabs of that kind on the window that an event
// with this detail and state activates; null when none.
PassiveGrab* findPassiveGrab(ProxyClient* client, bool isKey, u32 window, u8 detail, u32 state);

// At the start of a session (the first probe and after a reset): no grab
// and no freeze is left, and the focus is PointerRoot, as a server starts
// with; without it the heads would be given the focus None and drop every
// key.
void releaseProxyGrabs();
// The time display's clock starts the meta clock and the focus time.
void setProxyCurrentTime(u32 time);

// --- Clients that leave ------------------------------------------------------------------

// A leaving client's grabs and freezes end. A kept client (keeping) has its
// passive grabs undone on every head through its links first; a destroyed
// one has its active grabs undone on the pointer head's server. Both lose
// their passive grabs.
void releaseClientGrabs(ProxyClient* client, bool keeping);

}  // namespace palvon
