// The core events a real server sends on a client's link, turned into the
// events the client would get from one X server showing the meta screen:
// ids back to the client's, coordinates back through the head's zoom and
// rotation, times into meta time. Of what several heads send for one
// request only the authoritative head's copy passes (keys from the keyboard
// head's server; buttons and crossings from the pointer head's; focus from
// the server that speaks for the screen, Proxy/events/relay.h;
// structure events from the screen's main head), crossings and focus
// changes that only move between heads inside one window cancel out, and
// exposures merge into one series. Key and button events also drive the
// passive and automatic grabs and the freezes (Proxy/events/grabs.h).
//
// Every handler runs inside a link's dispatch (currentLink, currentClient
// set) with the event already in the proxy's byte order and its sequence
// the client's (rows.h). An event sent with SendEvent passes untranslated.
// Main thread only.
#pragma once

#include <cstdint>

#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyClient;

// The handlers of the core event rows (Proxy/dispatch/rows/events.cpp).
void EventKeyPress(u8* event);
void EventKeyRelease(u8* event);
void EventButtonPress(u8* event);
void EventButtonRelease(u8* event);
void EventMotionNotify(u8* event);
void EventEnterNotify(u8* event);
void EventLeaveNotify(u8* event);
void EventFocusIn(u8* event);
void EventFocusOut(u8* event);
void EventKeymapNotify(u8* event);
void EventExpose(u8* event);
void EventGraphicsExpose(u8* event);
void EventNoExpose(u8* event);
void EventCreateNotify(u8* event);
void EventDestroyNotify(u8* event);
void EventUnmapNotify(u8* event);
void EventMapNotify(u8* event);
void EventMapRequest(u8* event);
void EventReparentNotify(u8* event);
void EventConfigureNotify(u8* event);
void EventConfigureRequest(u8* event);
void EventGravityNotify(u8* event);
void EventResizeRequest(u8* event);
void EventCirculateNotify(u8* event);
void EventCirculateRequest(u8* event);
void EventPropertyNotify(u8* event);
void EventSelectionClear(u8* event);
void EventSelectionRequest(u8* event);
void EventSelectionNotify(u8* event);
void EventColormapNotify(u8* event);
void EventClientMessage(u8* event);
void EventMappingNotify(u8* event);

// An EnterNotify or LeaveNotify translated in place: true when the client is
// to see it (its mask, or the grab's, has `maskBit`: EnterWindow 0x10 or
// LeaveWindow 0x20). `happened`, when given, tells whether the crossing is
// one of the meta screen's at all (not a head's edge), seen or not.
bool translateCrossingEvent(u8* event, u32 maskBit, bool* happened = nullptr);
// The head a FocusIn or FocusOut comes from (only the server that speaks
// for the window's screen counts, Proxy/events/relay.h); null drops it.
Head* translateFocusEvent(u8* event);

// Buttons the proxy offers past the input server's own (which cannot press
// them): the proxy reports a fake press or release itself, to the client a
// plain server would report it to, and keeps which of them are held.
void fakeOfferedButton(u32 button, bool press);
// Bit b - 1 for each such button b held.
u32 offeredButtonsHeld();
// A leaving client hears no releases of the presses it heard.
void forgetOfferedButtonsOf(const ProxyClient* client);

// Shared by the event handlers. An event sent with SendEvent is handed on
// untranslated, and so is every event while the proxy has no meta screens
// (links used alone, by tools and tests): true when it was.
bool passedUntranslated(u8* event);
// The event handed on (the recording hook
// first), and whether the current link's server is the one of that head
// (true without a head: a proxy without meta screens).
void deliverEvent(u8* event, uintptr_t tag = 0);
bool fromServerOf(const Head* head);
// Makes sure what comes for the event's request is held, so that other
// heads' copies can be merged with or cancel it; the entry, or null.
struct PendingRequest;
PendingRequest* holdingEntry(const u8* event, bool create);

}  // namespace palvon
