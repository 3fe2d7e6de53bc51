// A display record's connection: opening it and saving what the proxy will
// change on the server, putting that back and freeing it when the
// connection closes, the connection's orders in the event loop, and the
// keyboard-map tool.
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>

#include "Proxy/config/config.h"
#include "Proxy/config/files.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/join/translucency.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/sync/selections.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/open.h"
#include "base/logging.h"
#include "base/orders.h"
#include "base/process.h"
#include "base/strlist.h"
#include "xsupport/misc.h"
#include "xsupport/power.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/keymap.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/rclib/rclib.h"
#include "xsupport/ximage.h"

namespace palvon {

namespace {

constexpr u32 kPointerButtonsMax = 32;

// Open connections, and the idle order that drains their queued events
// (alive while the count is above 0).
u32 openConnections;
Order* drainOrder;

void handleDisplayEvents(Display* display, bool readable) {
  if (lostServerHooks.processEvents) {
    lostServerHooks.processEvents(display, readable);
    return;
  }
  // Nobody takes the events yet: drop them so that the queue stays short.
  int mode = readable ? QueuedAfterReading : QueuedAlready;
  XEvent event;
  while (XfsEventsQueued(display, mode) > 0) XfsNextEvent(display, &event);
}

void onDisplayReadable(void* argument) {
  auto* server = static_cast<ServerDisplay*>(argument);
  if (!server->display || isDisplayOffline(server->display)) return;
  noteServerDisplayTraffic(server);
  handleDisplayEvents(server->display, true);
}

// Events that an Xlib call read along with its reply wait in the queue
// without the descriptor becoming readable again.
void drainQueuedEvents(void*) {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    Display* display = server->display;
    if (display && !isDisplayOffline(display) && XQLength(display) > 0) handleDisplayEvents(display, false);
  }
}

const char* offlineError(ServerDisplay* server, u32* status) {
  const char* text = displayOfflineText(server->display);
  *status = kHeadStatusOffline;
  disconnectServerDisplay(server, true);
  return text;
}

// Modifiers, keyboard mapping, pointer and power settings, and the physical
// input of a server the proxy does not take its input from.
const char* saveServerState(ServerDisplay* server, bool probeOnly) {
  Display* display = server->display;
  logStepf("Save modifiers from server %s", server->displayName);
  server->savedModifiers = xrcGetModifierState(display, kXrcKeyboard);
  if (const char* error = saveKeyboardAndPointer(server)) return error;
  if (proxyConfig.disableSlaveInput && inputControlDisplay && !probeOnly && inputControlDisplay != server) {
    logStepf("Disabling input on %s...", server->displayName);
    if (const char* error = xrcDisableInput(display)) LOGF(logChWarning, "%s", error);
    else server->inputDisabled = 1;
  }
  if (!server->savedPower) {
    server->savedPower = static_cast<PowerSettings*>(memCalloc(1, sizeof(PowerSettings)));
    if (!server->savedPower) return PALVON_OOM();
  }
  if (const char* error = xGetPowerSettings(display, server->savedPower)) return error;
  strlistFree(server->savedFontPathCount, server->savedFontPath);
  server->savedFontPathCount = 0, server->savedFontPath = nullptr;
  int paths = 0;
  char** path = XfsGetFontPath(display, &paths);
  bool copied = paths <= 0 || strlistCopy(&server->savedFontPathCount, &server->savedFontPath, u32(paths), path);
  if (path) XFreeFontPath(path);
  if (!copied) return PALVON_OOM();
  if (isDisplayOffline(display)) return displayOfflineText(display);
  server->stateSaved = 1;
  return nullptr;
}

void freeSavedKeyboard(ServerDisplay* server) {
  if (!server->savedKeyboard) return;
  xrcFreeKeyboardMapping(server->savedKeyboard);
  free(server->savedKeyboard);
  server->savedKeyboard = nullptr;
}

}  // namespace

const char* saveKeyboardAndPointer(ServerDisplay* server) {
  Display* display = server->display;
  freeSavedKeyboard(server);
  auto* keyboard = static_cast<KeyboardMappingSave*>(memCalloc(1, sizeof(KeyboardMappingSave)));
  if (!keyboard) return PALVON_OOM();
  if (const char* error = xrcSaveKeyboardMapping(display, 0, keyboard)) {
    xrcFreeKeyboardMapping(keyboard);
    free(keyboard);
    return error;
  }
  server->savedKeyboard = keyboard;
  if (!server->savedPointer) {
    server->savedPointer = static_cast<PointerSettings*>(memCalloc(1, sizeof(PointerSettings)));
    if (!server->savedPointer) return PALVON_OOM();
  }
  return savePointerSettings(display, server->savedPointer);
}

namespace {

// What preparing a freshly connected display found; the connection is
// closed by the caller, outside the guarded call.
struct Preparation {
  ServerDisplay* server;
  bool probeOnly;
  u32* status;
  const char* error;
  bool offline;  // the error is a broken or silent server
};

void failPreparation(Preparation* p, const char* error, u32 status, bool offline) {
  p->error = error;
  *p->status = status;
  p->offline = offline;
}

// Everything the proxy asks of a new server before its heads are made.
void prepareHeadDisplay(void* argument) {
  auto* p = static_cast<Preparation*>(argument);
  ServerDisplay* server = p->server;
  Display* display = server->display;
  logStepf("Starting remote control to %s...", server->displayName);
  if (const char* error = xrcAttachDisplay(display, kXrcFakeInput | kXrcGrabProof)) LOGF(logChWarning, "%s", error);
  if (isDisplayOffline(display)) return;
  for (Head* head = server->firstHead; head; head = head->nextOnDisplay) head->display = display;
  armOfflineTimeout(server);
  for (int s = 0; s < ScreenCount(display); s++) getDepthGC(display, s, DefaultDepth(display, s));
  if (!ximageDefaultFormat(display, &server->defaultImage))
    return failPreparation(p, PALVON_OOM(), kHeadStatusNoMemory, false);
  if (const char* error = saveServerState(server, p->probeOnly))
    return failPreparation(p, error, kHeadStatusOffline, true);
  if (server->keyboardMapText && *server->keyboardMapText) {
    logStepf("Setting keyboard mapping...");
    if (const char* error = runKeyboardMapTool(server)) return failPreparation(p, error, kHeadStatusConfig, false);
  }
  Window root = DefaultRootWindow(display);
  server->inputWindows[0] = xrcCreateInputWindow(display, root, 0, 0, 1, 1, 0);
  for (int i = 1; i < 3; i++) server->inputWindows[i] = xrcCreateInputWindow(display, server->inputWindows[0], 0, 0, 1, 1, 0);
  if (!(server->visualColormaps = createVisualColormaps(display)))
    return failPreparation(p, PALVON_OOM(), kHeadStatusNoMemory, false);
  if (server->selectionSync && !p->probeOnly) {
    if (const char* error = startSelectionSync(server, server->selectionRefresh))
      return failPreparation(p, error, kHeadStatusOffline, false);
  }
  int xkbMajor = 0, xkbEvent = 0, xkbError = 0;
  if (XfsQueryExtension(display, "XKEYBOARD", &xkbMajor, &xkbEvent, &xkbError))
    server->xkbMajor = u8(xkbMajor), server->xkbEvent = u8(xkbEvent);
  unsigned char map[kPointerButtonsMax];
  server->pointerButtons = u32(XfsGetPointerMapping(display, map, int(kPointerButtonsMax)));
  attachDisplayOrders(server);
  server->lockSelection = XfsInternAtom(display, kLockSelectionName, False);
  const char* fontName = proxyConfig.fontName ? proxyConfig.fontName : "fixed";
  if (server->lockSelection) server->textFont = XfsLoadQueryFont(display, fontName);
}

}  // namespace

bool runWhileOpening(Display* display, void (*work)(void*), void* argument) {
  // Its own time-outs bound a server opened before any client came.
  if (!xfsOpening(display)) {
    work(argument);
    return true;
  }
  // As one guarded call: a server that breaks or stalls in any of it (in
  // the plain library calls of the helpers too) is given up here, never
  // ends the proxy part-way.
  return xfsRun(display, work, argument);
}

const char* connectHeadDisplay(ServerDisplay* server, bool probeOnly, u32* status) {
  if (server->display) return nullptr;
  *status = kHeadStatusOffline;
  if (const char* error = openServerConnection(server, server->connectTimeoutMs)) return error;
  Preparation preparation{server, probeOnly, status, nullptr, false};
  bool answered = runWhileOpening(server->display, prepareHeadDisplay, &preparation);
  if (!answered || isDisplayOffline(server->display) || (!preparation.error && !server->lockSelection))
    return offlineError(server, status);
  if (preparation.error) {
    disconnectServerDisplay(server, preparation.offline);
    return preparation.error;
  }
  *status = 0;
  return nullptr;
}

// --- Closing -----------------------------------------------------------------------------

bool restoreServerState(ServerDisplay* server) {
  Display* display = server->display;
  if (!display || isDisplayOffline(display) || !server->stateSaved) return false;
  server->stateSaved = 0;
  logStepf("Restore modifiers on server %s", server->displayName);
  if (const char* error = xrcSetModifiers(display, kXrcKeyboard, server->savedModifiers, nullptr))
    LOGF(logChWarning, "%s", error);
  if (server->inputDisabled) {
    if (const char* error = xrcEnableInput(display)) LOGF(logChWarning, "%s", error);
    else server->inputDisabled = 0;
  }
  if (server->savedKeyboard) {
    if (const char* error = xrcRestoreKeyboardMapping(display, 0, server->savedKeyboard))
      LOGF(logChWarning, "%s", error);
  }
  if (server->savedPointer) restorePointerSettings(display, server->savedPointer);
  if (server->savedPower) xSetPowerSettings(display, server->savedPower);
  if (server->savedFontPathCount)
    XfsSetFontPath(display, server->savedFontPath, int(server->savedFontPathCount));
  strlistFree(server->savedFontPathCount, server->savedFontPath);
  server->savedFontPathCount = 0, server->savedFontPath = nullptr;
  return true;
}

void releaseServerState(ServerDisplay* server, bool offline) {
  Display* display = server->display;
  freeSavedKeyboard(server);
  free(server->keyboardMapText);
  server->keyboardMapText = nullptr;
  if (proxyConfig.options & kOptionTranslucent) stopTranslucencyOnDisplay(server);
  freeVisualColormaps(offline ? nullptr : display, server->visualColormaps);
  server->visualColormaps = nullptr;
  if (server->textFont) {
    // An offline connection takes no FreeFont: only the client-side copy goes.
    if (offline) XFreeFontInfo(nullptr, server->textFont, 1);
    else XfsFreeFont(display, server->textFont);
    server->textFont = nullptr;
  }
  if (server->selectionSync) stopSelectionSync(server);
  server->inputWindows[0] = server->inputWindows[1] = server->inputWindows[2] = 0;
}

// --- Event-loop orders -----------------------------------------------------------------------

void attachDisplayOrders(ServerDisplay* server) {
  if (server->readOrder || !server->display) return;
  server->readOrder = orderAddFd(ConnectionNumber(server->display), onDisplayReadable, server);
  if (!server->readOrder) return;
  if (++openConnections == 1) drainOrder = orderAddIdle(drainQueuedEvents, nullptr);
}

void detachDisplayOrders(ServerDisplay* server) {
  if (!server->readOrder) return;
  orderCancel(server->readOrder);
  server->readOrder = nullptr;
  if (openConnections && --openConnections == 0) {
    orderCancel(drainOrder);
    drainOrder = nullptr;
  }
}

// --- The keyboard-map tool ---------------------------------------------------------------------

const char* runKeyboardMapTool(ServerDisplay* server) {
  const char* text = server->keyboardMapText;
  if (!text || !*text) return nullptr;
  static char tool[kInstallPathSize], file[kInstallPathSize];
  if (const char* error = makeInstallPath("vorkel", kPathBin, tool)) return error;
  if (const char* error = makeInstallPath(text, kPathEtc, file)) return error;
  const char* target = server->configuredName[0] ? server->configuredName : server->displayName;
  // The words go to the program as they are: a map name a client set is
  // never read by a shell.
  char* argv[] = {tool, const_cast<char*>("-display"), const_cast<char*>(target), file, nullptr};
  pid_t pid = processSpawn(4, argv);
  if (pid <= 0) return tmpPrintf("system(%s -display %s %s) failed", tool, target, file);
  if (const char* error = processWait(pid)) return tmpPrintf("system(%s -display %s %s) failed: %s", tool, target, file, error);
  return nullptr;
}

}  // namespace palvon
