// Input that crosses servers. Two meta screens may live on two real
// servers, while the keys and the pointer a user works with arrive on one
// of them: what a plain server of several screens delivers to a window of
// the other screen (its focus, its grab) reaches it here.
//
// - Keys come to the clients from one server: the keyboard grab's head
//   while a client holds the keyboard, else the focus head (the other
//   servers park their focus on their key-grab window, and the proxy hands
//   their keys on).
// - A grab on a window of one server while the device's input arrives on
//   another is lent: the grabbing client also grabs that device on the
//   other server's key-grab window, so that what arrives there is the
//   grab's (its events are rewritten to the grab window) and the focus
//   windows there hear the grab as on one server.
// - Keys the proxy pressed on a server that stops taking the keys are let
//   go there, unheard, so that no modifier stays down on it.
// - The roots' PointerRoot and None focus changes are told by the proxy
//   itself when it has several servers: each server sees only its own
//   screens and parks its focus on another server's turn. (The crossings
//   the pointer's server cannot tell are Proxy/events/crossings.h's.)
// - One keyboard and one pointer state: the modifiers held and the locks
//   set on the input server are held and set on the pointer's server too,
//   and a drag's buttons carried there are let go there.
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyClient;
struct ServerDisplay;

// The head whose server's keys the clients get (see above).
Head* keyboardHead();
// Whether the focus changes the head's server reports for its windows are
// the clients': on the pointer's screen the pointer head's, on the focus
// head's screen the focus head's, elsewhere the screen's main head's.
bool speaksForFocus(const Head* head);
// Whether the proxy has several servers (and tells PointerRoot and None).
bool severalServers();
// Whether the server's button events are the clients': the pointer head's
// server's; and while a pointer grab's window lies on the input-control
// server, whose own pointer that grab then holds, that server's.
bool takesButtonsFrom(const ServerDisplay* server);

// --- Grabs lent to another server ---------------------------------------------------------------

// A grab the client asks for on `grabHead` also takes the device on the
// server where its input arrives, when that is another server (for the
// keyboard the focus head's, for the pointer the pointer head's): the
// device is grabbed on that head's key-grab window through the client's
// link, owner events off and both modes asynchronous (that server's device
// must keep flowing), the pointer with the grab's mask. A part the client's
// grab lent elsewhere is taken back first. The lending head, or null.
Head* lendGrab(ProxyClient* client, const Head* grabHead, bool keyboard, u16 eventMask);
// The grab window (client id) a key, button or motion event reported on a
// lending head's key-grab window stands for; 0 for any other event.
u32 lentGrabWindow(const u8* event, const ServerDisplay* server);
// A grab the proxy ends itself (not by the client's ungrab, which reaches
// every server): its lent part is ungrabbed through the client's link.
void endLentGrab(bool keyboard);
// A button grab of the client ended by the release of its last button
// while `lending` lent it (the pointer went to another screen's server):
// the lent grab ends, and the grab window's screen hears the pointer leave
// (announceGrabAcross).
void endButtonGrabAcross(ProxyClient* client, const Head* lending, u32 grabWindow, u16 state);

// --- Buttons of a drag onto another server ---------------------------------------------------------

// A button of the input server released under a grab on its windows while
// the pointer is on another server's head, which holds the button for the
// drag since the pointer came: let go there too, unheard.
void releaseCarriedButton(const ServerDisplay* from, u32 button);
// Whether a button event of the server is one of those releases (it is then
// dropped); a press of the button forgets it.
bool isUnheardButton(ServerDisplay* server, u32 button, bool pressed);

// --- Keys handed to another server ---------------------------------------------------------------

// A key the proxy pressed or released on the server (its keycode there).
void noteHandedKey(ServerDisplay* server, u32 key, bool pressed);
// Every key the proxy holds pressed on a server other than `keep` is
// released there, but for the keyboard's modifiers on the pointer's server
// (which keeps them while another takes the keys); those releases are
// marked to be heard by no client.
void releaseHandedKeys(const ServerDisplay* keep);
// The keys the input-control server holds down are pressed, unheard, on
// the head's server, which takes the keys from now on: their releases,
// handed on to it, reach its clients, and its state has their modifiers.
void handHeldKeysTo(const Head* head);
// The server's keys (its keycodes) pressed and released to match `keys`,
// none of it heard by a client: the keys held on the input-control server
// copied onto a server the pointer enters, or let go on one it leaves, are
// no typing of their own.
void setKeysUnheard(ServerDisplay* server, const u8* keys);
// The modifier keys the input server holds down, held on the head's server
// too (pressed and released there unheard to match), and its locks
// switched there, when that server does not take the keys: its buttons,
// motion, crossings and pointer state have the modifiers of the one
// keyboard, as on one server. Before a button goes there, after a modifier
// changed, and when the focus leaves that server.
void carryModifiersTo(const Head* head);
// The locks (CapsLock, NumLock) of the input server switched on or off on
// the head's server to match, each lock key pressed and let go there
// unheard: a server that takes the keys or the pointer from now on.
void matchLocksOn(const Head* head);
// The head's server's pointer state with the modifiers and locks of the
// input server's keyboard, carried there first when they differ: what a
// pointer query there reports.
u32 keyboardModifiersOn(const Head* head, u32 state);
// The pointer's buttons and modifiers now (a round trip to the head's
// server), with the keyboard's modifiers as above; 0 when it is offline.
u32 pointerStateOn(const Head* head);
// Whether a key event of the server is one of those presses or releases.
bool isUnheard(const ServerDisplay* server, u32 key, bool pressed);
// A server that hands its keys on holds the keyboard for the proxy while a
// key is down there (a grab on its key-grab window): that ends before its
// keyboard goes to a client, by the focus or by a client's grab, which the
// server would refuse otherwise.
void endProxyKeyGrab(const Head* head);

// --- PointerRoot and None ----------------------------------------------------------------------

// FocusIn or FocusOut (code) with the detail of `focus` (PointerRoot or
// None; other values do nothing) on every screen's root, in the mode,
// to each client that selected focus changes there. Nothing with one server.
void announceRootFocus(u8 code, u32 focus, u8 mode);

}  // namespace palvon
