// Pointer and keyboard across heads. Clients see one pointer and one
// keyboard; the real pointer lives on one real server at a time (the display
// that holds input control, Proxy/input/control.h) while the heads are screens
// of several servers. This module follows the real pointer, decides which
// head holds it, moves it from head to head when it crosses an edge or is
// warped, carries grabs, focus, key state and maps to the server that
// receives it, converts coordinates and server time stamps, and drives
// pointer rotation and the rate limit of pointer moves per head.
//
// `device` arguments name the XRCLib device (kXrcMouse, kXrcKeyboard).
// Everything runs on the main thread; calls on the proxy's own connections
// go through the failsafe layer and do nothing for an offline display.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct CursorRecord;
struct Head;
struct MetaScreen;
struct Order;
struct ProxyClient;
struct ServerDisplay;
struct ServerLink;

// How an active grab of a client came about and what it froze.
enum : u8 {
  kGrabAsync = 0,
  kGrabFreezesPointer = 1,  // released with AllowEvents SyncPointer
  kGrabFreezesBoth = 2,     // released with AllowEvents SyncBoth
  kGrabXrcPassive = 5,      // activated from a passive grab by the input-control library
};

// An active pointer or keyboard grab of a client (ids as the client knows
// them). Set by the core protocol's grab requests.
struct InputGrab {
  ProxyClient* client;  // null: no grab
  u32 window;
  u32 confineTo;        // pointer grabs; 0 none
  u32 cursor;
  u16 eventMask;
  u8 ownerEvents;
  u8 kind;
  u8 pointerFrozen;     // the grab's pointer mode is synchronous
  u8 keyboardFrozen;
  // Added with grabs and focus (Proxy/events/grabs.h keeps these and the three
  // fields above in step with its freeze records): the grab time, which
  // outlives the grab as the last grab time; the key that activated a
  // passive keyboard grab; whether a button or key press activated the
  // grab; whether a passive grab was repeated on a head with an explicit
  // grab that its release must undo; the referenced grab cursor.
  u32 time;
  u32 key;
  u8 passive;
  u8 pendingUngrab;
  CursorRecord* cursorRecord;
  // The head of another server whose device the grabbing client also
  // grabbed for this grab (Proxy/events/relay.h); null when none.
  Head* lending;
};

constexpr u32 kPollStackSlots = 20;

struct InputState {
  Head* pointerHead;        // the head that holds the pointer
  i32 pointerX, pointerY;   // the meta pointer in its meta screen
  u32 buttonState;          // state & 0x1f00 of the last report
  u32 modifierState;        // state & 0x60ff
  InputGrab pointerGrab;
  InputGrab keyboardGrab;
  // Polling the real pointer with QueryPointer.
  u8 polling;
  u8 replySeen;
  u32 pollInterval;         // ms; the smallest pushed interval
  Order* pollTimer;
  u32 pollCount;
  u32 pollStack[kPollStackSlots];
  // Pointer rotation on a rotated head of the input-control display.
  Head* rotationHead;
  u8 interceptionFailed;
  u8 rotationExitRegistered;
  // The focus as the clients set it.
  u32 focusWindow;          // client id, 0 None, 1 PointerRoot
  u8 focusRevertTo;
  u32 focusTime;
  Head* focusHead;
  // Meta time stamps: the latest seen, and the loop clock then (0: never
  // stamped, the time stands still).
  u32 lastMetaTime;
  u64 lastMetaClockMs;
  const ServerDisplay* lastTimeDisplay;
  u64 screenSaverDeadlineMs;
  // Input seen while handling a display's events (key or button).
  u8 inputSeen;
  // The proxy's own XInput device mode (device events of a null mouse).
  u8 deviceMotionType, devicePressType, deviceReleaseType;
  u8 deviceRelative;        // valuators report relative motion
  i32 deviceLastX, deviceLastY;  // kNoDevicePosition until the first event
  // While the pointer moves onto another server's head, the events the old
  // server and the new one already sent are handled at once, in a phase
  // (see seamPhaseOf).
  const ServerDisplay* seamServers[2];  // the old server, the new one
  u8 seamPhase;
  // The move is a grab's confine-to window taking the pointer into it
  // (confinePointerAcrossHeads): the new server's motion is not the
  // clients' either.
  u8 seamConfining;
  // The pointer came onto its meta screen from another over the bare root
  // and has been over no other window of that screen since. A plain server
  // of several screens then counts the pointer in no window: it tells no
  // focus change of detail Pointer, not even on the root, until the
  // pointer has been in one of the screen's windows.
  u8 pointerInNoWindow;
};
// Phases of a move between servers while their events are handled at
// once: kSeamBefore, what the old server sent before the move; kSeamMove,
// what both sent for the move.
enum : u8 { kSeamNone = 0, kSeamBefore = 1, kSeamMove = 2 };
// What the events of the link's server are in the phase: kSeamNone, the
// pointer's as ever; kSeamLeaving, the old server's before the move: its
// crossings are the pointer's, its motion is not (the move reports the
// pointer at the target, as a plain server whose frozen pointer moved
// reports it once); kSeamParked, the old server's of the move, whose
// pointer the proxy parks under its cover: its crossings, its motion and
// the pointer's way out of the focus are not the clients'; kSeamEntered,
// the new server's of the move, whose pointer comes out of its cover and
// goes to the target: its motion is the clients' (not when a grab's
// confine-to window made the move, seamConfining), its crossings and the
// pointer's way into the focus are not (each server saw only its own part
// of the way; the proxy tells the move's crossings from the meta screen's
// tree, Proxy/events/crossings.h).
enum : u8 { kSeamLeaving = 3, kSeamParked = 4, kSeamEntered = 5 };
u8 seamPhaseOf(const ServerLink* link);
constexpr i32 kNoDevicePosition = 2147483647;

extern InputState inputState;

// --- Coordinates ------------------------------------------------------------------------

// Meta (x, y) to the head's real screen: less the logical origin, scaled
// and rotated within the logical size, plus the clip origin.
void metaToHeadPoint(i32* x, i32* y, const Head* head);
// The head a server's pointer position lies on, with the meta position.
struct ServerPointerHit {
  Head* head;       // null: no head on that root
  i32 x, y;         // meta
  bool sameScreen;  // the point lies on the head
  // Added for event translation: with FixPointerCoordinates the point lay
  // outside the head's clip rectangle and was only mapped, not clamped.
  bool outsideClip;
};
ServerPointerHit findHeadAtServerPointer(Display* display, Window root, i32 x, i32 y);
// The head under that server's pointer (the display's first head when the
// display is offline).
Head* findPointerHeadOnDisplay(u32 device, ServerDisplay* display);
Head* findHeadByRoot(Display* display, Window root);
Head* findHeadByScreenNumber(Display* display, u32 screen);

// --- Moving the pointer ---------------------------------------------------------------------

// The head becomes the pointer's head at meta (x, y) (no real move).
void movePointerToHead(u32 device, Head* head, i32 x, i32 y, bool warped);
// Moves the meta pointer to (x, y) of the screen: chooses the head, carries
// grabs, focus and key state there, and with `warp` moves the real pointer.
void syncInputAcrossHeads(u32 device, ProxyClient* client, MetaScreen* screen, i32 x, i32 y, bool warp);
// syncInputAcrossHeads for a pointer grab whose confine-to window takes the
// pointer to (x, y): a plain server moves it there without a MotionNotify
// (its crossings only), so when the move goes onto another server's head
// the motion that server reports for it reaches no client.
void confinePointerAcrossHeads(ProxyClient* client, MetaScreen* screen, i32 x, i32 y, bool warp);
// The real pointer to meta (x, y) on the head: through the client's link
// when a client is given, else through XRCLib.
void warpMetaPointerToHead(u32 device, ProxyClient* client, Head* head, i32 x, i32 y);
// A real move on the head's server, held back by its sample rate.
void moveServerPointer(u32 device, Head* head, i32 x, i32 y, bool relative);
// Where moveServerPointer's moves go out (XRCLib by default); tests replace
// it. Null restores the default.
using PointerMoveSink = void (*)(Head* head, bool relative, i32 x, i32 y);
void setPointerMoveSink(PointerMoveSink sink);
// The events from the head's server so far of `first` and of every client
// that selected crossings on the window the pointer is in, on `window` (0
// none) or on an ancestor of either are handled now, as any others (a
// round trip on each of their links, `first`'s first): the crossings that
// server told before a change of the proxy's input state are judged by the
// state before. Nothing while a move between servers settles its events.
void handlePointerCrossingsNow(Head* head, ProxyClient* first, u32 window);
// Makes the head the pointer's head at the current meta position.
void setPointerHead(Head* head);
// What other layers read: the pointer's head, the focus head, the meta
// position, whether a client's pointer grab is active and whether the
// pointer is polled.
Head* pointerHead();
Head* focusHead();
void setFocusHead(Head* head);
void lastPointerPosition(i32* x, i32* y);
bool pointerGrabPending();
bool pointerPollActive();
// syncInputAcrossHeads with warp and no client.
void movePointerToScreen(MetaScreen* screen, i32 x, i32 y);
// A head leaving its screen: its held-back move is dropped, rotation ends,
// and nothing keeps pointing at it as the pointer's, focus or display head.
void forgetHeadInput(Head* head);
// At a reset the heads' windows go with their connections: no head holds
// the pointer or the focus any more, so that probing places the pointer
// and sets the input up again as at start-up.
void forgetInputOnReset();

// --- Following the real pointer ---------------------------------------------------------------

// A real pointer position (x, y on the head's real screen) with its state;
// grab: the pointer is grabbed, so no crossing events come.
void trackServerPointer(ProxyClient* client, Head* head, i32 x, i32 y, u32 state, bool grab);
// With syncScreenSavers, wakes every display at most every 3000 ms: input
// on one server keeps the others' screens on.
void keepScreenSaversInStep();
// The polling timer's callback; re-arms itself with the polling interval.
void pointerTrackingTick(void* argument);
// (Re)starts polling with the current interval; nothing while none is pushed.
void restartPointerTracking();
// A QueryPointer reply for the tracking (reply-hook shape).
int handleTrackingPointerReply(ServerLink* link, const u8* reply, void* argument);
// The neighbour the pointer leaving the head's area enters.
Head* findNearestHead(Head* head, u32 state);
// Selects the mask on every head's inner window (through the client's links
// when a client is given).
void selectInputOnHeads(ProxyClient* client, u32 eventMask);
// The head's crossing area and pointer transformation from its geometry.
void computePointerTransformation(Head* head);
void startPointerTransformation(Head* head);

// --- Time, focus, cursor, rotation ------------------------------------------------------------

// A server's time stamp as meta time; never earlier than the last meta time
// when it comes from another display (compared modulo 2^32). 0 stays 0.
u32 translateServerTimestamp(u32 time, const ServerDisplay* display);
// The window the server's focus is set to for the proxy's focus id.
u32 getServerFocusWindow(u32 focus, ServerDisplay* display);
void applyInputFocusToHeads();
void beginPointerRotation(Head* head);
void endPointerRotation(Head* head);
void restartPointerRotation(Head* head);
// Hand or arrow cursor on an in-window head's cursor window.
void refreshHeadCursor(Head* head);

// --- Small predicates shared with input control and event intake ------------------------------

bool headDisplayOpen(const Head* head);
bool headIsOverlay(const Head* head);
bool headIsManaged(const Head* head);
bool headIconified(const Head* head);
// The head's auxiliary windows: the pan window catches the pointer on the
// input-control server while another head holds it; the click window (blank
// cursor) takes a click that moves input control to its server.
Window headPanWindow(const Head* head);
Window headClickWindow(const Head* head);

}  // namespace palvon
