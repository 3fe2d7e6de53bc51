// Colour cells on one real server, taken exactly: the pixel values a client
// was given by the colour head must mean the same cells on every other head,
// so the proxy's own connection to each head's server asks for them and,
// when the server would hand out other cells, grabs and juggles free cells
// until it gets exactly the wanted ones.
//
// Every call goes through the failsafe layer: a display whose connection is
// broken makes the call fail (result 0, nothing allocated). Display is the
// proxy's Xlib connection to a server. Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct VisualRecord;

// AllocColor that must give colour->pixel. On success the colour's RGB
// becomes what the server stored; with sync the display is synced after
// the cell juggling. 1 or 0.
int allocPixelExactly(Display* display, Colormap colormap, XColor* colour, bool sync);
// The same for a list (colour pixels and RGB as wanted), sharing one grab
// of free cells; a colour whose pixel cannot be had is logged and skipped.
// False only when an AllocColor fails.
bool allocPixelsExactly(Display* display, Colormap colormap, const XColor* colours, u32 count);
// AllocColorCells that must give exactly these pixels and plane masks. 0 on
// failure, when nothing of the request stays allocated. `visual` is the
// colormap's visual on that server: a DirectColor map's cells are entries
// of three tables (null: one table, as of PseudoColor).
int allocColorCellsExactly(Display* display, Colormap colormap, const u32* pixels, u32 count, const u32* masks,
                           u32 maskCount, const VisualRecord* visual = nullptr);
// The same for single cells, as the heads layer replays them.
bool allocColorCellsExactly(Display* display, Colormap colormap, const unsigned long* pixels, u32 count);
// AllocColorPlanes that must give exactly these masks and pixels; 1 or 0 as
// above.
int allocColorPlanesExactly(Display* display, Colormap colormap, u32 redMask, u32 greenMask, u32 blueMask,
                            const u32* pixels, u32 count, const VisualRecord* visual = nullptr);
// AllocColor with the colour's RGB shifted by 0, -2, +2, -4, +4, ... (all
// three channels, clamped) until the server gives colour->pixel, each wrong
// cell freed again; at most kNearTries tries. 1 (colour's RGB = the server's)
// or 0.
constexpr u32 kNearTries = 1024;
int allocColorNear(Display* display, Colormap colormap, XColor* colour);
// Stores the colour into every free cell and frees them again; the number
// of cells, 0 when none (or memory ran out).
u32 fillFreeColorCells(Display* display, Colormap colormap, u16 red, u16 green, u16 blue);
// The same with black, once for a head's colormap of a dynamic visual, so
// that cells given out later start from a known colour.
u32 fillFreeColorCells(Display* display, Colormap colormap, const VisualRecord* match);
// The allocated cells of pixels 0 .. size - 1 with their colours (a new
// array, free it with free), their number in *count; null when memory runs
// out or the display is offline.
XColor* queryAllocatedColors(Display* display, Colormap colormap, u32 size, u32* count);

// The next pixel of a walk over base | (every subset of mask), starting at
// base; base - 1 after the last (base | mask). TrueColor and DirectColor
// raise every channel field by one together until the value lies within
// base | mask (ending after a whole round of the fields).
u32 nextPixelValue(u32 pixel, const VisualRecord* visual, u32 base, u32 mask);

// True when the pixel is base combined with some subset of mask.
inline bool isPixelInCells(u64 pixel, u32 base, u32 mask) { return (pixel & ~u64(mask)) == (base & ~mask); }

}  // namespace palvon
