// XRCLib telepointers: a second visible pointer, either an XInput 2 master
// pointer of its own (the server draws it) or a shaped override-redirect
// window that the program moves.
#include <cstring>

#include <X11/extensions/XInput2.h>
#include <X11/extensions/shape.h>

#include "base/logging.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/rclib/record.h"
#include "xsupport/xtarget.h"

namespace palvon {

namespace {

constexpr double kParkedAt = 16384.0;  // beyond every screen: the server clamps it to the corner

void autoFlush(Display* display) {
  XrcDisplay* record = xrcFindDisplay(display);
  if (!record || record->options[kXrcOptFlush]) XFlush(display);
}

// The master pointer that the slave "<name> XTEST pointer" is attached to;
// 0 when there is none. XTEST makes that slave for every master.
int findMasterPointer(Display* display, const char* name) {
  const char* slaveName = tmpPrintf("%s XTEST pointer", name);
  int count = 0;
  XIDeviceInfo* devices = XIQueryDevice(display, XIAllDevices, &count);
  int master = 0;
  for (int i = 0; devices && i < count; i++) {
    if (devices[i].use == XISlavePointer && devices[i].name && strcmp(devices[i].name, slaveName) == 0) {
      master = devices[i].attachment;
      break;
    }
  }
  if (devices) XIFreeDeviceInfo(devices);
  return master;
}

bool hasXInput2(Display* display) {
  if (xrcInputVersion(display) < 128) return false;
  int major = 2, minor = 0;
  XErrorTrap trap(display);
  Status status = XIQueryVersion(display, &major, &minor);
  XSync(display, False);
  return trap.result() == 0 && status == Success;
}

void addMaster(Display* display, const char* name) {
  XIAddMasterInfo add = {};
  add.type = XIAddMaster;
  add.name = const_cast<char*>(name);
  add.send_core = 1;
  add.enable = 1;
  XErrorTrap trap(display);
  XIChangeHierarchy(display, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&add), 1);
  XSync(display, False);
  trap.result();
}

void parkMaster(Display* display, Telepointer* telepointer) {
  Window root = RootWindow(display, static_cast<int>(telepointer->screen));
  XIWarpPointer(display, static_cast<int>(telepointer->deviceId), None, root, 0, 0, 0, 0, kParkedAt, kParkedAt);
}

bool createMaster(Display* display, u32 screen, const char* name, Telepointer* telepointer) {
  if (!hasXInput2(display)) return false;
  int master = findMasterPointer(display, name);
  if (!master) {
    addMaster(display, name);
    master = findMasterPointer(display, name);
  }
  if (!master) return false;
  Cursor blank = xrcCursorBlank(display, static_cast<int>(screen));
  XIDefineCursor(display, master, RootWindow(display, static_cast<int>(screen)), blank);
  if (blank) XFreeCursor(display, blank);
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  *telepointer = Telepointer{};
  telepointer->kind = kTelepointerMaster;
  telepointer->screen = screen;
  telepointer->xinputOpcode = record ? static_cast<u32>(record->xinputOpcode) : 0;
  telepointer->deviceId = static_cast<u32>(master);
  parkMaster(display, telepointer);
  return true;
}

void createWindow(Display* display, u32 screen, Window parent, int depth, Visual* visual, Colormap colormap,
                  Telepointer* telepointer) {
  XSetWindowAttributes attributes = {};
  attributes.background_pixel = 0;
  attributes.border_pixel = 0;
  attributes.backing_store = Always;
  attributes.save_under = True;
  attributes.override_redirect = True;
  attributes.colormap = colormap;
  unsigned long mask = CWBackPixel | CWBorderPixel | CWBackingStore | CWSaveUnder | CWOverrideRedirect |
                       (colormap ? CWColormap : 0);
  Window window = XCreateWindow(display, parent, 0, 0, 1, 1, 0, depth, InputOutput, visual, mask, &attributes);
  Cursor blank = xrcCursorBlank(display, static_cast<int>(screen));
  if (blank) {
    XDefineCursor(display, window, blank);
    XFreeCursor(display, blank);
  }
  *telepointer = Telepointer{};
  telepointer->kind = kTelepointerWindow;
  telepointer->screen = screen;
  telepointer->window = window;
  telepointer->colormap = colormap;
  telepointer->depth = static_cast<u16>(depth);
}

void freePixels(Display* display, Telepointer* telepointer) {
  if (!telepointer->pixelsAllocated) return;
  unsigned long pixels[2] = {telepointer->foreground, telepointer->background};
  XFreeColors(display, telepointer->colormap, pixels, 2, 0);
  telepointer->pixelsAllocated = 0;
}

}  // namespace

int xrcTelepointerCreate(Display* display, u32 screen, const char* name, Window parent, int depth, Visual* visual,
                         Colormap colormap, int preferMaster, int needShape, Telepointer* telepointer) {
  if (static_cast<int>(screen) >= ScreenCount(display)) screen = static_cast<u32>(DefaultScreen(display));
  int made = 1;
  if (!preferMaster || !createMaster(display, screen, name, telepointer)) {
    int event, error;
    if (needShape && !XShapeQueryExtension(display, &event, &error)) made = 0;
    else createWindow(display, screen, parent, depth, visual, colormap, telepointer);
  }
  autoFlush(display);
  return made;
}

void xrcTelepointerMove(Display* display, Telepointer* telepointer, int x, int y) {
  if (telepointer->kind == kTelepointerMaster) {
    Window root = RootWindow(display, static_cast<int>(telepointer->screen));
    XIWarpPointer(display, static_cast<int>(telepointer->deviceId), None, root, 0, 0, 0, 0, x, y);
  } else if (telepointer->kind == kTelepointerWindow) {
    XMoveWindow(display, telepointer->window, x - telepointer->hotX, y - telepointer->hotY);
    if (!telepointer->shown) XMapWindow(display, telepointer->window);
    XRaiseWindow(display, telepointer->window);
  } else {
    PALVON_UNE();
    return;
  }
  telepointer->shown = 1;
  autoFlush(display);
}

void xrcTelepointerHide(Display* display, Telepointer* telepointer) {
  if (!telepointer->shown) return;
  if (telepointer->kind == kTelepointerMaster) {
    parkMaster(display, telepointer);
  } else if (telepointer->kind == kTelepointerWindow) {
    XUnmapWindow(display, telepointer->window);
    XLowerWindow(display, telepointer->window);
  } else {
    PALVON_UNE();
    return;
  }
  telepointer->shown = 0;
  autoFlush(display);
}

void xrcTelepointerDestroy(Display* display, Telepointer* telepointer) {
  if (telepointer->kind == kTelepointerMaster) {
    if (telepointer->shown) parkMaster(display, telepointer);
    XIRemoveMasterInfo remove = {};
    remove.type = XIRemoveMaster;
    remove.deviceid = static_cast<int>(telepointer->deviceId);
    remove.return_mode = XIFloating;
    remove.return_pointer = 2;
    remove.return_keyboard = 3;
    XIChangeHierarchy(display, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&remove), 1);
  } else if (telepointer->kind == kTelepointerWindow) {
    XDestroyWindow(display, telepointer->window);
    freePixels(display, telepointer);
  } else if (telepointer->kind != kTelepointerNone) {
    PALVON_UNE();
  }
  *telepointer = Telepointer{};
  autoFlush(display);
}

int xrcTelepointerSetColors(Display* display, Telepointer* telepointer, XColor* foreground, XColor* background) {
  if (telepointer->kind != kTelepointerWindow) return 1;
  freePixels(display, telepointer);
  XColor fg = *foreground, bg = *background;
  bool fgAllocated = XAllocColor(display, telepointer->colormap, &fg) != 0;
  bool bgAllocated = fgAllocated && XAllocColor(display, telepointer->colormap, &bg) != 0;
  if (!bgAllocated) {
    if (fgAllocated) XFreeColors(display, telepointer->colormap, &fg.pixel, 1, 0);
    int screen = static_cast<int>(telepointer->screen);
    telepointer->foreground = BlackPixel(display, screen);
    telepointer->background = WhitePixel(display, screen);
    return 0;
  }
  telepointer->foreground = fg.pixel;
  telepointer->background = bg.pixel;
  telepointer->pixelsAllocated = 1;
  return 1;
}

void xrcTelepointerSetPixels(Display* display, Telepointer* telepointer, unsigned long foreground,
                             unsigned long background) {
  if (telepointer->kind != kTelepointerWindow) return;
  freePixels(display, telepointer);
  telepointer->foreground = foreground;
  telepointer->background = background;
}

void xrcTelepointerSetShape(Display* display, Telepointer* telepointer, u32 width, u32 height, Pixmap pixmap,
                            Pixmap mask, u32 hotX, u32 hotY) {
  if (telepointer->kind != kTelepointerWindow) return;
  Window window = telepointer->window;
  XSetWindowBackgroundPixmap(display, window, pixmap);
  XResizeWindow(display, window, width ? width : 1, height ? height : 1);
  XShapeCombineMask(display, window, ShapeBounding, 0, 0, mask, ShapeSet);
  if (telepointer->shown) XClearWindow(display, window);
  telepointer->hotX = static_cast<u16>(hotX);
  telepointer->hotY = static_cast<u16>(hotY);
  autoFlush(display);
}

int xrcTelepointerExists(const Telepointer* telepointer) {
  return telepointer->kind == kTelepointerMaster || telepointer->kind == kTelepointerWindow;
}

int xrcTelepointerShown(const Telepointer* telepointer) {
  return xrcTelepointerExists(telepointer) && telepointer->shown;
}

Window xrcTelepointerWindow(const Telepointer* telepointer) {
  return telepointer->kind == kTelepointerWindow ? telepointer->window : None;
}

}  // namespace palvon
