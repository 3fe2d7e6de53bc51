// HeadScaler: the zoom and rotation of a head. One scaler per distinct zoom
// and rotation per server display, shared by the heads that use it
// (extraUsers counts the sharers). Coordinates of the meta screen are mapped
// through tables for -1000..8000 and computed outside that range.
//
// Every transform rotates first (inside the drawable of size W x H, the
// scaler's widthMinus1 + 1 and heightMinus1 + 1) and then scales. Edges are
// scaled, not sizes: a width on the head is the scaled right edge minus the
// scaled left edge (at least 1), so adjacent rectangles stay adjacent. Halves
// round away from zero. Rotation is counter-clockwise on the screen: a pixel
// (x, y) goes to (y, W - 1 - x) at 90 degrees, (W - 1 - x, H - 1 - y) at 180
// and (H - 1 - y, x) at 270.
//
// Members that work "in a drawable" use the scaler's current frame: the
// handler calls setScalerDrawable once per request (one look-up, not one
// per list entry) and then the members; members that take a size work with
// origin 0 and that size.
// Lists are rewritten in place in the proxy's byte order (the per-head copy
// of a request); members that return a new buffer say so.
//
// Main thread only.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/extensions/renderproto.h>

#include "Proxy/heads/screen.h"
#include "base/strings.h"

namespace palvon {

struct Region;
struct ScalingDrawable;
struct ProxyClient;
struct ProxyWindow;

constexpr i32 kScaleTableMin = -1000;
constexpr i32 kScaleTableMax = 8000;
constexpr u32 kScalerTableSize = kScaleTableMax - kScaleTableMin + 1;

// 90 degrees in the 1/64-degree units of arcs, and a full ellipse.
constexpr i32 kArcQuarter = 5760;
constexpr i32 kArcFull = 23040;

struct ScaledFontName {
  ScaledFontName* next;
  char* scaledName;     // null: no scaled form
  char* requestedName;
};

struct HeadScaler {
  i32 originX, originY;              // meta position of the current drawable's origin
  i32 scaledOriginX, scaledOriginY;  // the origin through the tables
  i16* xTable;                       // kScalerTableSize entries each
  i16* yTable;
  double xFactor;
  u32 xNum, xDen;
  double yFactor;
  u32 yNum, yDen;
  double uniformFactor;
  u32 uniformNum, uniformDen;
  u32 widthMinus1, heightMinus1;     // current drawable size minus 1
  u32 rotation;                      // 0..3 for 0, 90, 180, 270 degrees
  u32 extraUsers;
  u32 zoomInOnly;
  ScaledFontName* scaledFonts;
};

// --- Life cycle ------------------------------------------------------------------

// Null when memory is exhausted. For rotations 1 and 3 the meta width and
// height swap roles (the head's x axis shows the meta y axis). Sizes are
// those of existing heads (at least 1); a 0 is taken as 1.
HeadScaler* createScaler(u32 zoomedWidth, u32 metaWidth, u32 zoomedHeight, u32 metaHeight, u32 rotation);
// Shared: one user fewer and *scaler cleared. Last user: freed. Accepts null.
void releaseScaler(HeadScaler** scaler);
// Scalers alive; 0 when no head scales. Inline: every drawing request reads it.
extern u32 liveScalers;
inline u32 liveScalerCount() { return liveScalers; }
// Null or a message. Gives the head a scaler for its clip size (on the real
// screen) against its logical size (in the meta screen) and its rotation,
// shared with an equal scaler of another head on the same server display.
const char* setupHeadScaling(Head* head);

// Origin (meta position) and size of the drawable the next members work in.
void setScalerFrame(HeadScaler* scaler, i32 originX, i32 originY, u32 width, u32 height);
// The same from a drawable's record: a window, a DOUBLE-BUFFER or
// Multi-Buffering buffer (its window), a picture (its window, else its
// pixmap at origin 0), a pixmap (origin 0); anything else gives all 0.
void setScalerDrawable(HeadScaler* scaler, u32 drawable);
// What a RENDER picture record draws into, as setScalerDrawable needs it;
// false for a picture without a drawable. Installed by the RENDER module
// while it runs (the core does not link the modules).
extern bool (*pictureFrameHook)(const void* picture, ScalingDrawable* frame);

// --- Coordinates and lengths -----------------------------------------------------

i32 scaleX(const HeadScaler* scaler, i32 x);  // origin 0, no rotation
i32 scaleY(const HeadScaler* scaler, i32 y);
u32 scaleLengthX(const HeadScaler* scaler, u32 length);  // 0 stays 0, else 1..65535
u32 scaleLengthY(const HeadScaler* scaler, u32 length);
u32 scaleLineWidth(const HeadScaler* scaler, u32 width);    // 0..65535
u32 scaleBorderWidth(const HeadScaler* scaler, u32 width);  // 0 stays 0, else 1..65535
void scaleDashes(const HeadScaler* scaler, u8* dashes, u32 count);  // each 1..255 (0 stays)
// Width and height swapped for 90 and 270 degrees, each scaled as a length.
void scaleSize(const HeadScaler* scaler, u16* width, u16* height);

// --- Points and areas ------------------------------------------------------------

void scalePointInSize(const HeadScaler* scaler, i32* x, i32* y, u32 width, u32 height);
void scaleRectangleRotated(const HeadScaler* scaler, HeadRect* area, u32 width, u32 height);
// In the current frame.
void scalePoint(const HeadScaler* scaler, i32* x, i32* y);
// A point and, when both are given, the sizes of the area it starts.
void scalePoint32(const HeadScaler* scaler, i32* x, i32* y, i32* width, i32* height);
void scalePoint16(const HeadScaler* scaler, i16* x, i16* y);
void scaleArea16(const HeadScaler* scaler, i16* x, i16* y, u16* width, u16* height);
void scaleArea32(const HeadScaler* scaler, HeadRect* area);

// Head back to meta. Starts and ends are divided by the factors and
// truncated, sizes kept at least 1, then the rotation is undone.
void unscaleArea16(const HeadScaler* scaler, i16* x, i16* y, u16* width, u16* height);
void unscaleArea32(const HeadScaler* scaler, HeadRect* area);
void unscalePoint(const HeadScaler* scaler, i32* x, i32* y);  // current frame
// The inverse of scalePoint32: a head point (and, when both are given, the
// sizes of the area it starts) in the current frame back to meta.
void unscalePoint32(const HeadScaler* scaler, i32* x, i32* y, i32* width, i32* height);
void unscalePointInSize(const HeadScaler* scaler, i32* x, i32* y, u32 width, u32 height);
// A head geometry inside a parent of the given meta size (origin 0).
void unscaleGeometry(const HeadScaler* scaler, HeadRect* area, u32 parentWidth, u32 parentHeight);
void unscaleRectangles(const HeadScaler* scaler, xRectangle* rectangles, u32 count);
// (size - 1) / factor truncated, plus 1; unscaleSize swaps for 90 and 270.
void unscaleSize(const HeadScaler* scaler, u16* width, u16* height);
void unscaleExtent(const HeadScaler* scaler, u32* width, u32* height);
u32 unscaleLength(const HeadScaler* scaler, u32 length);  // 0 stays 0, else 1..65535
// The meta area that covers every exposed head pixel: start truncated, end
// rounded, grown by one pixel on every side (kept inside the drawable),
// then unrotated.
void unscaleExposeArea(const HeadScaler* scaler, HeadRect* area);

// Relative motion: (dy, -dx), (-dx, -dy), (-dy, dx); then multiplied by the
// factors when `scaled`.
void rotateVector(const HeadScaler* scaler, i32* dx, i32* dy, bool scaled);
void scaleFloatPair(const HeadScaler* scaler, float* x, float* y);
void unscaleDoublePair(const HeadScaler* scaler, double* x, double* y);  // swapped for 90, 270
// x on the line through (x1, y1) and (x2, y2) at y (integer arithmetic).
i32 interpolateLine(i32 x1, i32 y1, i32 x2, i32 y2, i32 y);

// --- Request lists (in the current frame) ------------------------------------------

void scaleRectangles(const HeadScaler* scaler, xRectangle* rectangles, u32 count);
void scaleShapeRectangles(const HeadScaler* scaler, xRectangle* rectangles, u32 count);
void scaleSegments(const HeadScaler* scaler, xSegment* segments, u32 count);
// The bounding rectangle as an area; the start angle turns with the head
// unless the arc is a full ellipse.
void scaleArcs(const HeadScaler* scaler, xArc* arcs, u32 count);
// coordinateMode 1 (Previous): points made absolute, scaled, made relative.
void scalePoints(const HeadScaler* scaler, xPoint* points, u32 count, u8 coordinateMode);
// A new list (memAlloc, caller frees): the scaled rectangles merged as a
// region, relative to the scaled clip origin; *origin* scaled as a point.
// Null when memory is exhausted.
xRectangle* scaleClipRectangles(const HeadScaler* scaler, i16* originX, i16* originY,
                                const xRectangle* rectangles, u32 count, u32* outCount);
// Every box rotated and scaled as an area and united again; false when
// memory is exhausted (the region is then broken, see region.h).
bool scaleRegion(const HeadScaler* scaler, Region* region);
void scaleTextOrigin(const HeadScaler* scaler, i16* x, i16* y);
// RENDER CompositeGlyphs: the source origin and every element's offset so
// that the elements keep their scaled absolute positions. glyphBytes is 1,
// 2 or 4 (the request's glyph id size). Elements are walked within length.
void scaleGlyphOrigin(const HeadScaler* scaler, i16* sourceX, i16* sourceY, u8* items, u32 length,
                      u32 glyphBytes);
// 16.16 fixed-point RENDER coordinates (x, y pairs).
void scaleRenderPoints(const HeadScaler* scaler, xPointFixed* points, u32 count);

// RENDER Trapezoids. Without rotation the result holds `count` trapezoids
// (kind 0); with rotation trapezoids cannot stay trapezoids and the result
// holds four corner points per trapezoid (kind 1, fan order top-left,
// top-right, bottom-right, bottom-left), which the caller draws as fans.
// The source origin is rotated and scaled as a point. memAlloc'ed, null
// when memory is exhausted.
struct ScaledTrapezoids {
  u32 kind;   // 0 trapezoids, 1 corner points
  u32 count;  // entries of `data` (trapezoids or points)
  void* data;
};
bool scaleTrapezoids(const HeadScaler* scaler, const xTrapezoid* trapezoids, u32 count, i16* sourceX,
                     i16* sourceY, ScaledTrapezoids* out);

// CopyArea / CopyPlane within one drawable whose areas overlap: the copy
// keeps its exact shift on the head. 0 when there is nothing special to do
// (positions equal, or no overlap): the caller scales source and
// destination as ordinary areas.
int scaleCopyArea(const HeadScaler* scaler, i16* sourceX, i16* sourceY, i16* destinationX,
                  i16* destinationY, u16* width, u16* height);

// --- GC values, gravities and helpers ---------------------------------------------

// The GC value mask widened for a scaled head: both tile-stipple origins
// with any of tile, stipple or those origins; both clip origins with any of
// the clip origins or the clip mask.
u32 adjustGCMaskForScaling(u32 mask);
u8 rotateGravity(u8 gravity, const Head* head);
u8 rotateGravityBy(u8 gravity, u32 rotation);
// The largest x + width and y + height of the list, starting at 0.
void rectanglesExtent(const xRectangle* rectangles, const xRectangle* end, i32* right, i32* bottom);
// A span given in 1/10000 mm on the display's screen, in pixels (rounded).
void pointerSpanPixels(u32 spanX, u32 spanY, Display* display, int screen, u32* width, u32* height);

// --- Text, glyphs, GCs and windows --------------------------------------------------

// Set when some head draws text as bitmaps.
extern u8 proxyFontBitmaps;
// Whether text must be drawn as bitmaps on the head: rotated or zoomed
// heads, and heads whose fonts are not the font server's (unless their
// server keeps fonts of its own); always with the option DynamicServer.
void checkFontBitmaps(Head* head);
// The same decision for a head whose scaler is not made yet (at start-up
// before the heads are probed, and for a head joining at run time): a head
// is zoomed when its clip size differs from its logical size.
void decideHeadFontScaling(Head* head);
// The font name to open on the head for a client's font name: the sizes
// scaled (the point size first, then the pixel size), tried on the head's
// server; null when none exists. Outcomes are kept per scaler; the text
// lives as long as the scaler.
const char* openScaledFont(const char* name, Head* head);
// RENDER AddGlyphs: every glyph's size, origin and advance for the head,
// and its image resampled and turned into a new buffer (memAlloc'ed,
// caller frees) laid out for the head's server. False when the images are
// shorter than the infos say or memory is exhausted.
bool scaleGlyphs(const Head* head, u32 depth, xGlyphInfo* infos, u32 count, const u8* images, u32 length,
                 u8** outImages, u32* outLength);
// Sends the GC's clip list and origins scaled for the drawable to every
// scaled head of its screen (once per drawable). 0 when a request could
// not be queued.
int prepareScaledGC(ProxyClient* client, u32 gc, u32 drawable);
// ConfigureWindow values (x 1, y 2, width 4, height 8, border 16, then
// sibling and stack mode) for the head's copy of the window; `out` holds
// room for seven values. With a scaler and any geometry bit, all four
// geometry values are written. Returns the new mask.
u16 scaleConfigureValues(const Head* head, const ProxyWindow* window, u16 mask, const u32* values, u32* out);

// Exposure bookkeeping of scaled copies: a value noted for a window and a
// sequence is taken back once.
bool noteScaledExposure(u32 window, u64 sequence, u32 value);
u32 takeScaledExposure(u32 window, u64 sequence);  // "UNE" and 0 when none

}  // namespace palvon
