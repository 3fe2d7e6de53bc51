// Failsafe Xlib calls on the proxy's own connections to the real X servers.
//
// Every Xlib call the proxy makes on its own Display connections goes through
// a wrapper named Xfs plus the call's name (XfsCreateColormap). A wrapper
// takes exactly the arguments of its Xlib call and returns the same type. It
// never lets a broken connection end the process:
//   - a Display already flagged broken is not touched; the wrapper returns
//     its failure value at once;
//   - a connection that breaks during the call returns control to the wrapper
//     (Xlib's I/O error path jumps back instead of exiting); the extension
//     library the call was in may be left part-way, which its close then
//     takes into account (xsupport/extrecords.h);
//   - a server that stops answering is cut off after the display's offline
//     time-out (xfsSetOfflineTimeout), or the guard time-out when it has
//     none (xfsSetGuardTimeout), counted from its last answer within the
//     call, so the call returns then; sooner once the process is asked to
//     exit (fdWaitIsAbandoned) or its wait deadline passes
//     (fdSetWaitDeadline, base/fd.h);
//   - a message from the server that makes the X library abort (a reply
//     longer than the call read, an unknown sequence number) breaks the
//     display instead of the process;
//   - whenever the display is flagged broken after the call, the wrapper
//     hands that display to handleDisplayOffline and returns its failure
//     value: nothing for void calls, -1 for XfsEventsQueued, 3 (not viewable)
//     for XfsGrabPointer and XfsGrabDevice, 1 (not Success) for
//     XfsGetWindowProperty (with its outputs cleared), XfsCloseDevice,
//     XfsChangePointerDevice, XfsUngrabDevice and XfsXIDefineCursor, 0 or a
//     null pointer for every other call.
// Callers must accept those values: a created id of 0, a null reply, -1
// events queued, grab status 3.
//
// Threads: main thread only. A wrapper called from any other thread runs the
// Xlib call unprotected. Wrapper calls may nest (an error handler that calls
// a wrapper); each arms its own jump point.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrender.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xdbe.h>
#include <X11/extensions/shape.h>
#include <X11/extensions/xtestext1.h>

#include "base/strings.h"
#include "xsupport/rclib/input.h"

// Xlib's internal reply calls, declared here so that users of the wrappers
// need not include Xlibint.h (its min and max macros break C++ code).
extern "C" {
Status _XReply(Display* display, xReply* reply, int extra, Bool discard);
void _XEatData(Display* display, unsigned long n);
void* _XGetRequest(Display* display, unsigned char type, size_t length);
}

namespace palvon {

// Whether Xlib has flagged the connection of this Display as broken. A null
// Display counts as offline.
bool isDisplayOffline(const Display* display);

// Installs the process's Xlib I/O error handler that routes a broken
// connection back to the armed wrapper; outside a wrapper it ends the proxy
// with "Broken connection to display ...". Idempotent; main thread. The
// first call also marks the calling thread as the main thread.
void xfsInstall();

// Registers a Display the proxy opened: its I/O error exit handler jumps
// back to the armed wrapper as well. Call once after opening; xfsForget
// before closing (it also drops the display's offline time-out).
void xfsAttach(Display* display);
void xfsForget(Display* display);

// The longest a wrapper call waits on this Display's server without an
// answer, in milliseconds; 0 for no limit (the default). Each answer the
// call reads gives it that time anew, so a call that works long between its
// questions is not cut for its length. A call whose server stays silent
// longer shuts the connection down and returns as on a broken connection.
void xfsSetOfflineTimeout(Display* display, u64 milliseconds);
u64 xfsOfflineTimeout(const Display* display);

// A display opened while clients are served: no call on it waits past
// `deadlineMs` (fdMonotonicMs), whatever its time-out, and no single wait
// for its server longer than `silenceMs`, so that a server that answers its
// set-up and then stalls holds the other clients no longer than one that
// never answers, while one that keeps answering, however slowly, is given
// until the deadline. Until xfsEndOpenings the display is being opened
// (xfsOpening): a break is its opener's to report, and never ends the
// proxy.
void xfsSetOpeningDeadline(Display* display, long long deadlineMs, u64 silenceMs);
bool xfsOpening(const Display* display);
void xfsEndOpenings();

// The bound of every call on a display without an offline time-out (with
// the option Failsafe off, or a static head): a stalled server must not
// hold the proxy for ever. The longest time-out configured for any head,
// 20000 ms when none was; a value lower than the current one is ignored.
void xfsSetGuardTimeout(u64 milliseconds);
u64 xfsGuardTimeout();

// Called from the exit signal's handler (async-signal-safe): the process
// ends with status 1 if it has not ended one guard time-out (plus a
// second) later, wherever the main thread is stuck.
void xfsExitRequested();

// Runs work(argument) as one guarded call on the display: for helpers that
// make several plain Xlib calls (the font and image helpers below the
// proxy). False when the display broke or stalled past its time-out; the
// helper was then left part-way, and what it allocated is lost.
bool xfsRun(Display* display, void (*work)(void*), void* argument);

// What the wrappers call when they find their display broken (defined with
// the server displays). With the option Failsafe it schedules the display's
// removal; without it, it ends the proxy.
void handleDisplayOffline(Display* display);

// The offline message of a step: "Connection to %s is offline (%u requests,
// %u processed) - Maybe the X server is unavailable or network is down"
// (temporary string).
const char* displayOfflineText(Display* display);

// --- The wrapped calls ------------------------------------------------------
// X(wrapper name without Xfs, Xlib function, failure value)
#define PALVON_XFS_CALLS(X)                                 \
  X(LoadQueryFont, XLoadQueryFont, nullptr)                 \
  X(LookupColor, XLookupColor, 0)                           \
  X(QueryFont, XQueryFont, nullptr)                         \
  X(NoOp, XNoOp, 0)                                         \
  X(Flush, XFlush, 0)                                       \
  X(Sync, XSync, 0)                                         \
  X(ConvertSelection, XConvertSelection, 0)                 \
  X(FreeColormap, XFreeColormap, 0)                         \
  X(FreeColors, XFreeColors, 0)                             \
  X(FreeCursor, XFreeCursor, 0)                             \
  X(FreeFont, XFreeFont, 0)                                 \
  X(FreeGC, XFreeGC, 0)                                     \
  X(FreePixmap, XFreePixmap, 0)                             \
  X(UnloadFont, XUnloadFont, 0)                             \
  X(GrabServer, XGrabServer, 0)                             \
  X(UngrabServer, XUngrabServer, 0)                         \
  X(InstallColormap, XInstallColormap, 0)                   \
  X(UninstallColormap, XUninstallColormap, 0)               \
  X(MapWindow, XMapWindow, 0)                               \
  X(ClearArea, XClearArea, 0)                               \
  X(GetFontPath, XGetFontPath, nullptr)                     \
  X(GetRGBColormaps, XGetRGBColormaps, 0)                   \
  X(SetFontPath, XSetFontPath, 0)                           \
  X(SetInputFocus, XSetInputFocus, 0)                       \
  X(ChangeKeyboardMapping, XChangeKeyboardMapping, 0)       \
  X(SetModifierMapping, XSetModifierMapping, 0)             \
  X(InternAtom, XInternAtom, 0)                             \
  X(SetSelectionOwner, XSetSelectionOwner, 0)               \
  X(ChangeProperty, XChangeProperty, 0)                     \
  X(DeleteProperty, XDeleteProperty, 0)                     \
  X(GetSelectionOwner, XGetSelectionOwner, 0)               \
  X(CreateColormap, XCreateColormap, 0)                     \
  X(CreatePixmapCursor, XCreatePixmapCursor, 0)             \
  X(CreateWindow, XCreateWindow, 0)                         \
  X(SelectInput, XSelectInput, 0)                           \
  X(CreateBitmapFromData, XCreateBitmapFromData, 0)         \
  X(CheckTypedWindowEvent, XCheckTypedWindowEvent, 0)       \
  X(GetWindowAttributes, XGetWindowAttributes, 0)           \
  X(StoreName, XStoreName, 0)                               \
  X(StoreNamedColor, XStoreNamedColor, 0)                   \
  X(SetIconName, XSetIconName, 0)                           \
  X(QueryPointer, XQueryPointer, 0)                         \
  X(CreateGC, XCreateGC, nullptr)                           \
  X(GetKeyboardMapping, XGetKeyboardMapping, nullptr)       \
  X(GrabKey, XGrabKey, 0)                                   \
  X(WindowEvent, XWindowEvent, 0)                           \
  X(SetWindowBackgroundPixmap, XSetWindowBackgroundPixmap, 0) \
  X(GetImage, XGetImage, nullptr)                           \
  X(CreatePixmap, XCreatePixmap, 0)                         \
  X(PutImage, XPutImage, 0)                                 \
  X(SendEvent, XSendEvent, 0)                               \
  X(UngrabPointer, XUngrabPointer, 0)                       \
  X(UngrabKeyboard, XUngrabKeyboard, 0)                     \
  X(QueryBestSize, XQueryBestSize, 0)                       \
  X(DefineCursor, XDefineCursor, 0)                         \
  X(GetAtomName, XGetAtomName, nullptr)                     \
  X(CopyArea, XCopyArea, 0)                                 \
  X(CreateFontCursor, XCreateFontCursor, 0)                 \
  X(SetFont, XSetFont, 0)                                   \
  X(ChangeKeyboardControl, XChangeKeyboardControl, 0)       \
  X(ChangePointerControl, XChangePointerControl, 0)         \
  X(FillRectangle, XFillRectangle, 0)                       \
  X(MoveResizeWindow, XMoveResizeWindow, 0)                 \
  X(MoveWindow, XMoveWindow, 0)                             \
  X(UnmapWindow, XUnmapWindow, 0)                           \
  X(DestroyWindow, XDestroyWindow, 0)                       \
  X(LoadFont, XLoadFont, 0)                                 \
  X(ChangeWindowAttributes, XChangeWindowAttributes, 0)     \
  X(AllocColor, XAllocColor, 0)                             \
  X(ResizeWindow, XResizeWindow, 0)                         \
  X(CreatePixmapFromBitmapData, XCreatePixmapFromBitmapData, 0) \
  X(MapRaised, XMapRaised, 0)                               \
  X(TranslateCoordinates, XTranslateCoordinates, 0)         \
  X(GetPointerMapping, XGetPointerMapping, 0)               \
  X(QueryTree, XQueryTree, 0)                               \
  X(NextEvent, XNextEvent, 0)                               \
  X(PeekEvent, XPeekEvent, 0)                               \
  X(GetGeometry, XGetGeometry, 0)                           \
  X(SetForeground, XSetForeground, 0)                       \
  X(EventsQueued, XEventsQueued, -1)                        \
  X(DrawString16, XDrawString16, 0)                         \
  X(DrawText16, XDrawText16, 0)                             \
  X(GrabPointer, XGrabPointer, GrabNotViewable)             \
  X(QueryExtension, XQueryExtension, 0)                     \
  X(GetWindowProperty, XGetWindowProperty, 1)               \
  X(ListProperties, XListProperties, nullptr)               \
  X(AllocColorCells, XAllocColorCells, 0)                   \
  X(AllocColorPlanes, XAllocColorPlanes, 0)                 \
  X(StoreColors, XStoreColors, 0)                           \
  X(QueryColor, XQueryColor, 0)                             \
  X(QueryColors, XQueryColors, 0)                           \
  X(SetPointerMapping, XSetPointerMapping, 0)               \
  X(GetScreenSaver, XGetScreenSaver, 0)                     \
  X(SetScreenSaver, XSetScreenSaver, 0)                     \
  X(GetKeyboardControl, XGetKeyboardControl, 0)             \
  X(GetPointerControl, XGetPointerControl, 0)               \
  X(ListExtensions, XListExtensions, nullptr)               \
  X(Reply, _XReply, 0)                                      \
  X(EatData, _XEatData, 0)                                  \
  X(GetRequest, _XGetRequest, nullptr)                      \
  X(ReconfigureWMWindow, XReconfigureWMWindow, 0)           \
  X(SetWMProtocols, XSetWMProtocols, 0)                     \
  X(SetWMHints, XSetWMHints, 0)                             \
  X(SetWMNormalHints, XSetWMNormalHints, 0)                 \
  X(GetWMHints, XGetWMHints, nullptr)                       \
  X(SetClassHint, XSetClassHint, 0)                         \
  X(ShapeGetRectangles, XShapeGetRectangles, nullptr)       \
  X(ShapeCombineMask, XShapeCombineMask, 0)                 \
  X(ShapeCombineShape, XShapeCombineShape, 0)               \
  X(ShapeCombineRectangles, XShapeCombineRectangles, 0)     \
  X(ShapeQueryExtents, XShapeQueryExtents, 0)               \
  X(ShapeQueryVersion, XShapeQueryVersion, 0)               \
  X(ShmAttach, XShmAttach, 0)                               \
  X(ShmDetach, XShmDetach, 0)                               \
  X(DbeGetVisualInfo, XdbeGetVisualInfo, nullptr)           \
  X(DbeQueryExtension, XdbeQueryExtension, 0)               \
  X(TestQueryExtension, XTestQueryExtension, 0)             \
  X(TestGrabControl, XTestGrabControl, 0)                   \
  X(TestFakeKeyEvent, XTestFakeKeyEvent, 0)                 \
  X(TestFakeButtonEvent, XTestFakeButtonEvent, 0)           \
  X(TestFlush, XTestFlush, 0)                               \
  X(TestMovePointer, XTestMovePointer, 0)                   \
  X(TestPressKey, XTestPressKey, 0)                         \
  X(TestPressButton, XTestPressButton, 0)                   \
  X(ChangeActivePointerGrab, XChangeActivePointerGrab, 0)   \
  X(GetWMNormalHints, XGetWMNormalHints, 0)                 \
  X(OpenDevice, XOpenDevice, nullptr)                       \
  X(CloseDevice, XCloseDevice, 1)                           \
  X(ChangePointerDevice, XChangePointerDevice, 1)           \
  X(GrabDevice, XGrabDevice, GrabNotViewable)               \
  X(UngrabDevice, XUngrabDevice, 1)                         \
  X(RenderFindFormat, XRenderFindFormat, nullptr)           \
  X(RenderCreatePicture, XRenderCreatePicture, 0)           \
  X(RenderFreePicture, XRenderFreePicture, 0)               \
  X(RenderCreateCursor, XRenderCreateCursor, 0)             \
  X(RenderCreateAnimCursor, XRenderCreateAnimCursor, 0)   \
  X(XIDefineCursor, XIDefineCursor, 1)                      \
  X(LowerWindow, XLowerWindow, 0)                           \
  /* XRCLib's MappingNotify handler asks for the pointer mapping */ \
  X(RcMappingNotify, xrcMappingNotify, 0)

// One wrapper per row, with the exact signature of its Xlib function. The
// wrapper pattern itself lives in servers/failsafe.cpp, which instantiates every row.
template <auto Function, auto Failure>
struct XfsWrapper;

template <typename Result, typename... Args, Result (*Function)(Display*, Args...), auto Failure>
struct XfsWrapper<Function, Failure> {
  static Result call(Display* display, Args... args);
};

#define PALVON_XFS_DECLARE(name, function, failure) \
  inline constexpr auto& Xfs##name = XfsWrapper<&function, failure>::call;
PALVON_XFS_CALLS(PALVON_XFS_DECLARE)
#undef PALVON_XFS_DECLARE

}  // namespace palvon
