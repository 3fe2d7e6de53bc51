// Pointer-side services of the heads: a real server's pointer acceleration
// and button map saved, put back and copied; meta cursor images made into a
// cursor of one head (core bitmap, RENDER ARGB or animated) and shown on a
// window, on the active pointer grab or on a telepointer; the null mouse that
// takes a server's physical mouse away from its core pointer; the geometry
// that finds where the pointer leaving one head enters another; and the
// window-manager helpers of heads shown inside a window.
//
// Every call on a Display goes through the failsafe layer: on an offline
// display nothing happens and the calls that report errors give the offline
// text. Texts returned are temporary strings. Main thread only.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xrender.h>

#include "Proxy/input/headinput.h"
#include "base/strings.h"
#include "xsupport/rclib/pointer.h"

namespace palvon {

// --- Pointer settings ---------------------------------------------------------------

// A server's acceleration and button map.
struct PointerSettings {
  i32 accelNumerator, accelDenominator, threshold;
  u8 buttonMap[256];
  i32 buttonCount;
};
constexpr u32 kSavedButtonsMax = 63;

// Reads the acceleration and up to 63 button map entries. Null or the
// offline text.
const char* savePointerSettings(Display* display, PointerSettings* settings);
// Sets acceleration and threshold and the button map back.
void restorePointerSettings(Display* display, const PointerSettings* settings);
// For two different displays: the target gets the source's button map for
// its own button count; buttons the source lacks are disabled (0). Null or
// a message.
const char* copyPointerMapping(Display* from, Display* to);
// The map `to` gets: source entries for the target's count, 0 beyond the
// source's length. Pure, for the copy and its tests.
void mergeButtonMaps(const u8* source, u32 sourceCount, u8* target, u32 targetCount);

// --- Cursors on heads ---------------------------------------------------------------

// The display's RENDER picture format with that id; null when none.
XRenderPictFormat* findRenderFormatById(Display* display, u32 formatId);
// One core cursor from a single bitmap image without RENDER format; else a
// RENDER cursor per image, several of them made into one animated cursor.
// Null or a message; *cursor is set on success.
const char* createCursorFromImages(Display* display, int screen, const HeadCursor* images, u32 count,
                                   Cursor* cursor);
// Makes the cursor and sets it on the active pointer grab (toActiveGrab) or
// defines it on the window; the cursor is freed at once. Null or a message.
const char* applyHeadCursor(Display* display, int screen, Window window, const HeadCursor* images, u32 count,
                            bool toActiveGrab);
// Shows a meta cursor image on a head's telepointer.
void createHeadCursor(Display* display, Window window, Telepointer* telepointer, const HeadCursor* image);
// The 1-bit mask of an ARGB image: set where alpha (pixel >> alphaShift &
// alphaMask) is at least 200. Rows of (width + 7) / 8 bytes, least
// significant bit first; pixels are 32-bit words in host order. Pure.
void alphaMaskBits(const u32* pixels, u32 width, u32 height, u32 alphaShift, u32 alphaMask, u8* bits);

// --- The null mouse -------------------------------------------------------------------

// Marks the state active with the physical and null device numbers of
// xrcFindNullMouse; null or its error.
const char* initNullMouseState(Display* display, NullMouseState* state);
// Opens the null mouse and makes it the core pointer, then grabs the
// physical mouse's motion and buttons for the proxy. Null or a message; on
// failure nothing stays changed.
const char* setupNullMouse(Display* display, NullMouseState* state);
// Undoes setupNullMouse; the physical mouse stays open. Null or the first
// failure.
const char* releaseNullMouse(Display* display, NullMouseState* state);

// --- Where the pointer enters the next head -------------------------------------------

constexpr u32 kNoEntry = 0xffffffffu;
constexpr u32 kNoEntrySameArea = 0xfffffffeu;
constexpr i32 kMinusInfinity = -0x7fffffff;
constexpr i32 kPlusInfinity = 0x7ffffffe;

// A pixel offset from the head's origin in the area's units, from the real
// screen's millimetres per pixel; becomes the area's pointer and entry
// position.
void pointerOffsetToUnits(HeadArea* area, Display* display, int screen, i32 dx, i32 dy);
void pointerOffsetToUnitsBySize(HeadArea* area, u32 widthPixels, u32 widthMM, u32 heightPixels, u32 heightMM,
                                i32 dx, i32 dy);
// kNoEntry when the probe rectangle (x0, y0)-(x1, y1), inclusive, misses
// the area; else the Manhattan distance from the point to the area plus 2,
// with the point clamped into the area.
u32 scoreEntryInto(i32* x, i32* y, const HeadArea* area, i32 x0, i32 y0, i32 x1, i32 y1);
// How well the pointer leaving `from` enters `to` (lower is nearer): 0 when
// it lies inside `to` already, 1 when it lies within one pixel of `from`
// inside `to`, else the score of the probe beyond the side or corner it
// leaves by; kNoEntry (kNoEntrySameArea for from == to) when it does
// not get there. Sets `to`'s entry position.
u32 findHeadEntry(const HeadArea* from, HeadArea* to);

// --- Heads inside a window -------------------------------------------------------------

// Formats at most 255 characters as the window's name.
void setWindowTitle(Display* display, Window window, const char* format, ...) __attribute__((format(printf, 3, 4)));
// The window's normal hints with the position (PPosition), the size (USSize)
// or the maximum size (PMaxSize) set.
void setWindowPositionHint(Display* display, Window window, i32 x, i32 y);
void setWindowSizeHint(Display* display, Window window, i32 width, i32 height);
void setWindowMaxSizeHint(Display* display, Window window, i32 width, i32 height);

// Moves the window with the pointer while the button pressed at (startX,
// startY) stays down. The pointer is grabbed on the window (confined to the
// root) and the drag is driven by the grab's events from the event loop
// (handleWindowDragEvent); nothing is grabbed when the buttons are already
// up. False when the grab could not be had; true when the drag started or
// had nothing to do.
bool dragWindowWithPointer(Display* display, Window window, Cursor cursor, i32 startX, i32 startY);
// Takes the events of a running drag; true when the event was the drag's.
bool handleWindowDragEvent(Display* display, const XEvent* event);
// Whether the proxy itself holds a pointer grab on the display for a drag.
bool windowDragActive(const Display* display);
// Forgets a drag on a display that went offline (nothing is sent).
void cancelWindowDrag(const Display* display);

}  // namespace palvon
