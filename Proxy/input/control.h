// Input control: one server display at a time lends its keyboard and mouse
// to the session (inputControlDisplay). The pointer can still move onto
// heads of other servers, where keys and buttons are replayed; those servers
// show the session's pointer as a telepointer, and a click into a head of
// another server can move input control there. This module switches input
// control, keeps the pan and click windows of every head in step with the
// head that holds the pointer, draws telepointers, translates keycodes
// between the meta keyboard and each server, and keeps the overlap
// bookkeeping that decides how often the pointer is polled.
//
// Main thread only. Errors of input-control library calls are logged and the
// work goes on.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct CursorRecord;
struct Head;
struct ProxyClient;
struct ServerDisplay;

// Globals of input control: its mode, the count of switches, and whether
// every head has been probed (before that a switch only records the display).
extern u32 inputControlMode;
extern u32 inputControlSwitches;
extern u8 headsReady;

// Moves input control to the display. Null, or the message when the display
// is not one of the session's servers.
const char* switchInputControl(u32 device, ServerDisplay* display, u32 mode);
// The same, with the pointer placed on the head (a click into it) rather
// than on the display's first head's meta screen.
const char* switchInputControlToHead(u32 device, Head* head, u32 mode);
// With disableSlaveInput: input on at the input-control display, off at the
// others.
void applyInputDisabling();
bool displayHasInWindowHead(const ServerDisplay* display);
// Maps, unmaps and stacks the pan and click windows of every head for the
// head that now holds the pointer (through the client's links when given).
void updateInputWindows(ProxyClient* client, Head* target, u32 mode);
// "Warping %s to center of %s..."; the display's last pointer position
// starts again from 0,0.
void warpPointerToHeadCenter(u32 device, ProxyClient* client, Head* head, u32 mode);

// --- Telepointers --------------------------------------------------------------------

// Null or "Out of memory (%s:%d)".
const char* createTelepointer(CursorRecord* cursor, u32 device, Head* head, bool withShape);
// Called when the meta pointer moves: shows, moves or hides the head's
// telepointer.
void updateTelepointer(Head* head, i32 x, i32 y);
void removeTelepointer(Head* head);
void leaveOverlayHead(Head* head, const XCrossingEvent* event);

// --- Overlaps and visibility ------------------------------------------------------------

// Marks heads covered by others and polls the pointer every 50 ms while
// any is.
void markOverlappingHeads();
void recomputeOverlappingHeads();
bool isHeadPointerTarget(const Head* head);
bool headNeedsPanWindow(const Head* head);
bool isScreenSharedWithOtherMetaScreen(const Head* head);
bool isHeadInactive(const Head* head);
void passFocusToSiblingHead(const char* reason, Head* head);

// --- Keycodes ------------------------------------------------------------------------------

// A meta keycode on the head's server: shifted by the difference of the
// minimum keycodes and clamped into the head's range; 0 stays 0; a keycode
// outside the meta range gives the head's minimum minus 1, which must never
// be sent (see isHeadKeycode).
u32 metaToHeadKeycode(u32 device, u32 keycode, const Head* head);
// A keycode of the server's core keyboard in the meta range (other devices
// unchanged); a low byte of 0 means there is no meta key.
u32 headToMetaKeycode(u32 device, u32 keycode, const ServerDisplay* display);
bool isHeadKeycode(u32 keycode, const Head* head);
// The same shifts for given ranges (pure, for the look-ups and their tests).
u32 shiftKeycodeToHead(u32 keycode, u32 metaMin, u32 metaMax, u32 headMin, u32 headMax);
u32 shiftKeycodeToMeta(u32 keycode, u32 serverMin, u32 metaMin);

}  // namespace palvon
