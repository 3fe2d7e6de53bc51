// Inside the RENDER module: the format set, the picture and glyph-set
// records, and what the module's files share. Other layers see only
// Xext/render/render.h.
//
// The format set lives from initRenderExtension to resetRenderExtension;
// pictures and glyph sets from their creating request to their freeing or
// their client's end. Main thread only.
#pragma once

#include <X11/Xproto.h>
#include <X11/extensions/renderproto.h>

#include "Proxy/dispatch/rows.h"
#include "Xext/render/render.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct MetaScreen;
struct PixmapRecord;
struct PictFormatRecord;
struct ProxyClient;
struct ProxyWindow;
struct RouteTarget;
struct ScalingDrawable;
struct ServerDisplay;

// Heads whose per-head format ids a format keeps (slots are handed out as
// heads first ask, and reused when a head's record is gone).
constexpr u32 kRenderHeadSlots = 128;

// How a plain server of an indexed visual stores a colour it computes: the
// cell of its palette nearest in five bits a channel (indexed.cpp).
struct IndexPalette {
  u8 cells[32768];  // by colour, five bits a channel, red highest
  u32 nearest(u16 red, u16 green, u16 blue) const;
};

// One picture format offered to clients.
struct ProxyPictFormat {
  u32 id;  // the proxy's own id, registered as RT_PICT_FORMAT
  u8 type;  // 0 Indexed, 1 Direct
  u8 depth;
  u16 screen;  // meta screen number; meaningful only with visuals
  u8 bits[4];    // red, green, blue, alpha bit counts (Direct)
  u8 shifts[4];  // red, green, blue, alpha shifts (Direct)
  u32 colormap;  // the proxy's colormap (Indexed)
  u32* visuals;  // proxy visual ids, sized from the server's list
  u32 visualCount;
  u32 headIds[kRenderHeadSlots];  // the matching server format per head slot
  IndexPalette* palette;  // an Indexed format some head emulates, else null
};

// The module's state.
struct RenderState {
  ProxyPictFormat* formats;
  u32 formatCount;
  const Head* slots[kRenderHeadSlots];
  // Each display's formats as read from its server, by server index.
  PictFormatRecord* displayFormats[32];
  u32 displayFormatCount[32];
};
extern RenderState renderState;

// --- Format set (formats.cpp) ------------------------------------------------

// Whether a server format passes the environment limits (depth and red
// bits at most the limits; ~0 for an unset variable).
bool pictFormatWithinLimits(const PictFormatRecord& format, u32 maxDepth, u32 maxBits);
// The index of the first server format that can stand for the proxy
// format on a head showing server screen `headScreen` that makes the
// format's depth at `headDepth` (deeper where the head lacks the depth);
// -1 when none.
i32 findMatchingPictFormat(const ProxyPictFormat& format, const PictFormatRecord* server, u32 count,
                           u32 headScreen, u32 headDepth);
// The size in bytes of the QueryPictFormats reply for these formats and
// meta screens, and the reply itself (header included, sequence 0) in `out`.
u32 pictFormatsReplySize(const ProxyPictFormat* formats, u32 count, const u32* screens, u32 screenCount);
void writePictFormatsReply(u8* out, const ProxyPictFormat* formats, u32 count, const u32* screens,
                           u32 screenCount);
// The format registered under the proxy id; null when none.
ProxyPictFormat* findPictFormat(u32 id);
// The meta screen of a format with visuals, else null.
MetaScreen* pictFormatScreen(const ProxyPictFormat* format);
// The per-head id, or the id unchanged when it is no proxy format.
u32 renderFormatForHead(u32 id, const Head* head);
// The same for a picture of a drawable that the head keeps at `depth`,
// which may be deeper than the format's.
u32 drawableFormatForHead(const ProxyPictFormat* format, const Head* head, u32 depth);
// The head's server's format of the format's own depth and channels; 0
// when it has none.
u32 nativePictFormatForHead(const ProxyPictFormat* format, const Head* head);
// The head's server's format of that id; null when it has none.
const PictFormatRecord* serverPictFormat(const Head* head, u32 id);
const char* buildPictFormats(ExtensionEntry* entry);
void freePictFormats();

// --- Pictures (picture.cpp) ------------------------------------------------------

struct PictureRecord {
  u32 id;
  u32 references;     // pictures that use this one as their alpha map
  u32 window;         // the window of a window picture (looked up when used), else 0
  PixmapRecord* pixmap;  // of a pixmap picture, referenced
  MetaScreen* screen;    // of a drawing picture; null for source pictures
  const ProxyPictFormat* format;  // null for source pictures
  PictureRecord* alphaMap;
  i16 alphaX, alphaY;
  PixmapRecord* clipMask;  // referenced
  xRectangle* clipRects;
  u32 clipCount;
  i16 clipX, clipY;
  u32 dither;
  u8 repeat, graphicsExposures, subwindowMode, polyEdge, polyMode, componentAlpha;
  u8 hasTransform;
  u32 transform[9];
  char* filterName;
  u32* filterValues;  // the filter's parameters as sent
  u32 filterValueCount;
  u8* creation;  // source pictures: the creating request, in the proxy's order
  u32 creationLength;
  LayoutString creationLayout;
  u8 idFreed;  // the id is gone; the record lives on as an alpha map
  // A 1 x 1 repeating pixmap picture last filled whole with one colour
  // (red, green, blue, alpha), as toolkits make a solid source.
  u8 solidFilled;
  u16 solidColour[4];
  // A head keeps the picture's pixmap as colour indexes in deeper pixels
  // while the format is one byte a pixel (bytes.cpp).
  u8 bytesOnHeads;
};

PictureRecord* lookupPicture(u32 id);
// The drawable a drawing picture draws on (window or pixmap id), 0 for none.
u32 pictureDrawable(const PictureRecord* picture);
// Sets the scaler's frame to the picture's drawable.
void setScalerPicture(const Head* head, const PictureRecord* picture);
// The frame a picture draws in (pictureFrameHook of the scaling).
bool renderPictureFrame(const void* picture, ScalingDrawable* frame);
// Whether the head carries the picture's drawing (a head of its screen).
bool pictureOnHead(const PictureRecord* picture, const Head* head);
// The depth the head keeps the picture's drawable at.
u32 pictureDepthOnHead(const PictureRecord* picture, const Head* head);
void registerPictureType();
// Frees the pictures drawing on a destroyed window (the servers free theirs).
void freeWindowPictures(u32 window);
// The depth and visual of a picture, picture format or glyph set, and the
// window of a window picture (the core's resource facts).
bool describeRenderResource(u32 type, void* object, u32* depth, const VisualRecord** visual);
ProxyWindow* renderResourceWindow(u32 type, void* object);

void ProcRenderCreatePicture(u8* request, u32 length);
void ProcRenderChangePicture(u8* request, u32 length);
void ProcRenderSetPictureClipRectangles(u8* request, u32 length);
void ProcRenderFreePicture(u8* request, u32 length);
void ProcRenderSetPictureTransform(u8* request, u32 length);
void ProcRenderSetPictureFilter(u8* request, u32 length);
void ProcRenderCreateSourcePicture(u8* request, u32 length);

// Writes one picture onto a head through the client's link (or, without a
// head, through the writer with the client's ids); false when a request
// could not be written.
// A server format other than 0 stands in for the picture's own.
bool replicatePicture(PictureRecord* picture, ProxyClient* client, RequestWriter* writer, Head* head,
                      u32 serverPicture, u32 serverDrawable, u32 serverFormat = 0);
u8* renderRequest(RequestWriter* writer, u8 minor, u32 length);

// One drawing request as its handler found it.
struct RenderDrawing {
  const u8* request;
  u32 length;
  u8 minor;
  u32 destinationAt;  // offset of the destination picture
  PictureRecord* destination;
  PictureRecord* source;  // null when none
  PictureRecord* mask;
  ProxyWindow* window;  // of a window destination
  LayoutString layout;
  bool failed;
};

// --- Drawing on emulated indexes (indexed.cpp, blend.cpp) ----------------------------

// Takes the palette of every Indexed format whose visual a head emulates,
// in the format's colormap, as a server of the visual does at its start.
void takeIndexPalettes();
// The palette of a picture's format; null for a format no head emulates.
const IndexPalette* indexPaletteOf(const PictureRecord* picture);
// The colour (0xRRGGBB) each of the 256 indexes reads as on a picture of
// an Indexed format: its cell's in the format's colormap.
void pictureIndexColours(const PictureRecord* picture, u32* rgb);
// Whether the destination's pixels are colour indexes of a visual the head
// emulates: its drawing there is rewritten (below) or blended.
bool drawsIndexesOnHead(const PictureRecord* destination, const Head* head);
// Keeps the colour of a drawing request that fills a 1 x 1 repeating
// pixmap picture whole (FillRectangles with Src), as the picture's format
// keeps it; forgets it for others.
void noteSolidFill(PictureRecord* destination, const u8* request, u32 length);
// The colour of a solid source (a solid fill or such a pixmap); false for
// other pictures.
bool solidColourOf(const PictureRecord* source, u16* colour);
// Whether a drawing on emulated indexes is made on the head as it is, its
// colour turned into an index (indexDrawingOnHead): a fill or a composite
// of a solid source without a mask, by Src, Clear, or Over with an opaque
// colour; or indexes of the destination's palette composited by Src or
// Over without a mask.
bool drawsIndexesDirectly(const RenderDrawing& d);
// Whether the drawing's source is an indexed picture that the head keeps
// as indexes (read there as greys).
bool readsIndexesOnHead(const RenderDrawing& d, const Head* head);
// For a solid source, a temporary solid fill of the nearest cell's index
// (black's for Clear) made on the head through the link (the caller frees
// it after the drawing); 0 for other sources or when it could not be
// written.
u32 indexedSourceOnHead(const PictureRecord* source, u8 op, const PictureRecord* destination, ServerLink* link,
                        const Head* head);
// The head's copy of a solid drawing (ids translated): its colour as the
// nearest cell's index, the temporary source in place of the client's,
// Clear as Src of black.
void indexDrawingOnHead(u8* copy, u32 length, u32 indexedSource, const PictureRecord* destination);

// --- Pictures of one byte a pixel kept deeper (bytes.cpp) ----------------------------

// A picture's true 8-bit copy on a head, made for one drawing.
struct BytePicture {
  u32 pixmap;   // 0 when none was made
  u32 picture;  // with the client picture's values
  u32 gc;
};
// Sets the picture's bytesOnHeads (at its creation).
void markBytePicture(PictureRecord* picture);
// Whether the head keeps the picture's pixmap as colour indexes in deeper
// pixels while the picture's format is one byte a pixel that the head
// has (an a8 picture on an 8-bit pixmap beside an emulated 8-bit visual).
bool keptAsBytesOnHead(const PictureRecord* picture, const Head* head);
// The copy of such a picture on the head, written through the link; false
// when a request could not be written (what was made is in *out).
bool copyBytePicture(PictureRecord* picture, Head* head, ServerLink* link, BytePicture* out);
// What a drawing made of the copy, back into the head's own pixmap.
void storeBytePicture(const PictureRecord* picture, Head* head, ServerLink* link, const BytePicture& copy);
void freeBytePicture(ServerLink* link, const BytePicture& copy);
// The copies a drawing's pictures need on the head, made and put in place
// of the pictures in the head's copy of the request (written after them).
struct BytePictures {
  BytePicture source, mask, destination;
};
bool copyBytePictures(const RenderDrawing& d, Head* head, ServerLink* link, BytePictures* out);
void useBytePictures(const RenderDrawing& d, u8* copy, const BytePictures& pictures);
// After the drawing: the destination's copy stored back, all freed.
void endBytePictures(const RenderDrawing& d, Head* head, ServerLink* link, const BytePictures& pictures);

// --- Drawing (draw.cpp) ------------------------------------------------------------

void ProcRenderComposite(u8* request, u32 length);
void ProcRenderScale(u8* request, u32 length);
void ProcRenderTrapezoids(u8* request, u32 length);
void ProcRenderTriangles(u8* request, u32 length);
void ProcRenderCompositeGlyphs(u8* request, u32 length);
void ProcRenderFillRectangles(u8* request, u32 length);
void ProcRenderAddTraps(u8* request, u32 length);

// Shifts one request's drawing by (-dx, -dy) at the destination, scaled for
// the head: Composite's destination origin, CompositeGlyphs' first glyph
// item, every FillRectangles rectangle. Other requests are left alone and
// false is returned.
bool shiftRenderDrawing(u8* copy, u32 length, i32 dx, i32 dy, const Head* head);
// The same on a head's copy in the head's own units, the shapes of the
// trapezoid and triangle families included.
void shiftHeadDrawing(u8* copy, u32 length, i32 dx, i32 dy);
// The head's copy of a drawing (the client's request copied): ids
// translated, coordinates scaled.
void rewriteDrawingForHead(const RenderDrawing& d, u8* copy, const Head* head);
// Whether a drawing of that minor onto emulated indexes may be blended.
bool blendedOnIndexes(u8 minor);
// A Composite the proxy wrote onto the client's window picture on the
// head (not yet swapped), repeated into the background tiles of the
// window's subtree; false when a request could not be written.
bool mirrorRenderWrite(ProxyClient* client, u32 picture, Head* head, ServerLink* link, const u8* written,
                       u32 length);
// Draws the request on a head that emulates the destination's indexes
// through a blend in true colours (blend.cpp); false when it could not be
// written.
bool blendOnIndexes(RenderDrawing& d, const RouteTarget& target);

// --- Glyph sets (glyphs.cpp) -------------------------------------------------------

struct GlyphUpload {
  GlyphUpload* next;
  u32 count;   // glyphs
  u32 length;  // bytes of data
  u8 data[];   // ids, infos, images as the client sent them (proxy order)
};

struct GlyphMetrics;

struct GlyphSetRecord {
  MetaScreen* screen;  // null for a format without visuals
  const ProxyPictFormat* format;
  u32* names;  // ids that name the set: CreateGlyphSet's first, then references
  u32 nameCount;
  GlyphUpload* first;
  GlyphUpload* last;
  GlyphMetrics* metrics;  // made when first asked for, kept up with AddGlyphs
};

GlyphSetRecord* lookupGlyphSet(u32 id);
// The box and advance of a glyph of the set (x, y: its origin within the
// box, as uploaded); null for a glyph the set does not hold.
const xGlyphInfo* findGlyphInfo(GlyphSetRecord* set, u32 glyph);
bool glyphSetOnHead(const GlyphSetRecord* set, const Head* head);
// Drops the glyphs from the uploads (uploads left empty are freed).
void pruneGlyphUploads(GlyphSetRecord* set, const u8* glyphIds, u32 count);
// Bytes of one glyph image of the width and height for the format depth.
u32 glyphImageBytes(u32 depth, u32 width, u32 height);
void registerGlyphSetType();

void ProcRenderCreateGlyphSet(u8* request, u32 length);
void ProcRenderReferenceGlyphSet(u8* request, u32 length);
void ProcRenderFreeGlyphSet(u8* request, u32 length);
void ProcRenderAddGlyphs(u8* request, u32 length);
void ProcRenderFreeGlyphs(u8* request, u32 length);
int copyGlyphSetsToDisplay(RequestWriter* writer, Head* head);
int copyPicturesToDisplay(RequestWriter* writer, Head* head);

// --- Cursors (cursor.cpp) ----------------------------------------------------------

void ProcRenderCreateCursor(u8* request, u32 length);
void ProcRenderCreateAnimCursor(u8* request, u32 length);

}  // namespace palvon
