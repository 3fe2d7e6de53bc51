#include "gl/glcaps.h"

#include <cstring>

namespace palvon {

void glCapsInit(GLCapabilities* caps) {
  std::memset(caps, 0, sizeof *caps);
  caps->glxVersion = 64;
  caps->maxViewportWidth = 16;
  caps->maxViewportHeight = 16;
  caps->textureUnits = 1;
  caps->textureLevels = 6;
  caps->maxTextureWidth = 128;
  caps->maxTextureHeight = 128;
  caps->clipPlanes = 6;
  caps->lights = 8;
  caps->drawBuffers = 1;
}

u32 glCapsSetTextureLevels(GLCapabilities* caps) {
  u32 levels = 0;
  for (u32 width = caps->maxTextureWidth; width > 1; width >>= 1) levels++;
  caps->textureLevels = levels;
  return levels;
}

}  // namespace palvon
