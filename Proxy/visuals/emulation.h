// Visuals a head lacks, emulated with colour cells of the proxy's own.
//
// emulateVisuals adds, for instance, an 8-bit PseudoColor visual to a head
// that has only a deep DirectColor one: the head shows emulated pixel p as
// index p in every channel of the DirectColor visual, and the colormaps of
// the emulated visual live here, in EmulatedColormap records, cell by cell
// with their colours and holders.
//
// Cells are held per client number (the current client's, 0 for the proxy
// itself when no client is current). Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "Proxy/clients/client.h"
#include "Proxy/visuals/visual.h"
#include "base/strings.h"

namespace palvon {

constexpr u32 kEmulatedCells = 256;

// Cell states.
constexpr u16 kCellFree = 0;
constexpr u16 kCellShared = 1;   // read-only, shared by every client that allocates the colour
constexpr u16 kCellPrivate = 2;  // read-write

struct EmulatedColorCell {
  u16 state;
  u16 red, green, blue;  // masked by the visual's significant bits
  // One bit per client slot: bit n % 8 of byte n / 8. The cell is free once
  // the last bit is cleared.
  u8 holders[kMaxClientSlots / 8];
};

// One colormap of an emulated visual; copied whole by CopyColormapAndFree.
struct EmulatedColormap {
  u32 serverColormap;  // AllocAll colormap of the head's real visual; 0 when none
  VisualRecord visual; // the emulated visual (no colour-correction tables)
  EmulatedColorCell cells[kEmulatedCells];
};

// Wanted-visuals mask bits of the emulation table.
constexpr u32 kEmulatePseudoColor4 = 0x1;
constexpr u32 kEmulatePseudoColor8 = 0x2;
constexpr u32 kEmulateOnlyMissing = 0x1000;  // skip visuals the head already has

// The emulated visuals a head gains for the wanted mask, as a new array
// (null when none; free with freeHeadVisuals). Null or "Out of memory
// (%s:%d)". Logs "Emulating %s at %s..." per visual.
const char* emulateVisuals(Display* display, const VisualRecord* visuals, i32 count, u32 wantedMask,
                           VisualRecord** newVisuals, i32* newCount);

// Sets up a colormap of an emulated visual with every cell free. With a
// root window an AllocAll colormap of the head's real visual is made on the
// server; null or "XfsCreateColormap() failed".
const char* createEmulatedColormap(Display* display, Window root, const VisualRecord* visual,
                                   EmulatedColormap* colormap);
// Copies the record and moves the server colormap; false when the server
// could not be asked (the copy then has no server colormap).
bool copyEmulatedColormapAndFree(Display* display, const EmulatedColormap* colormap, EmulatedColormap* copy);

// AllocColor: shares a read-only cell of the same masked colour or takes a
// free one. The colour becomes the stored one and its pixel. False when no
// cell is free.
bool allocEmulatedColor(Display* display, EmulatedColormap* colormap, XColor* colour);
// AllocNamedColor: the exact colour of the name and the allocated one.
bool allocNamedEmulatedColor(Display* display, EmulatedColormap* colormap, const char* name, u32 length,
                             XColor* screenColour, XColor* exactColour);
// The cell of colour->pixel, when free, becomes a shared one of that
// (masked) colour held by the current client; false when it is not free.
bool allocEmulatedPixel(EmulatedColormap* colormap, const XColor& colour);
// The first `count` free cells, in index order, get the state and the
// current client as holder. False for 0 or when fewer are free.
bool allocEmulatedCells(EmulatedColormap* colormap, u16 state, u32* pixels, u32 count);
// `count` base pixels and a mask of `planes` bits such that every base
// combined with every subset of the mask is a free cell; the X server's
// search order (contiguous masks first). False when no such set exists.
bool allocEmulatedColorCells(EmulatedColormap* colormap, u16 state, bool contiguous, u32* planeMask, u32 planes,
                             u32* pixels, u32 count);
// AllocColorCells: private cells; masks receives the single-bit plane masks,
// lowest first.
bool allocEmulatedColorCellsRequest(Display* display, EmulatedColormap* colormap, bool contiguous, u32* masks,
                                    u32 planes, u32* pixels, u32 count);
// The colours a plain server's cursor takes in a colormap installed under
// it: each colour that no shared cell holds is written into the next free
// cell, which stays free. The cells written (pixel and stored colour) go to
// `written` (room for count); their number is returned.
u32 writeColoursIntoFreeCells(EmulatedColormap* colormap, const XColor* colours, u32 count, XColor* written);
// FreeColors: releases every pixel combined with every subset of the plane
// mask that the current client holds. Returns 0, or the error of the last
// fault: BadValue for a pixel beyond the colormap (stored in *badValue),
// BadAccess for a cell the client does not hold.
u8 freeEmulatedColors(Display* display, EmulatedColormap* colormap, const u32* pixels, u32 count, u32 planeMask,
                      u32* badValue = nullptr);
// Releases every cell the current client holds (client shut-down).
void freeClientEmulatedCells(EmulatedColormap* colormap);
// Clears the current client's holder bit; true when that freed the cell.
bool releaseEmulatedColorCell(EmulatedColorCell* cell);

// The colour of a name: from the cache of names looked up before (masked
// by the significant bits), else from the server colormap (without one, the
// built-in colour names), then cached. False for an unknown name.
bool lookupColorNameCached(Display* display, const EmulatedColormap* colormap, const char* name, u32 length,
                           XColor* colour);
// StoreColors-like: writes the masked colours of the items whose pixel is
// inside the colormap and makes the current client a holder.
void setEmulatedColorCells(EmulatedColormap* colormap, const XColor* items, u32 count);

// (2^b - 1) << (16 - b) for b significant bits per channel (b at most 16).
u16 significantBitsMask(u32 bitsPerRgb);

}  // namespace palvon
