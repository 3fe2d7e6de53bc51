// Pointer rotation: on a rotated head of the input-control display the
// physical mouse's motion must turn with the head. The physical mouse is
// taken from the core pointer (the null mouse drives it) and its device
// events move the meta pointer; where that cannot be had, the pointer is
// polled more often and its movement turned instead. Also the cursor an
// in-window head shows over its click window.
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/lifecycle.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

constexpr u32 kRotationPollMs = 60;

bool rotatesOnInputControl(const Head* head) {
  return head && head->pointerRotation && head->rotation && head->serverDisplay == inputControlDisplay;
}

void endRotationAtExit([[maybe_unused]] void* argument) {
  if (inputState.rotationHead) endPointerRotation(inputState.rotationHead);
}

// Takes the physical mouse's motion for the proxy; null or why not.
const char* interceptMouse(ServerDisplay* server) {
  Display* display = server->display;
  NullMouseState& mouse = server->input.nullMouse;
  if (mouse.grabbed == kNullMouseGrabbed) return nullptr;
  if (const char* error = xrcAttachDisplay(display, kXrcFakeInput | kXrcGrabProof)) {
    LOGF(logChWarning, "No mouse interception: %s", error);
    return error;
  }
  const char* error = initNullMouseState(display, &mouse);
  if (!error) error = setupNullMouse(display, &mouse);
  if (error) LOGF(logChWarning, "No mouse interception: %s", error);
  return error;
}

}  // namespace

void beginPointerRotation(Head* head) {
  if (!rotatesOnInputControl(head) || !headDisplayOpen(head)) return;
  LOGF(logChStep, "Starting pointer rotation on %s...", head->name);
  if (inputState.rotationHead) {
    inputState.rotationHead = head;
    return;
  }
  if (inputState.interceptionFailed) return;
  if (const char* error = interceptMouse(head->serverDisplay)) {
    LOGF(logChXhint, "No mouse interception: %s", error);
    inputState.interceptionFailed = 1;
    pushPointerPollInterval(kXrcMouse, kRotationPollMs);
    return;
  }
  const NullMouseState& mouse = head->serverDisplay->input.nullMouse;
  inputState.deviceMotionType = mouse.motionType;
  inputState.devicePressType = mouse.pressType;
  inputState.deviceReleaseType = mouse.releaseType;
  inputState.deviceLastX = inputState.deviceLastY = kNoDevicePosition;
  inputState.rotationHead = head;
  if (!inputState.rotationExitRegistered) addExitCallback(endRotationAtExit, nullptr);
  inputState.rotationExitRegistered = 1;
}

void endPointerRotation(Head* head) {
  if (head && head == inputState.rotationHead) {
    ServerDisplay* server = head->serverDisplay;
    if (server && server->display) {
      if (const char* error = releaseNullMouse(server->display, &server->input.nullMouse))
        LOGF(logChWarning, "%s", error);
    }
    inputState.deviceMotionType = inputState.devicePressType = inputState.deviceReleaseType = 0;
    inputState.rotationHead = nullptr;
    if (inputState.rotationExitRegistered) removeExitCallback(endRotationAtExit, nullptr);
    inputState.rotationExitRegistered = 0;
    return;
  }
  if (rotatesOnInputControl(head) && inputState.interceptionFailed) {
    popPointerPollInterval(kXrcMouse);
    inputState.interceptionFailed = 0;
  }
}

void restartPointerRotation(Head* head) {
  endPointerRotation(head);
  beginPointerRotation(head);
}

void refreshHeadCursor(Head* head) {
  if (!head || !head->inWindow || isHeadPointerTarget(head) || !headDisplayOpen(head) || !head->cursorWindow) return;
  Head* holder = inputState.pointerHead;
  bool hand = head->serverDisplay != inputControlDisplay && (!holder || holder->clickTransfer);
  const char* error = hand ? xrcSetHandCursor(head->display, int(head->screen), head->cursorWindow, kXrcMouse)
                           : xrcSetArrowCursor(head->display, int(head->screen), head->cursorWindow, kXrcMouse);
  logProblem(error, __FILE__, __LINE__);
  XfsFlush(head->display);
}

}  // namespace palvon
