// XTEST.
#include "Xext/xinput/xtest.h"

#include <X11/X.h>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/relay.h"
#include "Proxy/events/translate.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/displayevents.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/requests/input.h"
#include "Proxy/requests/server.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Xext/extmodule.h"
#include "base/logging.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

constexpr u8 kGetVersion = 0, kCompareCursor = 1, kFakeInput = 2, kGrabControl = 3;
constexpr u32 kEventBytes = 32, kFakeInputBytes = 36;
// The first event code an extension can have; the codes below are core.
constexpr u8 kFirstExtensionEvent = 64;

bool emulated() { return proxyState.extensions.xtestThroughInputControl; }

// --- Version -------------------------------------------------------------------------

// Answered by the proxy: what it does with fake input does not depend on
// the servers' versions.
void ProcXTestGetVersion(u8* request, u32) {
  u8 reply[32] = {};
  reply[1] = 2;
  put16(reply + 2, static_cast<u16>(currentClient->requestCounter));
  put16(reply + 8, 2);
  sendComposedReply(request[0], request[1], reply, sizeof reply, "bbsis", currentClient);
}

void ReplyXTestGetVersion(u8* reply, u32 length) {
  u16 version = offeredVersion(kModuleXTest);
  reply[1] = static_cast<u8>(version / 64);
  if (length >= 10) put16(reply + 8, version % 64);
  sendReplyToClient(reply, length, "bbsis");
}

// --- CompareCursor -------------------------------------------------------------------

void rewriteCompareCursor(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_WINDOW, target.head));
  u32 cursor = get32(copy + 8);
  // None and CurrentCursor are values, not ids.
  if (cursor > 1) put32(copy + 8, translateXid(cursor, RT_CURSOR, target.head));
}

void answerCompareCursor(const u8* request, bool same) {
  u8 reply[32] = {};
  reply[1] = same ? 1 : 0;
  put16(reply + 2, static_cast<u16>(currentClient->requestCounter));
  sendComposedReply(request[0], request[1], reply, sizeof reply, "bbsi", currentClient);
}

const CursorRecord* windowCursor(const ProxyWindow* window) { return window->cursor; }

// The proxy knows every window's cursor and the pointer's place.
void compareCursorHere(u8* request, u32 length, ProxyWindow* window) {
  u32 cursor = get32(request + 8);
  if (cursor == None) return answerCompareCursor(request, windowCursor(window) == nullptr);
  if (cursor == 1) {
    Head* head = nullptr;
    i32 x = 0, y = 0;
    Head* input = inputControlHead();
    const char* failure = input && input->display ? queryMetaPointer(input->display, currentClient, &head, &x, &y)
                                                  : "No input-control display";
    if (failure) {
      logProblem(failure, __FILE__, __LINE__);
      return answerCompareCursor(request, false);
    }
    return answerCompareCursor(request, effectiveCursorAt(kXrcMouse, x, y) == windowCursor(window));
  }
  auto* record = static_cast<CursorRecord*>(lookupResourceByType(cursor, RT_CURSOR));
  if (!record) return sendXError(BadCursor, cursor, request, length, nullptr);
  answerCompareCursor(request, record == windowCursor(window));
}

void ProcXTestCompareCursor(u8* request, u32 length) {
  u32 id = get32(request + 4);
  ProxyWindow* window = lookupWindow(id);
  if (emulated()) {
    if (!window) return sendXError(BadWindow, id, request, length, nullptr);
    return compareCursorHere(request, length, window);
  }
  setRequestResource(currentClient, id);
  // The head holding the pointer shows the cursor in force, when it is on
  // the window's screen.
  Head* pointer = pointerHead();
  bool here = pointer && window && pointer->metaScreen == window->screen;
  Route route = here ? Route::kPointerHead : Route::kMainHead;
  // No server to ask (every one lost): the cursor cannot be compared.
  if (!firstTargetLink(route)) return answerCompareCursor(request, false);
  forwardRequestTo(route, request, length, rewriteCompareCursor, nullptr);
}

// --- FakeInput -----------------------------------------------------------------------

void logFailure(const char* failure) {
  if (failure) logProblem(failure, __FILE__, __LINE__);
}

// The screen an absolute motion names: its root, else the pointer's screen.
MetaScreen* motionScreen(u32 root) {
  if (root != None) return findMetaScreenByRoot(root);
  Head* head = pointerHead();
  return head ? head->metaScreen : firstMetaScreen();
}

// A server knows only its own screen: the proxy chooses the head under the
// meta position and moves the pointer there itself.
void moveAbsolute(u8* request, u32 length) {
  u32 root = get32(request + 12);
  MetaScreen* screen = motionScreen(root);
  if (!screen) return sendXError(BadWindow, root, request, length, nullptr);
  i32 x = static_cast<i16>(get16(request + 24)), y = static_cast<i16>(get16(request + 26));
  movePointerUnlessFrozen(currentClient, screen, x, y);
}

// A relative move goes from the meta position (or from where a move held
// back for a frozen pointer goes): the server would stop it at the edge of
// its own screen, and another head goes on beyond.
void moveRelative(const u8* request) {
  i32 x = 0, y = 0;
  MetaScreen* screen = deferredPointerMove(&x, &y);
  if (!screen) {
    Head* head = nullptr;
    const char* failure = queryMetaPointer(nullptr, currentClient, &head, &x, &y);
    if (failure || !head) return logFailure(failure);
    screen = head->metaScreen;
  }
  x += static_cast<i16>(get16(request + 24));
  y += static_cast<i16>(get16(request + 26));
  movePointerUnlessFrozen(currentClient, screen, x, y);
}

// The copy for the input-control head: an extension's event type in that
// server's numbering, the key in its keycodes, the meta root its real root.
void rewriteFakeInput(u8* copy, u32 length, const RouteTarget& target, void*) {
  u8 type = copy[4];
  const ServerLink* link = target.link;
  // A device event is followed by its DeviceValuator events, extension
  // events as well.
  if (link->server.codes)
    for (u32 at = 4; at + kEventBytes <= length; at += kEventBytes)
      if (copy[at] >= kFirstExtensionEvent) copy[at] = link->server.codes->eventToServer[copy[at]];
  if (!target.head) return;
  if (type == KeyPress || type == KeyRelease)
    copy[5] = static_cast<u8>(metaToHeadKeycode(kXrcKeyboard, copy[5], target.head));
  u32 root = get32(copy + 12);
  if (root != None && findMetaScreenByRoot(root)) put32(copy + 12, static_cast<u32>(target.head->root));
}

// A modifier or lock faked on the input server while the pointer is on a
// server that does not take the keys is held or switched there too before
// the faker hears back: that server's motion, crossings and buttons report
// it next, as one server's state does.
void carryFakedModifier(u8 type, u8 detail) {
  Head* input = inputControlHead();
  Head* holder = pointerHead();
  if ((type != KeyPress && type != KeyRelease) || !input || !holder || !input->display ||
      holder->serverDisplay == input->serverDisplay)
    return;
  u32 key = metaToHeadKeycode(kXrcKeyboard, detail, input);
  if (!xrcModifierMaskOfKeycode(input->display, kXrcKeyboard, key)) return;
  if (ServerLink* link = clientLink(currentClient, input->serverIndex)) logFailure(syncServerLink(link));
  carryModifiersTo(holder);
}

// Emulation waits for what the client sent before to reach the server, so
// that the fake input follows it as it would on one server.
Display* readyInputDisplay() {
  Head* head = inputControlHead();
  if (!head || !head->display) return nullptr;
  ServerLink* link = currentClient->links && head->serverIndex < currentClient->linkCount
                         ? currentClient->links[head->serverIndex]
                         : nullptr;
  if (link) logFailure(syncServerLink(link));
  return head->display;
}

// Through the input-control library; false for a type it does not carry.
bool fakeThroughLibrary(u8* request, u32 length) {
  u8 type = request[4], detail = request[5];
  switch (type) {
    case KeyPress:
    case KeyRelease: {
      if (detail < proxyState.minKeycode || detail > proxyState.maxKeycode) {
        sendXError(BadValue, detail, request, length, nullptr);
        return true;
      }
      Display* display = readyInputDisplay();
      if (!display) return true;
      u32 keycode = metaToHeadKeycode(kXrcKeyboard, detail, inputControlHead());
      logFailure(type == KeyPress ? xrcPressKey(display, kXrcKeyboard, keycode)
                                  : xrcReleaseKey(display, kXrcKeyboard, keycode));
      carryFakedModifier(type, detail);
      return true;
    }
    case ButtonPress:
    case ButtonRelease: {
      if (detail == 0 || detail > offeredPointerButtons()) {
        sendXError(BadValue, detail, request, length, nullptr);
        return true;
      }
      Display* display = readyInputDisplay();
      if (!display) return true;
      logFailure(type == ButtonPress ? xrcPressButton(display, kXrcMouse, detail)
                                     : xrcReleaseButton(display, kXrcMouse, detail));
      return true;
    }
    case MotionNotify: {
      Display* display = readyInputDisplay();
      if (!detail) {
        moveAbsolute(request, length);
      } else if (display) {
        moveRelative(request);
      }
      return true;
    }
    default:
      return false;
  }
}

// Keys and buttons faked before went to the input-control server, which
// hands them on to the server of `to` (the pointer's or the keyboard
// focus's head) through the proxy's own connection. A move the proxy makes
// itself waits until they are there: one server keeps its input in order,
// and a grab that freezes on a key must see the key before the motion.
void catchUpForwardedInput(Head* to) {
  Head* input = inputControlHead();
  if (!input || !to || !input->display) return;
  // The input server has it all before the move, also when the pointer is
  // on its head: a key it reports once the pointer is on another server's
  // is no longer the clients'.
  if (ServerLink* link = clientLink(currentClient, input->serverIndex)) logFailure(syncServerLink(link));
  if (input->serverDisplay == to->serverDisplay) return;
  XfsSync(input->display, False);
  processDisplayEvents(input->display, false);
  // Handed on through another connection than the client's: the server has
  // them once it answered a round trip there.
  if (to->display) XfsSync(to->display, False);
}

// A plain server has given a faked key or button to every client before it
// answers the faker's next request (a test's sync, then a look at the
// queue). Handed on to another server, it is waited for there; the faker's
// own events from there are read before anything else it is answered (its
// next answer may come from another server), and every other client's were
// written out by that server before the faker hears back, so they come
// before whatever those clients ask next.
void deliverHandedOnInput(u8 type) {
  Head* input = inputControlHead();
  Head* to = type == KeyPress || type == KeyRelease ? focusHead() : nullptr;
  if (!to) to = pointerHead();
  if (!input || !to || !headDisplayOpen(to) || input->serverDisplay == to->serverDisplay) return;
  // A move the faker made there went on its own link (a warp): the server
  // has it before the key or button, which comes through another
  // connection.
  ServerLink* link = clientLink(currentClient, to->serverIndex);
  if (link && !serverLinkQuiet(link)) logFailure(syncServerLink(link));
  catchUpForwardedInput(to);
  if (link) logFailure(syncServerLink(link));
}

// A button the proxy offers that the input-control server lacks: the proxy
// reports it itself.
bool fakeButtonPastTheServers(const u8* request) {
  u8 type = request[4], button = request[5];
  if (type != ButtonPress && type != ButtonRelease) return false;
  Head* input = inputControlHead();
  u32 own = input ? serverButtonCount(input->serverDisplay) : 0;
  if (!own || button <= own || button > offeredPointerButtons()) return false;
  fakeOfferedButton(button, type == ButtonPress);
  return true;
}

void ProcXTestFakeInput(u8* request, u32 length) {
  // Only an input device's event comes with more (its valuators).
  if ((request[4] & 0x7f) < kFirstExtensionEvent && length != kFakeInputBytes)
    return sendXError(BadLength, length, request, length, nullptr);
  // A delay is the proxy's to wait out, never a server's: the server would
  // hold the faker's link for it, and every round trip the proxy makes
  // there on anyone's behalf. The fake is made when the delay is over, as
  // one without a delay, and only the faker's requests wait meanwhile, as
  // on a plain server.
  if (u32 delay = get32(request + 8)) {
    put32(request + 8, 0);
    if (!runRequestLater(currentClient, request, length, delay)) sendXError(BadAlloc, 0, request, length, nullptr);
    return;
  }
  if (fakeButtonPastTheServers(request)) return;
  if (emulated() && fakeThroughLibrary(request, length)) return;
  u8 type = request[4];
  if (type == MotionNotify) {
    catchUpForwardedInput(pointerHead());
    return request[5] ? moveRelative(request) : moveAbsolute(request, length);
  }
  // Emulated, the input-control server may lack XTEST: what the library
  // does not carry cannot reach it.
  ServerLink* link = firstTargetLink(Route::kInputHead);
  if (!link || !linkHasExtension(link, request[0])) return;
  forwardRequestTo(Route::kInputHead, request, length, rewriteFakeInput, nullptr);
  if (type >= KeyPress && type <= ButtonRelease) deliverHandedOnInput(type);
  carryFakedModifier(type, request[5]);
}

// --- GrabControl ---------------------------------------------------------------------

void ProcXTestGrabControl(u8* request, u32 length) {
  // Emulated input is made by the proxy's own connection, which other
  // clients' grabs do not hold back; the servers have nothing to do.
  if (emulated()) return;
  forwardRequest(request, length);
}

constexpr RequestRow kRequests[] = {
    {kGetVersion, "XTestGetVersion", ProcXTestGetVersion, ReplyXTestGetVersion, "bbsbbs", "bbsis", exactSize(8),
     Route::kLocal},
    {kCompareCursor, "XTestCompareCursor", ProcXTestCompareCursor, nullptr, "bbsii", "bbsi", exactSize(12),
     Route::kMainHead},
    // One event, or an input device's event and its DeviceValuator events
    // (32 bytes each), as a plain server takes them.
    {kFakeInput, "XTestFakeInput", ProcXTestFakeInput, nullptr, "bbsbbsiiiissbbbbbbbb[bbssbbiiiiii]", "",
     listSize(kFakeInputBytes, kEventBytes), Route::kInputHead},
    {kGrabControl, "XTestGrabControl", ProcXTestGrabControl, nullptr, "bbs", "", exactSize(8), Route::kEveryServer},
};

}  // namespace

const char* initXTestExtension(ExtensionEntry* entry) {
  return registerModule(entry, "XTEST", {kRequests, rowCount(kRequests), nullptr, 0, nullptr, 0},
                        {kModuleXTest, nullptr, nullptr, false});
}

}  // namespace palvon
