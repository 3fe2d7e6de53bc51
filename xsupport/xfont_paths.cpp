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

// What a test holds while it runs: the path it borrowed and the path it
// read back. A display that breaks inside a test leaves it through the
// failsafe layer's jump, past the frees below: what was held then is freed
// by xfontReleaseCutShort, or by the next test at the latest.
struct HeldPaths {
  BorrowedFontPath saved;
  char** now = nullptr;
};
HeldPaths held;

BorrowedFontPath* borrowFontPath(Display* display) {
  xfontReleaseCutShort();
  XGrabServer(display);
  held.saved.paths = XGetFontPath(display, &held.saved.count);
  xErrorTrapBegin(display);
  return &held.saved;
}

void returnFontPath(Display* display, BorrowedFontPath* saved) {
  XSetFontPath(display, saved->paths, saved->count);
  if (saved->paths) XFreeFontPath(saved->paths);
  *saved = BorrowedFontPath{};
  XSync(display, False);
  xErrorTrapEnd();
  XUngrabServer(display);
  XFlush(display);
}

// The server's path now (held until dropNow).
char** readNow(Display* display, int* n) {
  *n = 0;
  held.now = XGetFontPath(display, n);
  return held.now;
}

void dropNow() {
  if (held.now) XFreeFontPath(held.now);
  held.now = nullptr;
}

}  // namespace

void xfontReleaseCutShort() {
  if (held.saved.paths) XFreeFontPath(held.saved.paths);
  dropNow();
  held = HeldPaths{};
}

void xfontValidFontPaths(Display* display, u32 count, char** paths, char*** valid, u32* validCount) {
  BorrowedFontPath* saved = borrowFontPath(display);
  for (u32 i = 0; i < count; i++) {
    XSetFontPath(display, &paths[i], 1);
    int n = 0;
    char** now = readNow(display, &n);
    if (n > 0 && strcmp(now[0], paths[i]) == 0 && !strlistAdd(validCount, valid, paths[i])) PALVON_OOM();
    dropNow();
  }
  returnFontPath(display, saved);
}

int xfontFontPathAccepted(Display* display, char** paths, u32 count) {
  BorrowedFontPath* saved = borrowFontPath(display);
  XSetFontPath(display, paths, static_cast<int>(count));
  int n = 0;
  char** now = readNow(display, &n);
  int equal = strlistEqual(static_cast<u32>(n), now, count, paths);
  dropNow();
  returnFontPath(display, saved);
  return equal;
}

int xfontPathElementEmpty(Display* display, const char* element) {
  BorrowedFontPath* saved = borrowFontPath(display);
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
  returnFontPath(display, saved);
  return refused || listed == 0 ? 1 : 0;
}

}  // namespace palvon
