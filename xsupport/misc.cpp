#include "xsupport/misc.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <X11/Xlibint.h>
#include <X11/Xutil.h>

#include "base/hostclock.h"
#include "base/logging.h"
#include "xsupport/xtarget.h"

namespace palvon {

namespace {

// The rest of name from its colon on when it starts with word followed by a
// colon, else nullptr.
const char* afterHostWord(const char* name, const char* word) {
  size_t n = strlen(word);
  if (strncmp(name, word, n) == 0 && name[n] == ':') return name + n;
  return nullptr;
}

}  // namespace

const char* xShortDisplayName(Display* display) {
  const char* name = XDisplayName(XDisplayString(display));
  if (const char* rest = afterHostWord(name, "localhost")) return rest;
  if (const char* rest = afterHostWord(name, "unix")) return rest;
  return name;
}

const char* xFullDisplayName(Display* display) {
  static char buffer[256];
  const char* name = XDisplayName(XDisplayString(display));
  const char* rest = nullptr;
  if (name[0] == ':') {
    rest = name;
  } else if (const char* r = afterHostWord(name, "unix")) {
    rest = r;
  } else if (const char* l = afterHostWord(name, "localhost")) {
    rest = l;
  }
  if (!rest) return name;
  snprintf(buffer, sizeof buffer, "%s%s", hostName(), rest);
  return buffer;
}

u32 displayNameNumber(const char* name) {
  if (!name) return 0;
  const char* colon = strrchr(name, ':');
  if (!colon) return 0;
  u32 number = 0;
  for (const char* p = colon + 1; *p >= '0' && *p <= '9'; p++) number = number * 10 + static_cast<u32>(*p - '0');
  return number;
}

u32 xFullDisplayNumber(Display* display) { return displayNameNumber(xFullDisplayName(display)); }

const char* xidToText(unsigned long id) {
  char* text = tmpAlloc(20);
  if (id < 1000) {
    snprintf(text, 20, "%lu", id);
  } else {
    snprintf(text, 20, "0x%lx", id);
  }
  return text;
}

unsigned long xDisplayResourceBase(Display* display) { return display->resource_base; }
unsigned long xDisplayResourceMask(Display* display) { return display->resource_mask; }

void xRaiseWMWindow(Display* display, int screen, Window window) {
  XWindowChanges changes = {};
  changes.stack_mode = Above;
  XReconfigureWMWindow(display, window, screen, CWStackMode, &changes);
}

void xLowerWMWindow(Display* display, int screen, Window window) {
  XWindowChanges changes = {};
  changes.stack_mode = Below;
  XReconfigureWMWindow(display, window, screen, CWStackMode, &changes);
}

namespace {

// Looks (up to 20 round trips on the grabbing connection) for the move that
// the other connection sent. 1 moved, 0 not moved, -1 the window vanished.
int moveGotThrough(Display* second, Window window) {
  for (int look = 0; look < 20; look++) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(second, window, &attributes)) return -1;
    if (attributes.x == 1) return 1;
  }
  return 0;
}

}  // namespace

int xServerGrabLeaksInput(Display* display) {
  TargetOptions options;
  xtargetInitOptions(&options);
  options.displayName = DisplayString(display);
  options.failsafeFlags = 1;
  char* windowName = nullptr;
  XFetchName(display, DefaultRootWindow(display), &windowName);
  Display* second = nullptr;
  const char* error = xtargetOpenDisplay(&options, windowName, &second);
  if (windowName) XFree(windowName);
  if (error) return 0;
  XSetWindowAttributes attributes = {};
  attributes.override_redirect = True;
  Window window = XCreateWindow(second, DefaultRootWindow(second), 0, 0, 1, 1, 0, CopyFromParent,
                                InputOnly, CopyFromParent, CWOverrideRedirect, &attributes);
  if (!window) {
    xtargetCloseDisplay(second);
    return 0;
  }
  XGrabServer(second);
  XSync(second, False);
  XMoveWindow(display, window, 1, 1);
  XFlush(display);
  int moved = moveGotThrough(second, window);
  if (moved < 0) PALVON_UNE();
  XUngrabServer(second);
  XSync(second, False);
  // The move must be carried out while its window still exists, or it would
  // leave a BadWindow behind on the caller's connection.
  XSync(display, False);
  xtargetCloseDisplay(second);
  return moved == 1 ? 1 : 0;
}

// --- Graphics contexts per depth ----------------------------------------------

namespace {

struct DepthGCCache {
  DepthGCCache* next;
  DepthGCCache* previous;
  Display* display;
  int screen;
  GC gcs[33];
};

DepthGCCache* depthGCCaches = nullptr;

// Called by Xlib while the Display closes: only the memory is freed, since
// the server drops the contexts with the connection and a request could
// block on a server that is already gone.
int freeDepthGCCaches(Display* display, XExtCodes*) {
  for (DepthGCCache* cache = depthGCCaches; cache;) {
    DepthGCCache* next = cache->next;
    if (cache->display == display) {
      for (GC gc : cache->gcs) {
        if (!gc) continue;
        _XFreeExtData(gc->ext_data);
        Xfree(gc);
      }
      if (cache->previous) cache->previous->next = cache->next;
      else depthGCCaches = cache->next;
      if (cache->next) cache->next->previous = cache->previous;
      free(cache);
    }
    cache = next;
  }
  return 0;
}

bool displayHasCache(Display* display) {
  for (DepthGCCache* cache = depthGCCaches; cache; cache = cache->next) {
    if (cache->display == display) return true;
  }
  return false;
}

void makeDepthGC(DepthGCCache* cache, int depth) {
  if (depth < 1 || depth > 32 || cache->gcs[depth]) return;
  Display* display = cache->display;
  Pixmap pixmap = XCreatePixmap(display, RootWindow(display, cache->screen), 1, 1, depth);
  XGCValues values = {};
  values.foreground = 1;
  values.background = 0;
  values.graphics_exposures = False;
  cache->gcs[depth] = XCreateGC(display, pixmap, GCForeground | GCBackground | GCGraphicsExposures, &values);
  XFreePixmap(display, pixmap);
}

DepthGCCache* buildDepthGCCache(Display* display, int screen) {
  auto* cache = static_cast<DepthGCCache*>(calloc(1, sizeof(DepthGCCache)));
  if (!cache) {
    PALVON_OOM();
    return nullptr;
  }
  if (!displayHasCache(display)) {
    XExtCodes* codes = XAddExtension(display);
    if (!codes) {
      free(cache);
      PALVON_OOM();
      return nullptr;
    }
    XESetCloseDisplay(display, codes->extension, freeDepthGCCaches);
  }
  cache->display = display;
  cache->screen = screen;
  // Listed before the first request: a call given up while the contexts
  // are made leaves them to the close hook.
  cache->next = depthGCCaches;
  if (depthGCCaches) depthGCCaches->previous = cache;
  depthGCCaches = cache;
  int count = 0;
  if (int* depths = XListDepths(display, screen, &count)) {
    for (int i = 0; i < count; i++) makeDepthGC(cache, depths[i]);
    XFree(depths);
  }
  if (XPixmapFormatValues* formats = XListPixmapFormats(display, &count)) {
    for (int i = 0; i < count; i++) makeDepthGC(cache, formats[i].depth);
    XFree(formats);
  }
  return cache;
}

}  // namespace

GC getDepthGC(Display* display, int screen, int depth) {
  if (depth < 0 || depth > 32 || screen < 0 || screen >= ScreenCount(display)) return nullptr;
  DepthGCCache* cache = depthGCCaches;
  while (cache && !(cache->display == display && cache->screen == screen)) cache = cache->next;
  if (!cache) cache = buildDepthGCCache(display, screen);
  return cache ? cache->gcs[depth] : nullptr;
}

}  // namespace palvon
