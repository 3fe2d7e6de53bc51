// GL capabilities of a head, and the set common to a meta screen's heads.
#pragma once

#include "base/strings.h"

namespace palvon {

struct GLCapabilities {
  u16 glxVersion;  // major x 64 + minor
  bool direct;
  u32 maxViewportWidth;
  u32 maxViewportHeight;
  u32 textureUnits;
  u32 textureLevels;
  u32 maxTextureWidth;
  u32 maxTextureHeight;
  u32 clipPlanes;
  u32 lights;
  u32 drawBuffers;
  u32 colorAttachments;
  char glVersion[80];
  char glVendor[80];
  char glRenderer[80];
  char shadingLanguageVersion[80];
  char glExtensions[8192];
  char glxExtensions[2048];
};

// Resets the record to the least any GL offers: GLX 1.0, not direct,
// viewport 16 x 16, 1 texture unit, 6 texture levels, textures of 128 x 128,
// 6 clip planes, 8 lights, 1 draw buffer, no colour attachments, all strings
// empty.
void glCapsInit(GLCapabilities* caps);

// Texture levels = floor(log2(maximum texture width)); stores and gives it.
u32 glCapsSetTextureLevels(GLCapabilities* caps);

}  // namespace palvon
