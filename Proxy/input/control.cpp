// Switching input control between server displays, the pan and click
// windows that follow the pointer's head, overlaps of heads, and the
// keycode shifts between the meta keyboard and each server.
#include "Proxy/input/control.h"

#include <algorithm>
#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "base/rect.h"
#include "xsupport/power.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/keymap.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

u32 inputControlMode;
u32 inputControlSwitches;
u8 headsReady;

namespace {

constexpr u32 kOverlapPollMs = 50;
bool overlapPollPushed;

void logProblemText(const char* text) { logProblem(text, __FILE__, __LINE__); }

bool onServerList(const ServerDisplay* display) {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next)
    if (server == display) return true;
  return false;
}

void enableInputAgain(ServerDisplay* server) {
  if (!server || !server->inputDisabled || !server->display) return;
  if (const char* error = xrcEnableInput(server->display)) {
    LOGF(logChWarning, "%s", error);
    return;
  }
  server->inputDisabled = 0;
}

// Keyboard mapping and pointer settings of the display, kept to be put back.
const char* saveInputSettings(ServerDisplay* server) {
  if (!server->savedKeyboard)
    server->savedKeyboard = static_cast<KeyboardMappingSave*>(calloc(1, sizeof(KeyboardMappingSave)));
  if (!server->savedPointer) server->savedPointer = static_cast<PointerSettings*>(calloc(1, sizeof(PointerSettings)));
  if (!server->savedKeyboard || !server->savedPointer) return PALVON_OOM();
  xrcFreeKeyboardMapping(server->savedKeyboard);
  if (const char* error = xrcSaveKeyboardMapping(server->display, 0, server->savedKeyboard)) return error;
  return savePointerSettings(server->display, server->savedPointer);
}

void restoreInputSettings(ServerDisplay* server) {
  if (server->savedKeyboard) {
    if (const char* error = xrcRestoreKeyboardMapping(server->display, 0, server->savedKeyboard))
      LOGF(logChWarning, "%s", error);
  }
  if (server->savedPointer) restorePointerSettings(server->display, server->savedPointer);
}

void releaseKeysAndButtons(ServerDisplay* server) {
  if (!server || !server->display || isDisplayOffline(server->display)) return;
  logProblemText(xrcReleaseAllKeys(server->display, kXrcKeyboard));
  logProblemText(xrcReleaseAllButtons(server->display, kXrcMouse));
}

const char* switchControl(u32 device, ServerDisplay* target, Head* onHead, u32 mode) {
  if (inputControlDisplay && !inputControlDisplay->display) inputControlDisplay = nullptr;
  if (!target || (clientCount && !onServerList(target)))
    return tmpPrintf("Can't switch input control to unappended X server '%s'", target ? target->displayName : "");
  ServerDisplay* current = inputControlDisplay;
  if (target == current) return nullptr;
  LOGF(logChStep, "Switching input control to %s by %s ...", target->displayName, clientName(currentClient));
  enableInputAgain(target);
  enableInputAgain(current);
  if (current && current->display && !displayHasInWindowHead(current))
    if (const char* error = saveInputSettings(current)) LOGF(logChWarning, "%s", error);
  Head* holder = inputState.pointerHead;
  if (displayHasInWindowHead(target) && (!holder || holder->serverDisplay != target))
    logProblemText(saveInputSettings(target));
  if (current && current->display && displayHasInWindowHead(current)) restoreInputSettings(current);
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next)
      if (headDisplayOpen(head) && headClickWindow(head))
        logProblemText(xrcSetBlankCursor(head->display, int(head->screen), headClickWindow(head), kXrcMouse));
  if (!headsReady) {
    inputControlDisplay = target;
    inputControlMode = mode;
    applyInputDisabling();
    return nullptr;
  }
  releaseKeysAndButtons(current);
  releaseKeysAndButtons(target);
  Head* landing = onHead ? onHead : target->firstHead;
  if (landing && landing->metaScreen)
    syncInputAcrossHeads(device, nullptr, landing->metaScreen, inputState.pointerX, inputState.pointerY, true);
  if (current) current->inputControlActive = 0;
  inputControlDisplay = target;
  target->inputControlActive = 1;
  inputControlMode = mode;
  target->input.pointerHead = findPointerHeadOnDisplay(device, target);
  applyInputDisabling();
  if (proxyConfig.syncScreenSavers && serverDisplayCount >= 2 && target->savedPower) {
    for (ServerDisplay* server = serverDisplayList; server; server = server->next)
      if (server->display && server->firstHead && !server->firstHead->inWindow)
        xSetPowerSettings(server->display, target->savedPower);
  }
  updateInputWindows(nullptr, inputState.pointerHead, 1);
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next) refreshHeadCursor(head);
  for (ServerDisplay* server = serverDisplayList; server; server = server->next)
    if (server->display) XfsSync(server->display, False);
  markOverlappingHeads();
  inputControlSwitches++;
  return nullptr;
}

ServerLink* linkTo(ProxyClient* client, const Head* head) {
  return client && head->serverIndex < client->linkCount ? client->links[head->serverIndex] : nullptr;
}

void showWindow(ProxyClient* client, Head* head, Window window, bool show) {
  if (ServerLink* link = linkTo(client, head)) {
    if (show) {
      xprotoMapWindow(&link->writer, u32(window));
      xprotoRaiseWindow(&link->writer, u32(window));
    } else {
      xprotoUnmapWindow(&link->writer, u32(window));
      xprotoLowerWindow(&link->writer, u32(window));
    }
    return;
  }
  if (show) {
    XfsMapRaised(head->display, window);
  } else {
    XfsUnmapWindow(head->display, window);
    XfsLowerWindow(head->display, window);
  }
}

}  // namespace

const char* switchInputControl(u32 device, ServerDisplay* display, u32 mode) {
  return switchControl(device, display, nullptr, mode);
}

const char* switchInputControlToHead(u32 device, Head* head, u32 mode) {
  return switchControl(device, head ? head->serverDisplay : nullptr, head, mode);
}

void applyInputDisabling() {
  if (!proxyConfig.disableSlaveInput) return;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (!server->display || isDisplayOffline(server->display)) continue;
    if (server == inputControlDisplay) {
      if (!server->inputDisabled) continue;
      const char* error = xrcEnableInput(server->display);
      logProblemText(error);
      if (!error) server->inputDisabled = 0;
    } else if (!server->inputDisabled) {
      const char* error = xrcDisableInput(server->display);
      logProblemText(error);
      if (!error) server->inputDisabled = 1;
    }
  }
}

bool displayHasInWindowHead(const ServerDisplay* display) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next)
      if (head->serverDisplay == display && head->inWindow) return true;
  return false;
}

void updateInputWindows(ProxyClient* client, Head* target, u32 mode) {
  const ServerDisplay* targetDisplay = target ? target->serverDisplay : nullptr;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      Window pan = headPanWindow(head), click = headClickWindow(head);
      if (!pan || !headDisplayOpen(head)) continue;
      if (head->serverDisplay != inputControlDisplay || head->serverDisplay == targetDisplay) {
        showWindow(client, head, pan, false);
        if (click && head->serverDisplay != targetDisplay && !head->input.clickShown) {
          // The click must reach the proxy, not the clients below.
          XfsSelectInput(head->display, click, ButtonPressMask | ButtonReleaseMask);
          showWindow(client, head, click, true);
          head->input.clickShown = 1;
        } else if (click && head->serverDisplay == targetDisplay && head->input.clickShown) {
          showWindow(client, head, click, false);
          head->input.clickShown = 0;
        }
      } else {
        showWindow(client, head, pan, true);
      }
      if (!client) XfsFlush(head->display);
    }
  }
  ServerDisplay* control = inputControlDisplay;
  if (control && control != targetDisplay && control->display) {
    Head* centre = control->input.pointerHead ? control->input.pointerHead : control->firstHead;
    if (centre) warpPointerToHeadCenter(kXrcMouse, client, centre, mode);
  }
}

void warpPointerToHeadCenter(u32 device, ProxyClient* client, Head* head, u32 mode) {
  if (!headDisplayOpen(head)) return;
  LOGF(logChStep, "Warping %s to center of %s...", xrcDeviceName(head->display, device), head->name);
  i32 x = head->clip.x + head->offsetX + head->clip.width / 2;
  i32 y = head->clip.y + head->offsetY + head->clip.height / 2;
  // The motion the warp itself causes is no motion of the user's: counted
  // from 0,0 it would move the pointer's head by the centre's position on a
  // head small enough for that to look like a step.
  head->serverDisplay->input.lastPointerX = x;
  head->serverDisplay->input.lastPointerY = y;
  if (ServerLink* link = linkTo(client, head)) {
    requestWarpPointer(link, u32(head->root), i16(x), i16(y));
    if (mode == 1) logProblemText(flushServerLink(link));
    return;
  }
  logProblemText(xrcMovePointer(head->display, device, int(head->screen), x, y, int(mode == 1)));
}

// --- Overlaps and visibility -----------------------------------------------------------------

void markOverlappingHeads() {
  if (overlapPollPushed) popPointerPollInterval(kXrcMouse);
  overlapPollPushed = false;
  bool any = false;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) head->input.overlapped = 0;
    for (Head* a = screen->heads; a; a = a->next) {
      for (Head* b = screen->heads; b; b = b->next) {
        if (a == b || b->pointerHidden) continue;
        Rect ra{a->logical.x, a->logical.y, u32(std::max(a->logical.width, 0)), u32(std::max(a->logical.height, 0))};
        Rect rb{b->logical.x, b->logical.y, u32(std::max(b->logical.width, 0)), u32(std::max(b->logical.height, 0))};
        Rect both;
        rectIntersect(&both, ra, rb);
        if (!both.width || !both.height) continue;
        if (!b->inWindow && a->inWindow && headIsOverlay(a) && a->serverDisplay == b->serverDisplay) continue;
        if (b->serverDisplay == inputControlDisplay && a->serverDisplay != inputControlDisplay) continue;
        b->input.overlapped = 1;
        any = true;
      }
    }
  }
  if (any) {
    pushPointerPollInterval(kXrcMouse, kOverlapPollMs);
    overlapPollPushed = true;
  }
}

void recomputeOverlappingHeads() { markOverlappingHeads(); }

bool isHeadPointerTarget(const Head* head) { return !head->inWindow || head->input.frame == head->root; }

bool headNeedsPanWindow(const Head* head) {
  if (!isHeadPointerTarget(head)) return true;
  if (!head->metaScreen) return false;
  for (Head* other = head->metaScreen->heads; other; other = other->next)
    if (other != head && !other->inWindow && !other->pointerHidden && !other->noEntry &&
        other->serverDisplay == head->serverDisplay)
      return true;
  return false;
}

bool isScreenSharedWithOtherMetaScreen(const Head* head) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    if (screen == head->metaScreen) continue;
    for (Head* other = screen->heads; other; other = other->next)
      if (other->serverDisplay == head->serverDisplay && other->screen == head->screen) return true;
  }
  return false;
}

namespace {

bool sameServerScreen(const Head* a, const Head* b) {
  return a->serverDisplay == b->serverDisplay && a->screen == b->screen;
}

}  // namespace

bool isHeadInactive(const Head* head) {
  if (head->inWindow) {
    if (head->input.obscured) return true;
    if (headIsOverlay(head)) return false;
    if (isHeadPointerTarget(head)) return false;
    for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
      for (Head* other = screen->heads; other; other = other->next)
        if (other != head && !other->inWindow && sameServerScreen(other, head)) return false;
    if (head->metaScreen)
      for (Head* other = head->metaScreen->heads; other && other != head; other = other->next)
        if (other->inWindow && sameServerScreen(other, head)) return false;
    return true;
  }
  const Head* holder = inputState.pointerHead;
  bool onPointerScreen = holder && holder->metaScreen == head->metaScreen;
  return !onPointerScreen && isScreenSharedWithOtherMetaScreen(head);
}

void passFocusToSiblingHead([[maybe_unused]] const char* reason, Head* head) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* other = screen->heads; other; other = other->next) {
      if (other == head || !sameServerScreen(other, head) || isHeadInactive(other)) continue;
      installColormapsOnHead(other, nullptr);
      return;
    }
  }
}

// --- Keycodes --------------------------------------------------------------------------------

namespace {

constexpr u32 kMetaMinDefault = 8, kMetaMaxDefault = 255;

u32 metaMin() { return proxyState.minKeycode ? proxyState.minKeycode : kMetaMinDefault; }
u32 metaMax() { return proxyState.maxKeycode ? proxyState.maxKeycode : kMetaMaxDefault; }

}  // namespace

u32 shiftKeycodeToHead(u32 keycode, u32 metaLow, u32 metaHigh, u32 headLow, u32 headHigh) {
  if (!keycode) return 0;
  if (keycode < metaLow || keycode > metaHigh) return headLow - 1;
  i64 shifted = i64(keycode) + i64(headLow) - i64(metaLow);
  return u32(std::clamp<i64>(shifted, headLow, headHigh));
}

u32 shiftKeycodeToMeta(u32 keycode, u32 serverMin, u32 metaLow) { return keycode - serverMin + metaLow; }

u32 metaToHeadKeycode(u32 device, u32 keycode, const Head* head) {
  if (!headDisplayOpen(head)) return 0;
  return shiftKeycodeToHead(keycode, metaMin(), metaMax(), xrcMinKeycode(head->display, device),
                            xrcMaxKeycode(head->display, device));
}

u32 headToMetaKeycode(u32 device, u32 keycode, const ServerDisplay* display) {
  if (device != kXrcKeyboard || !display || !display->display) return keycode;
  return shiftKeycodeToMeta(keycode, xrcMinKeycode(display->display, device), metaMin());
}

bool isHeadKeycode(u32 keycode, const Head* head) {
  if (!keycode || !headDisplayOpen(head)) return false;
  return keycode >= xrcMinKeycode(head->display, kXrcKeyboard) && keycode <= xrcMaxKeycode(head->display, kXrcKeyboard);
}

}  // namespace palvon
