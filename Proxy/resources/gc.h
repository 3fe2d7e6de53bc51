// Graphics contexts: the proxy's record of every GC a client makes, the
// requests CreateGC to FreeGC, and the rule by which the client's GC values
// become the values of each head (pixels for the head's visual, ids of the
// head's server, line widths, dashes, origins and clip lists scaled for a
// zoomed or turned head).
//
// Ownership: a record belongs to its id in the resource database (type
// RT_GC) and is freed by destroyGCRecord when the id goes; it holds one
// reference on its tile, stipple and clip-mask pixmaps and on its font.
// Main thread only.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xproto.h>

#include "base/strings.h"

namespace palvon {

struct FontRecord;
struct Head;
struct MetaScreen;
struct PixmapRecord;
struct ServerLink;
struct VisualRecord;

constexpr u32 kGCComponentCount = 23;
constexpr u32 kGCAllComponents = (1u << kGCComponentCount) - 1;
// The components whose values name resources: pixmaps and the font.
constexpr u32 kGCResourceComponents = GCTile | GCStipple | GCFont | GCClipMask;

struct GCRecord {
  u32 id;
  u8 depth;
  MetaScreen* screen;
  VisualRecord* visual;  // of the drawable the GC was made for; null for none
  // The client's values as it sent them (ids are the client's), in the
  // layout the request writers take.
  XGCValues values;
  PixmapRecord* tile;  // referenced
  PixmapRecord* stipple;
  PixmapRecord* clipMask;
  FontRecord* font;
  u16 tileWidth, tileHeight;  // of the tile or stipple set last
  u16 clipWidth, clipHeight;  // of the clip mask or the clip list; 1 x 1 without
  u8* dashList;               // the last SetDashes (null: the dashes value)
  u32 dashCount;
  xRectangle* clipRectangles;  // the last SetClipRectangles
  u16 clipCount;
  u8 ordering;
  // The drawable the scaled heads' clip and origins were last sent for
  // (0: to be sent again before the next drawing).
  u32 preparedDrawable;
};

// --- Request handlers ------------------------------------------------------------
void ProcCreateGC(u8* request, u32 length);
void ProcChangeGC(u8* request, u32 length);
void ProcCopyGC(u8* request, u32 length);
void ProcSetDashes(u8* request, u32 length);
void ProcSetClipRectangles(u8* request, u32 length);
void ProcFreeGC(u8* request, u32 length);

// --- The record ------------------------------------------------------------------

// Stores a value list (one 32-bit word per mask bit, in bit order, in the
// proxy's byte order) into the record, taking and dropping pixmap and font
// references.
void applyGCValueList(GCRecord* gc, u32 mask, const u8* values);
// Only the values, into an Xlib GC record (no references taken).
void mergeGCValueList(XGCValues* values, u32 mask, const u8* list);
// The resource type's destructor: drops the references and frees the record.
void destroyGCRecord(GCRecord* gc);
MetaScreen* gcRecordScreen(const GCRecord* gc);

// Whether the GC has no copy on the head (a head with sloppyVisuals and
// sloppyDepths that lacks the GC's depth).
bool gcSkipsHead(const GCRecord* gc, const Head* head);

// The head's values of the components in `mask`, taken from `values` (the
// client's values, ids the client's): pixels converted, pixmap and font ids
// translated, and on a scaled head line width and dash offset scaled and
// origins scaled with the tile or clip size in the frame of `drawable`.
// Returns the mask for the head: on a scaled head widened to both origins
// of a pair, on a head that draws text as bitmaps without the font.
u32 headGCValues(const GCRecord* gc, const Head* head, u32 mask, const XGCValues& values, u32 drawable,
                 XGCValues* out);
// Whether the head takes the client's value list for `mask` as it is, but
// for its ids: it neither scales, nor converts the GC's pixels, nor draws
// the font of the list as bitmaps.
bool gcValuesPassAsIs(const GCRecord* gc, const Head* head, u32 mask);
// Translates the pixmap and font ids of such a value list (one word per
// mask bit, the proxy's byte order) in place for the head.
void translateGCValueIds(const GCRecord* gc, const Head* head, u32 mask, u8* list);

// The current client's values of the GC put back on the head after the
// text engine changed the components of `mask`; with `clipChanged` the
// clip list, when the GC has one, is sent again. False when the link could
// not take the requests.
bool restoreGCOnHead(const GCRecord* gc, const Head* head, ServerLink* link, u32 mask, u32 drawable,
                     bool clipChanged);

// What the scaled-GC preparation reads of a GC; false when there is none.
struct GCFacts {
  MetaScreen* screen;
  u32 preparedDrawable;  // the drawable it was last prepared for
  const xRectangle* clipRectangles;
  u32 clipCount;
  i16 clipX, clipY;
  i16 tileX, tileY;
  u16 tileWidth, tileHeight;
  u16 clipWidth, clipHeight;
  u8 depth;
};
bool describeGC(u32 gc, GCFacts* out);
void notePreparedDrawable(u32 gc, u32 drawable);
// The font information of the GC's font (loaded on the font server), null
// when the GC has none.
XFontStruct* gcFontInfo(u32 gc);

}  // namespace palvon
