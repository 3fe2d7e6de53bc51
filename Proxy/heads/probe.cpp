// Probing the heads, the proxy's windows on each head, and what a reset
// releases of them.
#include "Proxy/heads/probe.h"
#include "Proxy/visuals/colorheads.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/events/grabs.h"
#include "Proxy/heads/geometry.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/startup.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/headwindow.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/settings.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "base/strlist.h"
#include "xsupport/misc.h"
#include "xsupport/power.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/keymap.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/rclib/rclib.h"
#include "xsupport/ximage.h"
#include "xsupport/xtarget.h"

namespace palvon {

char proxyDisplayName[256];

namespace {

// The meta root's background: a 4x4 stipple of the meta screen's white on
// its black.
constexpr unsigned char kPatternBits[] = {0x08, 0x02, 0x04, 0x01};
constexpr u32 kPatternSize = 4;
constexpr u32 kWorkaroundForgetBitGravity = 0x4;
constexpr long kInnerWindowEvents = EnterWindowMask | LeaveWindowMask;  // 0x30
constexpr long kTrackingEvents = ButtonPressMask | ButtonReleaseMask | LeaveWindowMask | PointerMotionMask;  // 0x6C
constexpr u32 kCursorWindowSize = 65535;

Colormap headColormap(const Head* head) { return head->colormap ? head->colormap : head->defaultColormap; }

unsigned long metaPixelOnHead(const Head* head, bool white) {
  const MetaScreen* screen = head->metaScreen;
  if (!screen) return white ? WhitePixel(head->display, int(head->screen)) : BlackPixel(head->display, int(head->screen));
  return convertPixelToHead(u32(white ? screen->whitePixel : screen->blackPixel), screen->rootVisual, head);
}

Visual* headVisual(const Head* head) {
  Visual* fallback = DefaultVisual(head->display, int(head->screen));
  if (!head->defaultVisualId || head->defaultVisualId == XVisualIDFromVisual(fallback)) return fallback;
  XVisualInfo wanted{};
  wanted.visualid = head->defaultVisualId;
  wanted.screen = int(head->screen);
  int count = 0;
  XVisualInfo* info = XGetVisualInfo(head->display, VisualIDMask | VisualScreenMask, &wanted, &count);
  Visual* visual = info && count > 0 ? info->visual : fallback;
  if (info) XFree(info);
  return visual;
}

Window inputOnlyWindow(Display* display, Window parent, i32 x, i32 y, u32 width, u32 height, long events,
                       Cursor cursor) {
  XSetWindowAttributes attributes{};
  attributes.event_mask = events;
  attributes.cursor = cursor;
  attributes.override_redirect = True;
  return XfsCreateWindow(display, parent, x, y, std::max(width, 1u), std::max(height, 1u), 0, 0, InputOnly,
                         CopyFromParent, CWEventMask | CWCursor | CWOverrideRedirect, &attributes);
}

bool isLockingHead(const Head* head) {
  const ServerDisplay* server = head->serverDisplay;
  return (proxyConfig.options & kOptionDynamicServer) && server && server->firstHead == head && !head->inWindow &&
         server != resourceServerDisplay;
}

// Another head shows the same real screen of the same server.
bool displayHasOtherHeadOnScreen(const Head* head) {
  for (const MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (const Head* other = screen->heads; other; other = other->next) {
      if (other != head && other->serverDisplay == head->serverDisplay && other->screen == head->screen) return true;
    }
  }
  return false;
}

bool isPlainInWindow(const Head* head) {
  return head->inWindow && !(head->tags & (kHeadTagOverlay | kHeadTagNotManaged));
}

// The window manager may not let the window grow past the meta screen.
void limitWindowSize(Head* head) {
  const MetaScreen* screen = head->metaScreen;
  if (!screen) return;
  u32 width = screen->width, height = screen->height;
  if (head->scaler) {
    width = scaleLengthX(head->scaler, width);
    height = scaleLengthY(head->scaler, height);
  }
  XSizeHints* hints = XAllocSizeHints();
  if (!hints) return;
  long supplied = 0;
  if (!XfsGetWMNormalHints(head->display, head->window, hints, &supplied)) hints->flags = 0;
  hints->flags |= PMaxSize;
  hints->max_width = i32(width) + 2 * head->borderWidth;
  hints->max_height = i32(height) + 2 * head->borderWidth;
  XfsSetWMNormalHints(head->display, head->window, hints);
  XFree(hints);
}

Window createMetaRoot(Head* head) {
  Display* display = head->display;
  const MetaScreen* screen = head->metaScreen;
  HeadRect area{-head->logical.x, -head->logical.y, i32(screen ? screen->width : 1), i32(screen ? screen->height : 1)};
  if (head->scaler)
    scaleRectangleRotated(head->scaler, &area, u32(std::max(head->logical.width, 1)),
                          u32(std::max(head->logical.height, 1)));
  XSetWindowAttributes attributes{};
  attributes.background_pixmap = head->backgroundPixmap;
  attributes.border_pixel = 0;
  unsigned long mask = CWBackPixmap | CWBorderPixel | CWWinGravity | CWCursor | CWColormap;
  if (!(proxyConfig.workarounds & kWorkaroundForgetBitGravity)) {
    attributes.bit_gravity = rotateGravity(NorthWestGravity, head);
    mask |= CWBitGravity;
  }
  attributes.win_gravity = rotateGravity(NorthWestGravity, head);
  attributes.cursor = head->cursors[0];
  attributes.colormap = headColormap(head);
  return XfsCreateWindow(display, head->innerWindow, area.x, area.y, u32(std::max(area.width, 1)),
                         u32(std::max(area.height, 1)), 0, int(head->defaultDepth), InputOutput, headVisual(head), mask,
                         &attributes);
}

// --- Probing steps -----------------------------------------------------------------------------

const char* sizeConfiguredScreens() {
  for (const ScreenConfig* config = proxyConfig.metaScreens; config; config = config->next) {
    MetaScreen* screen = findMetaScreen(config->number);
    if (!screen) continue;
    MetaScreenSettings settings{};
    // The screen's settings word (every size field from creation on, the
    // millimetres once given), not the statements' given bits.
    settings.mask = config->flags2 & (kMetaWidth | kMetaHeight | kMetaPlacement | kMetaReference | kMetaOffsetX |
                                     kMetaOffsetY | kMetaKeepVisible | kMetaWidthMM | kMetaHeightMM | kMetaResizePolicy);
    settings.width = config->width, settings.height = config->height;
    settings.placement = config->placement;
    settings.referenceScreen = config->referenceNumber >= 0 ? u32(config->referenceNumber) : 0;
    settings.offsetX = config->offsetX, settings.offsetY = config->offsetY;
    settings.keepVisible = config->keepWindowsVisible;
    settings.widthMM = config->widthMM, settings.heightMM = config->heightMM;
    settings.resizePolicy = config->resize;
    if (const char* error = computeMetaScreenSize(screen, &settings)) return error;
  }
  return nullptr;
}

void removeProbeOnlyHeads() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head;) {
      Head* next = head->next;
      if (head->tags & kHeadTagProbeOnly) {
        LOGF(logChXhint, "Removing %s for probe-only", head->name);
        if (ServerDisplay* server = head->serverDisplay) {
          head->savedConnectTimeoutMs = server->connectTimeoutMs;
          head->savedOfflineTimeoutMs = u32(server->offlineTimeoutMs);
          head->savedPriority = server->priority;
        }
        destroyHead(head, false);
        unbindHeadFromServerDisplay(head);
        head->next = screen->probeOnlyHeads;
        screen->probeOnlyHeads = head;
      }
      head = next;
    }
  }
}

void copyInputSettings() {
  ServerDisplay* source = inputControlDisplay;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    Display* display = server->display;
    if (!display || isDisplayOffline(display)) continue;
    if (source && source != server && source->display && server->firstHead && !server->firstHead->inWindow) {
      if (const char* error = copyPointerMapping(source->display, display)) LOGF(logChWarning, "%s", error);
      if (const char* error = xrcCopyKeyboardMapping(source->display, display)) LOGF(logChWarning, "%s", error);
      xCopyPowerSettings(source->display, display);
    }
  }
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (server->display && !isDisplayOffline(server->display)) xForceDisplayOn(server->display, nullptr);
  }
}

const char* applyDefaultFontPath() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (head->inWindow || !head->display || (head->serverDisplay && head->serverDisplay->serverFonts)) continue;
      XfsSetFontPath(head->display, defaultFontPath, int(defaultFontPathCount));
    }
  }
  strlistFree(keptFontPathCount, keptFontPath);
  keptFontPathCount = 0, keptFontPath = nullptr;
  if (!strlistCopy(&keptFontPathCount, &keptFontPath, defaultFontPathCount, defaultFontPath)) return PALVON_OOM();
  return nullptr;
}

bool mayStartOn(const Head* head) {
  if (!head->display || head->serverDisplay == resourceServerDisplay) return false;
  return !head->inWindow || (head->tags & kHeadTagNotManaged);
}

// The centre of the first head of the screen that the pointer may start on
// (the window managers' centre hint).
bool firstHeadCentre(const MetaScreen* screen, i32* x, i32* y) {
  *x = *y = 0;
  for (const Head* head = screen->heads; head; head = head->next) {
    if (!mayStartOn(head)) continue;
    *x = head->logical.x + head->logical.width / 2;
    *y = head->logical.y + head->logical.height / 2;
    return true;
  }
  return false;
}

// The pointer starts in the middle of the screen, as on one server (where
// no window manager sets the focus, the window there gets the keys); in the
// middle of the first head when no head it may start on shows that point.
void firstPointerPosition(const MetaScreen* screen, i32* x, i32* y) {
  i32 mx = i32(screen->width / 2), my = i32(screen->height / 2);
  for (const Head* head = screen->heads; head; head = head->next) {
    const HeadRect& r = head->logical;
    if (mayStartOn(head) && mx >= r.x && my >= r.y && mx < r.x + r.width && my < r.y + r.height) {
      *x = mx, *y = my;
      return;
    }
  }
  firstHeadCentre(screen, x, y);
}

void placeFirstPointer() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    i32 x = 0, y = 0;
    if (!pointerHead()) {
      firstPointerPosition(screen, &x, &y);
      syncInputAcrossHeads(kXrcMouse, nullptr, screen, x, y, true);
    }
    firstHeadCentre(screen, &x, &y);
    if (x < 1 || y < 1) continue;
    Head* main = screen->mainHead;
    if (!main && atomDisplay && atomDisplay->firstHead && atomDisplay->firstHead->metaScreen)
      main = atomDisplay->firstHead->metaScreen->mainHead;
    if (main && main->display && main->rootWindow) setXineramaCenterHint(main->display, main->rootWindow, x, y);
  }
  if (!pointerHead() && proxyState.screens && proxyState.screens->heads) setPointerHead(proxyState.screens->heads);
}

const char* publishRootVisuals() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      updateHeadStacking(head);
      if (!head->display || !head->rootWindow) continue;
      if (const char* error = publishVisualProperties(head->display, head->rootWindow, screen->visuals,
                                                      screen->visualCount))
        return error;
    }
  }
  return nullptr;
}

}  // namespace

// --- Windows ------------------------------------------------------------------------------------

const char* createHeadRootWindows(Head* head, bool raise) {
  Display* display = head->display;
  if (!display || head->rootWindow || !head->window) return nullptr;
  i32 b = head->borderWidth;
  head->backgroundPixmap = XfsCreatePixmapFromBitmapData(
      display, head->root, reinterpret_cast<char*>(const_cast<unsigned char*>(kPatternBits)), kPatternSize,
      kPatternSize, metaPixelOnHead(head, true), metaPixelOnHead(head, false), head->defaultDepth);
  bool locking = isLockingHead(head);
  if (locking) {
    ServerDisplay* server = head->serverDisplay;
    if (!setSelectionText(display, server->lockSelection, head->window, tmpPrintf("%u", server->defencePriority)))
      return tmpPrintf("Can't lock %s", xShortDisplayName(display));
  }
  if (locking || head->inWindow) limitWindowSize(head);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = metaPixelOnHead(head, false);
  attributes.colormap = headColormap(head);
  attributes.event_mask = kInnerWindowEvents;
  attributes.cursor = head->cursors[1];
  head->innerWindow = XfsCreateWindow(display, head->window, b, b, u32(head->clip.width), u32(head->clip.height), 0,
                                      int(head->defaultDepth), InputOutput, headVisual(head),
                                      CWBackPixel | CWColormap | CWEventMask | CWCursor, &attributes);
  head->cursorWindow = inputOnlyWindow(display, head->innerWindow, 0, 0, kCursorWindowSize, kCursorWindowSize, 0,
                                       head->cursors[1]);
  refreshHeadCursor(head);
  head->trackingWindow = inputOnlyWindow(
      display, head->root, head->clip.x + kTrackingInset, head->clip.y + kTrackingInset,
      u32(std::max(head->clip.width - 2 * kTrackingInset, 1)), u32(std::max(head->clip.height - 2 * kTrackingInset, 1)),
      kTrackingEvents, head->cursors[1]);
  // Its keys also come when a key pressed before the focus went there is
  // let go (the grab took only what was pressed with the focus there).
  head->keyGrabWindow = inputOnlyWindow(display, head->root, -1, -1, 1, 1, KeyPressMask | KeyReleaseMask, 0);
  XfsGrabKey(display, AnyKey, AnyModifier, head->keyGrabWindow, True, GrabModeAsync, GrabModeAsync);
  XfsLowerWindow(display, head->keyGrabWindow);
  XfsMapWindow(display, head->keyGrabWindow);
  head->rootWindow = createMetaRoot(head);
  if (!head->rootWindow || isDisplayOffline(display)) return displayOfflineText(display);
  copyAllProperties(display, head->root, display, head->rootWindow);
  XfsMapWindow(display, head->rootWindow);
  if (raise) XfsMapRaised(display, head->innerWindow);
  else XfsMapWindow(display, head->innerWindow);
  if (!(head->inWindow && (head->tags & kHeadTagIconify))) XfsMapWindow(display, head->window);
  bool unmanaged = head->inWindow && (head->tags & kHeadTagNotManaged);
  bool alone = !(head->tags & kHeadTagOverlay) || !displayHasOtherHeadOnScreen(head);
  if (!head->inWindow || (unmanaged && alone)) {
    logStepf("Installing default colormap 0x%x on %s...", u32(headColormap(head)), head->name);
    XfsInstallColormap(display, headColormap(head));
  }
  if (head->inWindow) {
    XfsFlush(display);
    return nullptr;
  }
  XWindowAttributes seen{};
  xErrorTrapBegin(display);
  Status readable = XfsGetWindowAttributes(display, head->rootWindow, &seen);
  int failed = xErrorTrapEnd();
  if (!readable || failed)
    return tmpPrintf("Can't create root window on '%s' - Make sure the cursor font is available in the font path",
                     head->name);
  return nullptr;
}

// --- Probing -------------------------------------------------------------------------------------

const char* probeHeads(bool firstTime) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (const char* error = createHeadWindow(head)) return error;
    }
  }
  if (firstTime) {
    if (const char* error = sizeConfiguredScreens()) return error;
  }
  removeProbeOnlyHeads();
  copyInputSettings();
  if (const char* error = applyDefaultFontPath()) return error;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (const char* error = setupHeadScaling(head)) return error;
      checkFontBitmaps(head);
      if (const char* error = createHeadRootWindows(head, true)) return error;
    }
  }
  if (timeDisplay && timeDisplay->display) setProxyCurrentTime(getServerTime(timeDisplay->display));
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    if (!screen->rootId) screen->rootId = allocDefaultXid();
    if (!createRootWindowRecord(screen, screen->rootId)) return PALVON_OOM();
  }
  recomputeOverlappingHeads();
  if (inputControlDisplay) setFocusHead(inputControlDisplay->firstHead);
  if (const char* error = publishRootVisuals()) return error;
  releaseProxyGrabs();
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (server->display) server->input.pointerHead = findPointerHeadOnDisplay(kXrcMouse, server);
  }
  placeFirstPointer();
  applyInputFocusToHeads();
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) head->probed = 1;
  }
  headsReady = 1;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (!server->display) continue;
    XfsFlush(server->display);
    if (isDisplayOffline(server->display)) return displayOfflineText(server->display);
  }
  snprintf(proxyDisplayName, sizeof proxyDisplayName, "%s:%u", canonicalHostName(""), getProxyDisplayNumber());
  return nullptr;
}

// --- Reset ----------------------------------------------------------------------------------------

void closeHeadsOnReset() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (isPlainInWindow(head)) continue;
      if (inputState.rotationHead == head) endPointerRotation(head);
      if (head->serverDisplay) disconnectServerDisplay(head->serverDisplay, false);
    }
  }
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (isPlainInWindow(head)) {
        if (!head->display || isDisplayOffline(head->display)) continue;
        if (head->rootWindow) {
          XfsSetWindowBackgroundPixmap(head->display, head->rootWindow, head->backgroundPixmap);
          XfsClearArea(head->display, head->rootWindow, 0, 0, 0, 0, False);
        }
        if (head->serverDisplay == inputControlDisplay) {
          if (const char* error = xrcReleaseAll(head->display)) logProblem(error, __FILE__, __LINE__);
        }
        continue;
      }
      // The connection is closed: the server destroyed the windows with it.
      head->colormap = 0, head->colormapChosen = 0;
      head->window = head->innerWindow = head->rootWindow = head->cursorWindow = 0;
      head->trackingWindow = head->keyGrabWindow = head->overlayChild = 0;
      head->backgroundPixmap = 0, head->overlayCursor = 0;
      head->cursors[0] = head->cursors[1] = 0;
      removeTelepointer(head);
    }
  }
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      freeHeadVisuals(head->visuals, head->visualCount);
      head->visuals = nullptr, head->visualCount = 0;
      freeHeadVisuals(head->visualMatches, head->visualMatchCount);
      head->visualMatches = nullptr, head->visualMatchCount = 0;
      releaseScaler(&head->scaler);
      head->probed = 0;
    }
    clearInstalledColormaps(screen);
  }
  forgetInputOnReset();
}

// --- Images -----------------------------------------------------------------------------------------

XImage* getPixmapImageFromHead(const PixmapRecord* pixmap, Head* head) {
  Display* display = head->display;
  if (!display || isDisplayOffline(display)) return nullptr;
  u32 width = pixmap->width, height = pixmap->height;
  if (head->scaler) {
    width = scaleLengthX(head->scaler, width);
    height = scaleLengthY(head->scaler, height);
  }
  u32 serverId = pixmapServerId(pixmap, head);
  XImage* image = XfsGetImage(display, serverId, 0, 0, width, height, AllPlanes, ZPixmap);
  if (!image) {
    LOGF(logChXhint, "XGetImage(display=%s pixmap=0x%x) failed", head->name, pixmap->id);
    return nullptr;
  }
  ximageSetPixelFuncs(image);
  bool owned = true;
  XImage* converted = convertImageToDepth(image, pixmap->depth, &owned, head);
  if (!converted && owned) XDestroyImage(image);
  return converted;
}

namespace {

// The visual whose masks describe pixels of a depth on a display: the
// default visual when the depths agree, else the first visual of that depth
// (a depth-32 window on a 16-bit server has 8-bit channels, not the default
// visual's 5-6-5); none when the depth has no visual, so pixels are copied
// as they are.
Visual* visualOfDepth(Display* display, int screen, u32 depth) {
  if (u32(DefaultDepth(display, screen)) == depth) return DefaultVisual(display, screen);
  XVisualInfo wanted{};
  wanted.screen = screen;
  wanted.depth = int(depth);
  int count = 0;
  XVisualInfo* found = XGetVisualInfo(display, VisualScreenMask | VisualDepthMask, &wanted, &count);
  Visual* visual = found && count > 0 ? found[0].visual : nullptr;
  if (found) XFree(found);
  return visual;
}

}  // namespace

XImage* createHeadImage(Head* head, char* data, u32 width, u32 height, int format, u32 depth, char* targetData,
                        u32 targetWidth, u32 targetHeight, u32 targetDepth, const HeadRect& rect,
                        const VisualRecord* visual) {
  Display* display = head->display;
  Display* target = imageDisplay && imageDisplay->display ? imageDisplay->display : display;
  if (!display || !target) return nullptr;
  auto padFor = [format](Display* d, u32 bits) {
    int pad = BitmapPad(d);
    if (format == ZPixmap) {
      int count = 0;
      XPixmapFormatValues* formats = XListPixmapFormats(d, &count);
      for (int i = 0; i < count; i++) {
        if (u32(formats[i].depth) == bits) pad = formats[i].scanline_pad;
      }
      if (formats) XFree(formats);
    }
    return pad;
  };
  Visual* headVisualPtr = visualOfDepth(display, int(head->screen), depth);
  Visual* targetVisual = visualOfDepth(target, DefaultScreen(target), targetDepth);
  XImage* source = XCreateImage(display, headVisualPtr, depth, format, 0, data, width, height, padFor(display, depth), 0);
  XImage* out = XCreateImage(target, targetVisual, targetDepth, format, 0, targetData, targetWidth, targetHeight,
                             padFor(target, targetDepth), 0);
  if (!source || !out) {
    if (source) source->data = nullptr, XDestroyImage(source);
    if (out) out->data = nullptr, XDestroyImage(out);
    PALVON_OOM();
    return nullptr;
  }
  ximageSetPixelFuncs(source);
  ximageSetPixelFuncs(out);
  // Pixels go into the client's visual before the copy: a shallower
  // target (an emulated 8-bit visual on a 24-bit head) would keep only the
  // low bits of the head's pixel. The source is the reply's own data.
  if (visual && visual->depth == targetDepth && getHeadVisualIfConverting(visual, head)) {
    for (u32 y = 0; y < height; y++) {
      for (u32 x = 0; x < width; x++) {
        unsigned long pixel = XGetPixel(source, int(x), int(y));
        XPutPixel(source, int(x), int(y), convertPixelFromHead(u32(pixel), visual, head));
      }
    }
  }
  // The head shows the rectangle turned: the copy turns it back.
  int inverse = int((4 - (head->rotation & 3)) & 3);
  ximageCopyScaled(source, 0, 0, int(width), int(height), out, rect.x, rect.y, rect.width, rect.height, inverse);
  source->data = nullptr;
  XDestroyImage(source);
  return out;
}

}  // namespace palvon
