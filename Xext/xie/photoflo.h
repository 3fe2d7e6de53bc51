// Photoflo element lists as one real server must see them when a meta
// screen spans several heads: an import from a drawable becomes a PasteUp
// of one import per head, an export to a drawable is repeated per head,
// and the ids inside elements become the server's.
//
// Lists are read and written in the proxy's byte order: the module takes
// photoflo requests only where client, proxy and server share it. Every
// function here works on a list that photofloMeasure accepted.
//
// The model is reached through FloModel, so that the arithmetic does not
// depend on the resource database. Main thread only.
#pragma once

#include "base/rect.h"
#include "base/strings.h"

namespace palvon {

struct Head;

// Element types the translation knows.
inline constexpr u16 kFloImportDrawable = 4, kFloImportDrawablePlane = 5, kFloImportLUT = 6, kFloImportPhotomap = 7,
                     kFloImportROI = 8, kFloConvertFromIndex = 16, kFloConvertToIndex = 18, kFloPasteUp = 26,
                     kFloExportDrawable = 33, kFloExportDrawablePlane = 34, kFloExportLUT = 35, kFloExportPhotomap = 36,
                     kFloExportROI = 37;
// The most heads one split handles (one tile or export copy each).
inline constexpr u32 kFloMaxHeads = 64;

// The heads of the meta screen of a drawable, as the translation sees them.
struct FloScreen {
  const Head* byNumber[kFloMaxHeads];  // the head with that screen number, or null
  Rect rects[kFloMaxHeads];            // their rectangles in meta-screen coordinates
  const Head* first;                   // the screen's first head
  Rect firstRect;
  const Head* heads[kFloMaxHeads];  // every head in screen order (for the fallback)
  Rect headRects[kFloMaxHeads];
  u32 headCount;
};

struct FloModel {
  u32 n;  // heads per split, 1..kFloMaxHeads
  // The drawable's screen; with a window also its rectangle (x, y of its
  // inside origin in meta-screen coordinates, width, height). False when
  // the drawable is unknown; *isWindow false for a pixmap.
  bool (*screenOf)(u32 drawable, FloScreen* screen, Rect* window, bool* isWindow, void* argument);
  // The drawable's id on a head.
  u32 (*drawableOnHead)(u32 drawable, const Head* head, void* argument);
  // An id of the kind (the resource types: GC, colormap, server-only) on a head.
  u32 (*idOnHead)(u32 id, u32 kind, const Head* head, void* argument);
  // Where everything goes that names no drawable of a meta screen.
  const Head* fallback;
  void* argument;
};

// What a list needs once translated.
struct FloMeasure {
  u64 translatedBytes;  // the list with imports replaced by PasteUp elements
  u64 appendedBytes;    // the elements appended after it
  u32 imports;          // imports from drawables
  u32 appended;         // elements appended
  u32 elements;         // elements walked (up to one of length 0)
};

// Checks and measures `count` elements in the `bytes` of `list`. False when
// an element lies past the list's end or is too short for the fields the
// proxy reads. An element of length 0 ends the walk.
bool photofloMeasure(const u8* list, u64 bytes, u32 count, u32 n, FloMeasure* out);

// One entry per element of a stored photoflo: its first 28 bytes (only the
// type for elements other than imports from drawables), and the imported
// window's rectangle at the last split (width 0: no window).
struct FloElementInfo {
  u8 element[28];
  Rect window;
};
// One entry per import from a drawable, in list order.
struct FloImportMapEntry {
  u32 firstCopy;  // the phototag of the first appended import
  u32 own;        // the import's own phototag
};

// Writes the translated list (its first element has phototag
// firstElementTag) to `out` and the appended elements to
// `append` (sizes from photofloMeasure), appended phototags counting from
// firstTag, and fills the map and the info when given (entries for
// `count` elements, and for every import). The number of elements
// appended; 0 when an element of length 0 ended the walk.
u32 photofloTranslate(const u8* list, u32 count, u32 firstElementTag, u8* out, u8* append, u32 firstTag,
                      FloImportMapEntry* map, FloElementInfo* info, const FloModel& model);

// The client's phototag of a server phototag in an ImportObscured event:
// an appended import names the import it was split from.
u32 photofloClientTag(const FloImportMapEntry* map, u32 entries, u32 n, u32 tag);

// The phototag of the first element appended for the stored element `from`
// (1-based) and those after it: count + 1 plus what the elements before it
// appended (N per import, N - 1 per export to a drawable).
u32 photofloFirstAppendedTag(const FloElementInfo* info, u32 count, u32 from, u32 n);

}  // namespace palvon
