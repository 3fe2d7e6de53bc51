// What the heads layer reads of drawables while it scales them: the meta
// position and size of any drawable (defined with the drawing helpers) and
// the size and depth of a pixmap (defined with the pixmap requests).
#pragma once

#include "base/strings.h"

namespace palvon {

// What the scaler needs of a drawable: its meta position and size. A
// window (its position and size), a DOUBLE-BUFFER or Multi-Buffering
// buffer (its window), a pixmap (origin 0, its size); anything else: all 0.
struct ScalingDrawable {
  i32 x, y;
  u32 width, height;
};
void describeScalingDrawable(u32 drawable, ScalingDrawable* out);

// What the heads layer reads of a pixmap record (defined with the pixmap
// requests); false when there is none.
struct PixmapFacts {
  u32 width, height, depth;
};
bool describePixmap(u32 pixmapId, PixmapFacts* out);

}  // namespace palvon
