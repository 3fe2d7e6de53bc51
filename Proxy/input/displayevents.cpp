// Intake of the events on the proxy's own server connections: one handler
// per event type, in a table; every type the table lacks goes to the
// device-event and recording handler.
#include "Proxy/input/displayevents.h"

#include <X11/extensions/XInput.h>

#include <array>

#include "Proxy/config/config.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/events/grabs.h"
#include "Proxy/events/relay.h"
#include "Proxy/heads/geometry.h"
#include "Proxy/heads/headwindow.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/displayevents_handlers.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/join/serverjoin.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/startup.h"
#include "Proxy/sync/clocks.h"
#include "Proxy/sync/selections.h"
#include "base/logging.h"
#include "base/orders.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

// --- Lookups ---------------------------------------------------------------------------------

Head* findHeadByWindow(Display* display, Window window, Window Head::*which) {
  if (!window) return nullptr;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next)
      if (head->display == display && head->*which == window) return head;
  return nullptr;
}

bool nextEventIs(Display* display, int type) {
  if (XfsEventsQueued(display, QueuedAlready) <= 0) return false;
  XEvent next;
  XfsPeekEvent(display, &next);
  return next.type == type;
}

namespace {

constexpr u32 kDefaultThreshold = 4, kDefaultNumerator = 2, kDefaultDenominator = 1;

// --- Keys and buttons ------------------------------------------------------------------------

bool onKeyPress(DisplayEvents& d, XEvent* event) {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next)
    if (server->display == d.display) forwardKeyToPointerHead(server, event->xkey.keycode, true);
  d.inputSeen = true;
  return true;
}

bool onKeyRelease(DisplayEvents& d, XEvent* event) {
  d.inputSeen = true;
  if (offerRecordingHotkey(d.display, &event->xkey)) return true;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next)
    if (server->display == d.display) forwardKeyToPointerHead(server, event->xkey.keycode, false);
  return true;
}

// A button of the input-control server replayed where the pointer is.
void replayButton(DisplayEvents& d, const XButtonEvent& button, bool press) {
  Head* holder = inputState.pointerHead;
  if (!d.server || d.server != inputControlDisplay || !holder || holder->serverDisplay == d.server) return;
  if (!findHeadByWindow(d.display, button.window, &Head::trackingWindow) || !headDisplayOpen(holder)) return;
  if (button.button > xrcButtonCount(holder->display, kXrcMouse)) return;
  carryModifiersTo(holder);
  const char* error = press ? xrcPressButton(holder->display, kXrcMouse, button.button)
                            : xrcReleaseButton(holder->display, kXrcMouse, button.button);
  logProblem(error, __FILE__, __LINE__);
}

bool onButtonPress(DisplayEvents& d, XEvent* event) {
  d.inputSeen = true;
  const XButtonEvent& button = event->xbutton;
  replayButton(d, button, true);
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next)
      if (head->display == d.display && head->input.dragWindow && head->input.dragWindow == button.window)
        dragWindowWithPointer(d.display, head->window, head->overlayCursor, button.x_root, button.y_root);
  return true;
}

void transferInputByClick(Head* head, const XButtonEvent& button) {
  if (head->serverDisplay == inputControlDisplay) return;
  Head* holder = inputState.pointerHead;
  if (holder && !holder->clickTransfer) {
    LOGF(logChXhint, "Clicked into %s but clickTransfer from %s is off", head->name, holder->name);
    return;
  }
  head->input.inputControlNote = inputControlDisplay;
  i32 x = 0, y = 0;
  mapPointToHead(head, button.x_root, button.y_root, &x, &y);
  inputState.pointerX = x, inputState.pointerY = y;
  if (const char* error = switchInputControlToHead(kXrcMouse, head, 1)) LOGF(logChXhint, "%s", error);
}

bool onButtonRelease(DisplayEvents& d, XEvent* event) {
  d.inputSeen = true;
  const XButtonEvent& button = event->xbutton;
  replayButton(d, button, false);
  Head* head = findHeadByWindow(d.display, button.window, &Head::cursorWindow);
  if (head && isPlainClick(button.button, button.state)) transferInputByClick(head, button);
  return true;
}

// --- Motion ----------------------------------------------------------------------------------

bool onMotion(DisplayEvents& d, XEvent* event) {
  Head* holder = inputState.pointerHead;
  if (!d.server || d.server != inputControlDisplay || !holder || holder->serverDisplay == d.server) return true;
  if (nextEventIs(d.display, MotionNotify)) return true;
  const XMotionEvent& motion = event->xmotion;
  DisplayInput& in = d.server->input;
  i32 dx = 0, dy = 0;
  if (!motionDelta(in.lastPointerX, in.lastPointerY, motion.x_root, motion.y_root, &dx, &dy)) {
    Head* first = d.server->firstHead;
    in.lastPointerX = first ? first->clip.x + first->offsetX + first->clip.width / 2 : 0;
    in.lastPointerY = first ? first->clip.y + first->offsetY + first->clip.height / 2 : 0;
    return true;
  }
  in.lastPointerX = motion.x_root, in.lastPointerY = motion.y_root;
  // The keyboard's modifiers or locks changed since the last move: the
  // pointer's server holds them too before it moves.
  if (u8(motion.state) != in.motionModifiers) {
    in.motionModifiers = u8(motion.state);
    carryModifiersTo(holder);
  }
  if (!dx && !dy) return true;
  if (holder->scaler && holder->rotation) rotateVector(holder->scaler, &dx, &dy, false);
  warpPointerOnHead(kXrcMouse, u32(motion.time), holder, dx, dy);
  return true;
}

i32 accelerateAxis(i32 delta) {
  i32 threshold = proxyState.pointerAccelThreshold ? i32(proxyState.pointerAccelThreshold) : kDefaultThreshold;
  i32 numerator = proxyState.pointerAccelNumerator ? i32(proxyState.pointerAccelNumerator) : kDefaultNumerator;
  i32 denominator =
      proxyState.pointerAccelDenominator ? i32(proxyState.pointerAccelDenominator) : kDefaultDenominator;
  return accelerateDelta(delta, threshold, numerator, denominator);
}

void onDeviceMotion(DisplayEvents& d, const XDeviceMotionEvent& motion) {
  if (nextEventIs(d.display, motion.type)) return;
  i32 dx = 0, dy = 0;
  if (inputState.deviceRelative) {
    dx = motion.axis_data[0], dy = motion.axis_data[1];
  } else {
    bool first = inputState.deviceLastX == kNoDevicePosition;
    dx = motion.axis_data[0] - inputState.deviceLastX, dy = motion.axis_data[1] - inputState.deviceLastY;
    inputState.deviceLastX = motion.axis_data[0], inputState.deviceLastY = motion.axis_data[1];
    if (first) return;
  }
  Head* holder = inputState.pointerHead;
  if (!holder) return;
  dx = accelerateAxis(dx), dy = accelerateAxis(dy);
  if (holder->scaler && holder->rotation) rotateVector(holder->scaler, &dx, &dy, false);
  warpPointerOnHead(kXrcMouse, u32(motion.time), holder, dx, dy);
}

// The proxy's own device events (the null mouse's physical mouse), else a
// running recording's.
bool onOtherEvent(DisplayEvents& d, XEvent* event) {
  int type = event->type;
  Head* holder = inputState.pointerHead;
  bool pressed = type && type == inputState.devicePressType;
  if (pressed || (type && type == inputState.deviceReleaseType)) {
    if (!headDisplayOpen(holder)) return true;
    u32 button = reinterpret_cast<XDeviceButtonEvent*>(event)->button;
    const char* error = pressed ? xrcPressButton(holder->display, kXrcMouse, button)
                                : xrcReleaseButton(holder->display, kXrcMouse, button);
    logProblem(error, __FILE__, __LINE__);
    XfsFlush(holder->display);
    d.inputSeen = true;
    return true;
  }
  if (type && type == inputState.deviceMotionType) {
    onDeviceMotion(d, *reinterpret_cast<XDeviceMotionEvent*>(event));
    return true;
  }
  recordDisplayEvent(d.display, event);
  return true;
}

// --- Key state ---------------------------------------------------------------------------

void refreshKeyState(DisplayEvents& d) {
  if (d.server && inputControlDisplay && d.server != inputControlDisplay) return;
  xrcForgetKeyState(d.display);
}

bool onMapping(DisplayEvents& d, XEvent* event) {
  // A pointer mapping is asked for again: a round trip that must not hang
  // on a server that froze after sending the event.
  XfsRcMappingNotify(d.display, event);
  int request = event->xmapping.request;
  if (request == MappingModifier || request == MappingKeyboard) refreshKeyState(d);
  return true;
}

bool onEnter(DisplayEvents& d, XEvent* event) {
  const XCrossingEvent& crossing = event->xcrossing;
  Head* head = findHeadByWindow(d.display, crossing.window, &Head::window);
  if (head && head->inWindow) {
    if (head->input.colormapsFollowPointer) {
      installColormapsOnHead(head, nullptr);
      head->input.entered = 1;
    }
    if (d.server == inputControlDisplay && !head->noEntry) setPointerHead(head);
  }
  if (crossing.detail == NotifyAncestor || crossing.detail == NotifyVirtual) refreshKeyState(d);
  return true;
}

// --- Windows of the heads -----------------------------------------------------------------

bool onVisibility(DisplayEvents& d, XEvent* event) {
  const XVisibilityEvent& visibility = event->xvisibility;
  if (visibility.send_event) return true;
  Head* head = findHeadByWindow(d.display, visibility.window, &Head::window);
  if (!head) return true;
  bool obscured = visibility.state == VisibilityFullyObscured;
  if (obscured != bool(head->input.obscured)) {
    head->input.obscured = obscured;
    bool pointerGrabbed = inputState.pointerGrab.client && inputState.pointerHead == head;
    bool keyboardGrabbed = inputState.keyboardGrab.client && inputState.focusHead == head;
    if (obscured) {
      uninstallColormapsOnHead(head);
      if (pointerGrabbed) ungrabPointerOnDisplay(kXrcMouse, head, true);
      if (keyboardGrabbed) ungrabKeyboardOnDisplay(kXrcKeyboard, head, true);
    } else {
      installColormapsOnHead(head, nullptr);
      if (pointerGrabbed) grabPointerOnDisplay(kXrcMouse, head);
      if (keyboardGrabbed) grabKeyboardOnDisplay(kXrcKeyboard, head, true);
    }
  }
  applyHeadWindowState(head);
  return true;
}

// A head that cannot be taken out of its screen alone leaves the proxy
// without the windows it shows: the session ends as when it is closed.
void removeClosedHead(Head* head, bool fromDestroy) {
  const char* name = tmpCopy(head->name);
  const char* error = removeServerFromScreen(head, false);
  if (!error) return;
  if (fromDestroy) {
    LOGF(logChWarning, "%s", error);
  } else {
    logProblem(error, __FILE__, __LINE__);
  }
  exitProxy(tmpPrintf("Window %s closed", name), 0);
}

bool onDestroy(DisplayEvents& d, XEvent* event) {
  Head* head = findHeadByWindow(d.display, event->xdestroywindow.window, &Head::window);
  if (!head || !head->inWindow) return true;
  removeClosedHead(head, true);
  return false;
}

bool onConfigure(DisplayEvents& d, XEvent* event) {
  const XConfigureEvent& configure = event->xconfigure;
  if (configure.send_event) return true;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (head->display != d.display || !head->window) continue;
      if (head->window != configure.window && head->input.frame != configure.window) continue;
      Window child = 0;
      int x = 0, y = 0;
      XfsTranslateCoordinates(d.display, head->window, head->root, 0, 0, &x, &y, &child);
      if (isDisplayOffline(d.display)) return false;
      u32 width = u32(configure.width), height = u32(configure.height);
      XWindowAttributes frame{};
      if (head->inWindow && head->input.frame && head->input.frame != head->root &&
          XfsGetWindowAttributes(d.display, head->input.frame, &frame)) {
        width = u32(frame.width), height = u32(frame.height);
      } else if (configure.window != head->window) {
        continue;
      }
      setHeadWindowOrigin(head, x, y);
      setHeadWindowSize(head, width, height);
      applyHeadWindowState(head);
    }
  }
  return true;
}

bool onProperty(DisplayEvents& d, XEvent* event) {
  if (event->xproperty.send_event) return true;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (server->display != d.display) continue;
    if (isTimeSyncWindow(server, event->xproperty.window)) timeSyncAnswer(server, event->xproperty.time);
    else selectionSyncProperty(server, &event->xproperty);
  }
  return true;
}

bool onSelectionClear(DisplayEvents& d, XEvent* event) {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (server->display != d.display) continue;
    if (server->lockSelection && event->xselectionclear.selection == server->lockSelection) {
      // Another proxy took the server.
      logProblem(removeServer(server->configuredName), __FILE__, __LINE__);
      return false;
    }
    selectionSyncClear(server, &event->xselectionclear);
  }
  return true;
}

bool onSelectionRequest(DisplayEvents& d, XEvent* event) {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next)
    if (server->display == d.display) selectionSyncRequest(server, &event->xselectionrequest);
  return true;
}

bool onSelectionNotify(DisplayEvents& d, XEvent* event) {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next)
    if (server->display == d.display) selectionSyncNotify(server, &event->xselection);
  return true;
}

bool onColormap(DisplayEvents& d, XEvent* event) {
  const XColormapEvent& colormap = event->xcolormap;
  if (colormap.send_event || colormap.state != ColormapInstalled || colormap.c_new) return true;
  u64 now = ordersClock();
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (head->display != d.display || isHeadInactive(head)) continue;
      if (colormap.colormap != head->defaultColormap || !head->colormap || head->colormap == head->defaultColormap)
        continue;
      if (head->input.colormapUndoMs && now - head->input.colormapUndoMs < 1000) continue;
      head->input.colormapUndoMs = now;
      LOGF(logChXhint, "Undo default colormap re-installation on %s", head->name);
      installColormapsOnHead(head, nullptr);
    }
  }
  return true;
}

bool onClientMessage(DisplayEvents& d, XEvent* event) {
  Window closed = isWMDeleteMessage(event);
  Head* head = closed ? findHeadByWindow(d.display, closed, &Head::window) : nullptr;
  if (!head || !head->inWindow) return true;
  bool others = false;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* other = screen->heads; other; other = other->next)
      if (other != head && other->serverDisplay && other->serverDisplay != resourceServerDisplay) others = true;
  if (!others) exitProxy(tmpPrintf("Window %s closed", head->name), 0);
  removeClosedHead(head, false);
  return false;
}

using EventHandler = bool (*)(DisplayEvents& d, XEvent* event);

struct EventRow {
  int type;
  EventHandler handler;
};

constexpr EventRow kEventRows[] = {
    {KeyPress, onKeyPress},           {KeyRelease, onKeyRelease},
    {ButtonPress, onButtonPress},     {ButtonRelease, onButtonRelease},
    {MotionNotify, onMotion},         {EnterNotify, onEnter},
    {LeaveNotify, onLeaveNotify},     {VisibilityNotify, onVisibility},
    {DestroyNotify, onDestroy},       {ConfigureNotify, onConfigure},
    {PropertyNotify, onProperty},     {SelectionClear, onSelectionClear},
    {SelectionRequest, onSelectionRequest}, {SelectionNotify, onSelectionNotify},
    {ColormapNotify, onColormap},     {ClientMessage, onClientMessage},
    {MappingNotify, onMapping},
};

constexpr std::array<EventHandler, LASTEvent> kEventTable = [] {
  std::array<EventHandler, LASTEvent> table{};
  for (const EventRow& row : kEventRows) table[size_t(row.type)] = row.handler;
  return table;
}();

bool handleEvent(DisplayEvents& d, XEvent* event) {
  if (handleWindowDragEvent(d.display, event)) return true;
  int type = event->type;
  EventHandler handler = type > 0 && type < LASTEvent ? kEventTable[size_t(type)] : nullptr;
  return handler ? handler(d, event) : onOtherEvent(d, event);
}

void finishEvents(DisplayEvents& d) {
  if (proxyConfig.options & kOptionFailsafe) restartDisplayWatchdog(d.display);
  Head* holder = inputState.pointerHead;
  if (!headDisplayOpen(holder)) return;
  if (d.inputSeen && inputState.polling) {
    if (!inputState.inputSeen) inputState.inputSeen = 1;
    XfsSync(holder->display, False);
  } else {
    XfsFlush(holder->display);
  }
}

}  // namespace

namespace {

// A server that keeps sending must not hold the loop: after this many
// batches the rest is handled on the next turn of the loop.
constexpr int kMaxBatches = 64;

void resumeDisplayEvents(void* argument) {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next)
    if (server == argument && server->display) processDisplayEvents(server->display, false);
}

}  // namespace

void processDisplayEvents(Display* display, bool readable) {
  DisplayEvents d{display, findServerDisplay(display), false};
  for (int batch = 0;; batch++) {
    if (batch == kMaxBatches) {
      if (d.server) orderAddTimer(0, resumeDisplayEvents, d.server);
      finishEvents(d);
      return;
    }
    int count = XfsEventsQueued(display, readable ? QueuedAfterReading : QueuedAlready);
    if (count <= 0 || isDisplayOffline(display)) {
      if (isDisplayOffline(display)) cancelWindowDrag(display);
      finishEvents(d);
      return;
    }
    for (int i = 0; i < count; i++) {
      XEvent event;
      XfsNextEvent(display, &event);
      if (isDisplayOffline(display)) break;
      if (!handleEvent(d, &event)) return;
    }
  }
}

void installDisplayEventHooks() { lostServerHooks.processEvents = processDisplayEvents; }

void forwardKeyToPointerHead(ServerDisplay* server, u32 keycode, bool pressed) {
  // A server whose head has not the keys parks its focus on the key-grab
  // window, so its keyboard's keys come here whichever server it is.
  Head* holder = inputState.focusHead ? inputState.focusHead : inputState.pointerHead;
  if (!server || !holder || holder->serverDisplay == server) return;
  if (isUnheard(server, keycode, pressed)) return;
  if (!headDisplayOpen(holder)) return;
  u32 meta = headToMetaKeycode(kXrcKeyboard, keycode, server);
  if (!(meta & 0xff)) return;
  u32 key = metaToHeadKeycode(kXrcKeyboard, meta, holder);
  if (!isHeadKeycode(key, holder)) return;
  noteHandedKey(holder->serverDisplay, key, pressed);
  logProblem(xrcPressOrReleaseKey(holder->display, kXrcKeyboard, key, pressed), __FILE__, __LINE__);
}

}  // namespace palvon
