#include "Xext/extpending.h"

#include <algorithm>

#include "Proxy/xscaling.h"
#include "Proxy/xscreen.h"

namespace palvon {

void metaToHeadPoint(i32* x, i32* y, const Head* head) {
  *x -= head->logical.x;
  *y -= head->logical.y;
  if (head->scaler)
    scalePointInSize(head->scaler, x, y, u32(std::max(head->logical.width, 1)),
                     u32(std::max(head->logical.height, 1)));
  *x += head->clip.x + head->offsetX;
  *y += head->clip.y + head->offsetY;
}

}  // namespace palvon
