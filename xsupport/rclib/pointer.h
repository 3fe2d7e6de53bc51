// XRCLib drawing side: telepointers (a second visible pointer on a head that
// does not hold the real pointer), cursors on windows and on the active
// pointer grab, cursor image records, short-lived highlights on the root,
// override-redirect InputOnly windows, pointer warps, and carrying a pointer
// position back over a crossing between two screens of one server.
//
// Every call takes the Display first and flushes with the flush option.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

// --- Telepointers -------------------------------------------------------------------
enum : u32 {
  kTelepointerNone = 0,
  kTelepointerMaster = 1,  // an XInput 2 master pointer of its own
  kTelepointerWindow = 2,  // a shaped override-redirect window
};

// Owned by the caller, one per head; all zero is "none". The display is
// passed to every call, so a record is only meaningful with the display it
// was made on.
struct Telepointer {
  u32 kind;
  u32 screen;
  u32 shown;
  u32 xinputOpcode;  // kind 1
  u32 deviceId;      // kind 1: the master pointer
  Window window;     // kind 2
  Colormap colormap;
  u16 hotX;
  u16 hotY;
  u16 depth;
  unsigned long foreground;
  unsigned long background;
  u8 pixelsAllocated;
};

// 1 when a telepointer was made. preferMaster asks for a master pointer
// named "<name> pointer"; otherwise (or without XInput 2) a window under
// parent, which needs SHAPE when needShape is set.
int xrcTelepointerCreate(Display* display, u32 screen, const char* name, Window parent, int depth, Visual* visual,
                         Colormap colormap, int preferMaster, int needShape, Telepointer* telepointer);
// Shows the telepointer's hot spot at a root position.
void xrcTelepointerMove(Display* display, Telepointer* telepointer, int x, int y);
void xrcTelepointerHide(Display* display, Telepointer* telepointer);
void xrcTelepointerDestroy(Display* display, Telepointer* telepointer);
// 0 when the colours could not be had (black and white are used then).
int xrcTelepointerSetColors(Display* display, Telepointer* telepointer, XColor* foreground, XColor* background);
void xrcTelepointerSetPixels(Display* display, Telepointer* telepointer, unsigned long foreground,
                             unsigned long background);
// The window's picture (background pixmap) and shape (mask at 0,0).
void xrcTelepointerSetShape(Display* display, Telepointer* telepointer, u32 width, u32 height, Pixmap pixmap,
                            Pixmap mask, u32 hotX, u32 hotY);
int xrcTelepointerExists(const Telepointer* telepointer);
int xrcTelepointerShown(const Telepointer* telepointer);
Window xrcTelepointerWindow(const Telepointer* telepointer);

// --- Cursor images ----------------------------------------------------------------------
// One image of a cursor: a bitmap cursor (depth 1, colours) or a RENDER
// image (renderFormat set, 32 bits per pixel), one frame of an animation.
// image and mask are heap blocks owned by the record; mask may be nullptr
// or the same block as image.
struct HeadCursor {
  u16 width;
  u16 height;
  u16 depth;
  u16 hotX;
  u16 hotY;
  XColor foreground;
  XColor background;
  u32 renderFormat;
  u32 delay;  // ms per frame
  u8* image;
  u8* mask;
};

// ((width * bitsPerPixel + 7) / 8) * height
size_t cursorImageSize(u32 width, u32 height, u32 bitsPerPixel);
// The target gets its own copies of the buffers; 0 when memory runs out
// (the target is then empty).
int cursorImageCopy(HeadCursor* target, const HeadCursor* source);
void cursorImageFree(HeadCursor* image);
int cursorImageAssign(HeadCursor* target, const HeadCursor* source);
HeadCursor* cursorImageArrayDup(const HeadCursor* images, u32 count);
void cursorImageArrayFree(HeadCursor* images, u32 count);

// --- Cursors ------------------------------------------------------------------------
// Bitmaps: rows padded to whole bytes, least significant bit first.
void bitmapSetBit(u32 x, u32 y, u8* bits, u32 width);
// The bitmaps of the box and cross cursors (rows of (width + 7) / 8 bytes);
// false for a size that makes no cursor.
bool xrcBoxCursorBits(u32 width, u32 height, u8* source, u8* mask);
bool xrcCrossCursorBits(u32 width, u32 height, u8* source, u8* mask);

// Defines the cursor on the window, or with window 0 on the active pointer
// grab. Device 256 only.
const char* xrcSetCursor(Display* display, Window window, u32 device, Cursor cursor);
const char* xrcSetBlankCursor(Display* display, int screen, Window window, u32 device);
const char* xrcSetArrowCursor(Display* display, int screen, Window window, u32 device);
const char* xrcSetWatchCursor(Display* display, int screen, Window window, u32 device);
const char* xrcSetXCursor(Display* display, int screen, Window window, u32 device);
const char* xrcSetHandCursor(Display* display, int screen, Window window, u32 device);
const char* xrcSetLeftButtonCursor(Display* display, int screen, Window window, u32 device);
const char* xrcSetMiddleButtonCursor(Display* display, int screen, Window window, u32 device);
const char* xrcSetRightButtonCursor(Display* display, int screen, Window window, u32 device);
const char* xrcSetBoxCursor(Display* display, int screen, Window window, u32 device, u32 width, u32 height);
const char* xrcSetCrossCursor(Display* display, int screen, Window window, u32 device, u32 width, u32 height);
const char* xrcSetDotCursor(Display* display, int screen, Window window, u32 device);
Cursor xrcCursorLeftPtr(Display* display);
Cursor xrcCursorWatch(Display* display);
Cursor xrcCursorFleur(Display* display);
Cursor xrcCursorBlank(Display* display, int screen);
Cursor xrcCursorBitmapA(Display* display, int screen);
Cursor xrcCursorBitmapB(Display* display, int screen);

// --- Pointer ----------------------------------------------------------------------------
const char* xrcWarpPointer(Display* display, u32 device, int dx, int dy);
const char* xrcWarpPointerTo(Display* display, u32 device, Window window, int x, int y);
// Cursor 0 ungrabs; the grab status otherwise.
int xrcGrabPointerWithCursor(Display* display, u32 device, Cursor cursor);
// 1 when a warp shows in a pointer query at once.
int xrcCanWarpPointer(Display* display, u32 device);
// Carries a position that crossed from one screen of a server to another
// (both given with their origins in one coordinate space) back into the
// target screen, onto its nearest edge.
void xrcUndoScreenCrossing(Display* display, int fromScreen, int fromX, int fromY, int x, int y, int toScreen,
                           int toX, int toY, int* outX, int* outY);

// --- Windows and highlights ---------------------------------------------------------------
Window xrcCreateInputWindow(Display* display, Window parent, int x, int y, u32 width, u32 height, long eventMask);
// Mapped and raised, and owner of the marker selection.
void xrcShowMarkedWindow(Display* display, Window window);
void xrcHideMarkedWindow(Display* display, Window window);
int xrcMarkedWindowShown(Display* display);
// Drawn inverted under a server grab and drawn again, so the screen ends as
// it was.
void xrcHighlightPosition(Display* display, int screen, int x, int y);
void xrcHighlightGeometry(Display* display, int screen, int x, int y, u32 width, u32 height);
void xrcDrawCrosshair(Display* display, Drawable drawable, int x, int y);

}  // namespace palvon
