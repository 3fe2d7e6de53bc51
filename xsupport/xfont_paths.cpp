// Font-path tests against a server.
#include <stdlib.h>
#include <string.h>

#include <X11/Xlib.h>

#include "base/logging.h"
#include "base/strlist.h"
#include "xsupport/xfont.h"
#include "xsupport/xtarget.h"

namespace palvon {

// --- Font paths -------------------------------------------------------------------
// Each test sets the server's path, looks, and puts the old path back, all
// under a server grab so that no other client sees the borrowed path, and
// under the error trap since a refused element is an expected answer.

namespace {

// The server's path while a test borrows it.
struct BorrowedFontPath {
  int count = 0;
  char** paths = nullptr;
};

BorrowedFontPath borrowFontPath(Display* display) {
  XGrabServer(display);
  BorrowedFontPath saved;
  saved.paths = XGetFontPath(display, &saved.count);
  xErrorTrapBegin(display);
  return saved;
}

void returnFontPath(Display* display, BorrowedFontPath* saved) {
  XSetFontPath(display, saved->paths, saved->count);
  if (saved->paths) XFreeFontPath(saved->paths);
  saved->paths = nullptr;
  XSync(display, False);
  xErrorTrapEnd();
  XUngrabServer(display);
  XFlush(display);
}

}  // namespace

void xfontValidFontPaths(Display* display, u32 count, char** paths, char*** valid, u32* validCount) {
  BorrowedFontPath saved = borrowFontPath(display);
  for (u32 i = 0; i < count; i++) {
    XSetFontPath(display, &paths[i], 1);
    int n = 0;
    char** now = XGetFontPath(display, &n);
    if (n > 0 && strcmp(now[0], paths[i]) == 0 && !strlistAdd(validCount, valid, paths[i])) PALVON_OOM();
    if (now) XFreeFontPath(now);
  }
  returnFontPath(display, &saved);
}

int xfontFontPathAccepted(Display* display, char** paths, u32 count) {
  BorrowedFontPath saved = borrowFontPath(display);
  XSetFontPath(display, paths, static_cast<int>(count));
  int n = 0;
  char** now = XGetFontPath(display, &n);
  int equal = strlistEqual(static_cast<u32>(n), now, count, paths);
  if (now) XFreeFontPath(now);
  returnFontPath(display, &saved);
  return equal;
}

int xfontPathElementEmpty(Display* display, const char* element) {
  BorrowedFontPath saved = borrowFontPath(display);
  char* one = const_cast<char*>(element);
  XSetFontPath(display, &one, 1);
  XSync(display, False);
  // A refused element leaves the old path in place, whose fonts would make
  // the element look usable.
  bool refused = xErrorTrapEnd() != 0;
  xErrorTrapBegin(display);
  int listed = 0;
  if (!refused) {
    char** names = XListFonts(display, "*", 1, &listed);
    if (names) XFreeFontNames(names);
  }
  returnFontPath(display, &saved);
  return refused || listed == 0 ? 1 : 0;
}

}  // namespace palvon
