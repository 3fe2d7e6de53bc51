// Pixel values and images of a client's visual converted for a head that
// realises that visual with another channel layout, an emulated visual,
// another depth, or zoom and rotation, and back.
//
// Images returned are new (XDestroyImage frees them) unless the text says
// the input is returned itself. Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct Head;
struct VisualRecord;

// The head's record of the client visual when pixels must be converted for
// it: TrueColor and DirectColor when a channel mask differs, other classes
// when the visual is emulated on the head. Null when no conversion is needed.
const VisualRecord* getHeadVisualIfConverting(const VisualRecord* clientVisual, const Head* head);
// The same for a head's record h of the client visual c.
bool headVisualConverts(const VisualRecord* c, const VisualRecord* h);

// 0xffffffff (all planes) passes unchanged in both directions.
u32 convertPixelToHead(u32 pixel, const VisualRecord* clientVisual, const Head* head);
u32 convertPixelFromHead(u32 pixel, const VisualRecord* clientVisual, const Head* head);
// The channel arithmetic: plain shifts between channel widths (5-6-5 white
// becomes 0xf8fcf8 in 8-8-8); an emulated head visual carries the colour
// index in each of its channels, and the red channel brings it back.
u32 rescalePixelToHead(u32 pixel, const VisualRecord* clientVisual, const VisualRecord* headVisual);
u32 rescalePixelFromHead(u32 pixel, const VisualRecord* headVisual, const VisualRecord* clientVisual);

// The depth used on the head for a client depth (its "sloppy depth" table).
u32 mapDepthForHead(u32 depth, const Head* head);
// The depth a head keeps a drawable of that visual (null: none) and depth
// at: its match's (an emulated visual's real depth), else mapDepthForHead.
u32 drawableDepthOnHead(const VisualRecord* visual, u32 depth, const Head* head);

// A client image as the head needs it: scaled to width x height, turned
// with the head, in the head's depth and channel layout. The image itself
// when nothing changes and it suits the head's display; null on exhausted
// memory ("Out of memory" logged as a problem).
XImage* convertImageForHead(XImage* image, const VisualRecord* clientVisual, const Head* head, u32 width,
                            u32 height);
// The same into one shared scratch image (valid until the next call), or
// the image itself: a stream of images costs no allocation.
XImage* convertImageForHeadToScratch(XImage* image, const VisualRecord* clientVisual, const Head* head, u32 width,
                                     u32 height);
// The two steps of either, for a caller that provides the storage: the
// layout the image takes on the head, without data (false when the image
// serves as it is), then the image converted into `out` so laid out, with
// the caller's data (false on exhausted memory, logged).
bool headImageLayout(XImage* image, const VisualRecord* clientVisual, const Head* head, u32 width, u32 height,
                     XImage* out);
bool convertImageInto(XImage* image, const VisualRecord* clientVisual, const Head* head, XImage* out);
// A head image back in meta geometry and the given depth. *owned says
// whether the caller owns `image`; an owned input is destroyed when a new
// image replaces it, and *owned is then set. Null on exhausted memory.
XImage* convertImageToDepth(XImage* image, u32 depth, bool* owned, const Head* head);
// The same into one shared scratch image (valid until the next call); the
// input is destroyed. Null on exhausted memory.
XImage* scaleImageToScratch(XImage* image, u32 depth, const Head* head);

// Cursor and icon images: a new array whose records hold new data (free
// with freeImageSet); hot spots turn and scale with the head.
struct HeadImageRecord {
  u16 width, height, depth;
  i16 hotX, hotY;
  u32 pictFormat;  // 0: none
  u8* data;        // rows laid out as the image layer's bitmap (depth 1) or ZPixmap descriptor
  u8* mask;        // 1-bit, may be null
};
HeadImageRecord* convertImageSetForHead(const HeadImageRecord* records, u32 count, const Head* head);
void freeImageSet(HeadImageRecord* records, u32 count);

}  // namespace palvon
