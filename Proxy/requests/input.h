// The pointer, grab and focus requests (core majors 26 to 44) with their
// replies, and the rewriting of device events into the client's terms.
//
// The proxy holds the meta pointer, the grabs, the freezes and the focus
// (Proxy/events/grabs.h, Proxy/input/pointer.h); the real servers get what they need to
// produce the matching events and replies: grabs go to one head (the head
// holding the pointer, or the main head of the window's screen), passive
// grabs to every head of the window's screen, the focus to every server.
// Checks that the protocol answers with an error are sent as errors; checks
// of grab and focus times and of the grabbing client are logged on the
// Xhint channel and the request is dropped.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/dispatch.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct MetaScreen;
struct ServerLink;

// --- Request and reply handlers (Proxy/dispatch/rows/input.cpp) ----------------------------------
void ProcGrabPointer(u8* request, u32 length);
void ReplyGrabPointer(u8* reply, u32 length);
void ProcUngrabPointer(u8* request, u32 length);
void ProcGrabButton(u8* request, u32 length);
void ProcUngrabButton(u8* request, u32 length);
void ProcChangeActivePointerGrab(u8* request, u32 length);
void ProcGrabKeyboard(u8* request, u32 length);
void ReplyGrabKeyboard(u8* reply, u32 length);
void ProcUngrabKeyboard(u8* request, u32 length);
void ProcGrabKey(u8* request, u32 length);
void ProcUngrabKey(u8* request, u32 length);
void ProcAllowEvents(u8* request, u32 length);
void ProcGrabServer(u8* request, u32 length);
void ProcUngrabServer(u8* request, u32 length);
void ProcQueryPointer(u8* request, u32 length);
void ReplyQueryPointer(u8* reply, u32 length);
void ProcGetMotionEvents(u8* request, u32 length);
void ReplyGetMotionEvents(u8* reply, u32 length);
void ProcTranslateCoordinates(u8* request, u32 length);
void ReplyTranslateCoordinates(u8* reply, u32 length);
void ProcWarpPointer(u8* request, u32 length);
// Carries out the last warp held back while the pointer was frozen, once it
// no longer is (after the requests that thaw it).
void carryDeferredWarp();
// A warp of the client to meta (x, y) of the screen, or held back for
// carryDeferredWarp while the pointer is frozen.
void movePointerUnlessFrozen(ProxyClient* client, MetaScreen* screen, i32 x, i32 y);
// The screen and position of the move held back; null when none is.
MetaScreen* deferredPointerMove(i32* x, i32* y);
void ProcSetInputFocus(u8* request, u32 length);
void ProcGetInputFocus(u8* request, u32 length);
void ReplyGetInputFocus(u8* reply, u32 length);
void ProcQueryKeymap(u8* request, u32 length);
void ReplyQueryKeymap(u8* reply, u32 length);

// --- Device events ------------------------------------------------------------------------

// Rewrites a key, button or motion event of the current link (or an XInput
// device event laid out the same from byte 4: time, root, event window,
// child, root x/y, event x/y, state, same-screen) for the client: the head
// and meta position from the server's root and position, ids back to the
// client's, the time into meta time, the event position into the event
// window's meta coordinates. False when the event must be dropped.
bool translateDeviceEvent(u8* event);

// --- Shared by the handlers -----------------------------------------------------------------

// The head a pointer or keyboard grab on the window goes to: the head
// holding the pointer when the window is on the pointer's meta screen (or
// there is one screen, or the id is 0 to 2), else the window's main head.
Head* grabHeadFor(u32 window);
// The screen's main head (its first when none is named); null for none.
Head* mainHeadOf(const MetaScreen* screen);
// Whether the head is still one of a meta screen's heads (a head kept in a
// stash may have gone before the reply).
bool headIsLive(const Head* head);
// Copies the request to the head's server for the current client, rewritten
// and swapped; noted for in-order delivery when the client has two or more
// links. Without meta screens (head null) the client's first link takes it.
// The link, or null when the client has none there, or after BadAlloc when
// no copy could be made (*failed set).
ServerLink* forwardToHead(Head* head, const u8* request, u32 length, CopyRewrite rewrite, void* argument,
                          bool* failed = nullptr);
// The same without the note, for a request sent to several heads.
ServerLink* copyToHead(Head* head, const u8* request, u32 length, CopyRewrite rewrite, void* argument,
                       bool* failed = nullptr);

}  // namespace palvon
