// Colour allocations of a client repeated on the heads that did not answer
// them. The colour head answers every allocation through the client's own
// link; the other heads of the colormap's meta screen get the very same
// pixels through the proxy's own connection to their servers (colorcells.h).
// Each ColormapRecord keeps the list of what every client holds, so that a
// client's cells can be freed, moved to a copied colormap, or freed when the
// client goes. Also: the meta screens' installed-colormap lists and the
// colormaps of emulated visuals.
//
// Target heads of a repetition: every online head of the colormap's screen
// but its colour head that has a match for the colormap's visual. A head
// whose match is emulated holds an AllocAll colormap of its real visual:
// colours are stored there, cells are neither allocated nor freed.
//
// Operations that return int give 1 on success, 0 on failure; a failed
// allocation leaves nothing of itself on the heads it reached and no entry
// in the list (the caller undoes the colour head's part). Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "Proxy/visuals/emulation.h"
#include "base/strings.h"

namespace palvon {

struct ColormapRecord;
struct Head;
struct MetaScreen;
struct ProxyClient;
struct VisualRecord;

// The emulation block of a colormap: the head it was set up for, that
// head's record of the visual, and the proxy's cells.
struct EmulatedColormapState {
  Head* head;
  const VisualRecord* headVisual;
  EmulatedColormap cells;
};

// --- Repetition on the other heads ------------------------------------------------
// Appends {client, pixel, 0, shared} and stores the colour as the pixel's;
// with a client, allocates the same pixel and colour on every target head.
// The colour's pixel is in client terms.
int allocColorOnHeads(ProxyClient* client, ColormapRecord* colormap, const XColor* colour);
// One writable entry per pixel with the OR of the masks. A colormap made
// AllocAll holds every cell on every head already: only the list changes.
int allocColorCellsOnHeads(ProxyClient* client, ColormapRecord* colormap, const u32* pixels, u32 count,
                           const u32* masks, u32 maskCount);
int allocColorPlanesOnHeads(ProxyClient* client, ColormapRecord* colormap, const u32* pixels, u32 count,
                            u32 redMask, u32 greenMask, u32 blueMask);
// items: wire COLORITEMs (pixel u32, red, green, blue u16, flags u8, pad)
// in the proxy's byte order. Colours of pixels inside a writable entry are
// kept in the record; every target head gets all items. 0 when memory ran
// out.
int storeColorsOnHeads(ColormapRecord* colormap, const u8* items, u32 count);
// Colours written into free cells of an emulated colormap (pixels in client
// terms), shown by every other head: an emulated copy stores them, a real
// one takes each cell exactly, stores into it and frees it again.
void showFreeCellColoursOnHeads(ColormapRecord* colormap, const XColor* colours, u32 count);
// An unknown name stores nothing and succeeds.
int storeNamedColorOnHeads(ColormapRecord* colormap, u32 pixel, u8 flags, const char* name, u32 length);
// CopyColormapAndFree: the client's entries of `from` move to `to` (whose
// colormap exists on the heads), colours included.
int moveClientCellsToColormap(ProxyClient* client, ColormapRecord* from, ColormapRecord* to);
// Free one entry (by index) on the target heads and drop it.
void freeSharedColorCell(ColormapRecord* colormap, u32 index);
void freeWritableColorCells(ColormapRecord* colormap, u32 index);
// FreeColors: the client's entries of these pixels with this plane mask.
void freeClientPixels(ProxyClient* client, ColormapRecord* colormap, const u32* pixels, u32 count, u32 planeMask);
// A leaving client's entries in every other client's colormap; call it
// after the client's own resources are freed and before its record goes.
void freeClientColormapCells(ProxyClient* client);
// Enters the colours that the head's default colormap already uses as the
// proxy's own cells (head visual writable, not DirectColor). Without a head
// the screen's black and white pixels are entered.
void preallocColormapCells(u32 colormap, Head* head, const VisualRecord* clientVisual,
                           const VisualRecord* headVisual);
// A read-only cell of the colour held by the proxy itself, in a colormap
// whose colour head emulates its visual (as a server's own allocations at
// its start): a cell of that colour already out is shared. False when the
// colour head shows the visual as it is (its server keeps such cells
// itself) or no cell is free; colour->pixel is the cell.
bool takeProxyColour(ColormapRecord* colormap, XColor* colour);
// The record's colour of a pixel (0 for a visual without tables), and
// setting it for the channels of flags (DoRed, DoGreen, DoBlue).
XColor colormapCellColour(const ColormapRecord* colormap, u32 pixel);
void setColormapCellColour(ColormapRecord* colormap, u32 pixel, u16 red, u16 green, u16 blue, u32 flags);
// The head's match for the colormap's visual; null when the head has none
// or is offline.
const VisualRecord* colormapHeadMatch(const ColormapRecord* colormap, const Head* head);
// True when that match is an emulated visual.
bool isColormapEmulatedOn(const ColormapRecord* colormap, const Head* head);
// A plane mask of the colormap's visual as the head needs it.
u32 colormapMaskOnHead(const ColormapRecord* colormap, u32 mask, const Head* head);

// --- Installed colormaps ----------------------------------------------------------
// The screen's installed list, most recently installed last: copies up to
// `maximum` ids and gives how many were copied.
u32 installedColormaps(const MetaScreen* screen, u32* ids, u32 maximum);
// A colormap of a static visual in its screen's installed list: installed
// for clients whatever a head's server lists (a server with an alpha visual
// never installs that visual's colormaps, which a head may show the meta
// screen's default through).
bool isStaticColormapInstalled(u32 colormap);
// Moves (or adds) the id to the end of the list (a full list forgets its
// oldest entry); false without a screen.
bool installColormapOnScreen(MetaScreen* screen, u32 colormap);
void removeInstalledColormap(MetaScreen* screen, u32 colormap);
// Empties the list, or makes it hold that one colormap.
void clearInstalledColormaps(MetaScreen* screen);
void setInstalledColormap(MetaScreen* screen, u32 colormap);

// Whether a server's own colormap could stand for the colormap with its
// cells as clients hold them: a static visual computes every pixel, and a
// dynamic one only while no client holds a cell (other programs on that
// server hold cells of its colormap the proxy cannot move). True for an
// unknown colormap.
bool colormapCellsReproducible(u32 colormap);

// --- Emulated visuals ---------------------------------------------------------------
// Sets the colormap's emulation block up for the head whose match for the
// colormap's visual is emulated: with a window an AllocAll colormap of the
// real visual is made there on the proxy's connection, else serverColormap
// names the colormap's id on the head. Null or the failure text.
const char* initColormapEmulation(ColormapRecord* colormap, Head* head, const VisualRecord* headVisual,
                                  Window window);
// The block's cells (for a meta screen's default colormap the colour
// head's); null when the colormap has none.
EmulatedColormap* emulatedColormapOf(u32 colormapId);
EmulatedColormap* emulatedCellsOf(ColormapRecord* colormap);

}  // namespace palvon
