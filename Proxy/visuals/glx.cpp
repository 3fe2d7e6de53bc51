// GLX attributes of visual records: applying the visual configurations and
// frame-buffer configurations a server reports, and building the lists the
// proxy answers GLXGetVisualConfigs and GLXGetFBConfigs with.
#include <GL/glxtokens.h>

#include <cstring>

#include "Proxy/visuals/visual.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u32 kGlxFloatComponentsNV = 0x20B0;
constexpr u32 kGlxColorSamplesNV = 0x20B3;

// The GLX attribute each fbConfig slot keeps, in slot order.
constexpr u32 kFbConfigAttribute[kFbConfigAttributes] = {
    GLX_FBCONFIG_ID,
    GLX_DRAWABLE_TYPE,
    GLX_CONFIG_CAVEAT,
    GLX_TRANSPARENT_TYPE,
    GLX_TRANSPARENT_RED_VALUE,
    GLX_TRANSPARENT_GREEN_VALUE,
    GLX_TRANSPARENT_BLUE_VALUE,
    GLX_TRANSPARENT_ALPHA_VALUE,
    GLX_TRANSPARENT_INDEX_VALUE,
    GLX_SWAP_METHOD_OML,
    GLX_SAMPLES_SGIS,
    GLX_SAMPLE_BUFFERS_SGIS,
    GLX_BIND_TO_TEXTURE_RGB_EXT,
    GLX_BIND_TO_TEXTURE_RGBA_EXT,
    GLX_BIND_TO_MIPMAP_TEXTURE_EXT,
    GLX_BIND_TO_TEXTURE_TARGETS_EXT,
    GLX_OPTIMAL_PBUFFER_WIDTH_SGIX,
    GLX_OPTIMAL_PBUFFER_HEIGHT_SGIX,
    GLX_MAX_PBUFFER_WIDTH,
    GLX_MAX_PBUFFER_HEIGHT,
    GLX_MAX_PBUFFER_PIXELS,
    GLX_VISUAL_SELECT_GROUP_SGIX,
    GLX_Y_INVERTED_EXT,
    kGlxFloatComponentsNV,
    GLX_FRAMEBUFFER_SRGB_CAPABLE_EXT,
    kGlxColorSamplesNV,
};

// Items of a GLXGetVisualConfigs entry before its attribute pairs.
constexpr u32 kVisualConfigFixedItems = 18;
constexpr u32 kOldStylePairs = 10;
constexpr u32 kFbConfigPairs = 43;

void setGLXAttribute(VisualRecord* record, u32 attribute, u32 value) {
  switch (attribute) {
    case GLX_DOUBLEBUFFER:
      record->doubleBuffer = value;
      return;
    case GLX_STEREO:
      record->stereo = value;
      return;
    case GLX_X_RENDERABLE:
      record->xRenderable = value;
      return;
    case GLX_RENDER_TYPE:
      record->renderType = value;
      return;
    default:
      break;
  }
  for (u32 slot = 0; slot < kFbConfigAttributes; slot++) {
    if (kFbConfigAttribute[slot] == attribute) {
      record->fbConfig[slot] = value;
      return;
    }
  }
}

// The value of an attribute among a config's pairs; 0 when absent.
u32 pairValue(const u32* pairs, u32 pairCount, u32 attribute) {
  for (u32 i = 0; i < pairCount && pairs[2 * i]; i++) {
    if (pairs[2 * i] == attribute) return pairs[2 * i + 1];
  }
  return 0;
}

}  // namespace

void applyGLXAttributes(VisualRecord* record, const u32* pairs, u32 pairCount) {
  for (u32 i = 0; i < pairCount && pairs[2 * i]; i++) setGLXAttribute(record, pairs[2 * i], pairs[2 * i + 1]);
}

void applyGLXVisualConfigs(VisualRecord* records, i32 count, u16 glxVersion, const u32* items, u64 itemCount,
                           u32 numVisuals, u32 numProps) {
  if (numProps < kVisualConfigFixedItems) return;
  for (u64 v = 0; v < numVisuals && (v + 1) * numProps <= itemCount; v++) {
    const u32* config = items + v * numProps;
    VisualRecord* record = findVisualRecord(records, count, config[0]);
    if (!record) {
      LOGF(logChXhint, "Unknown visual #%u in visual configs", config[0]);
      continue;
    }
    if (record->glxVersion) continue;
    record->glxVersion = glxVersion;
    record->rgba = static_cast<u8>(config[2]);
    u8* sizes[] = {&record->redSize,      &record->greenSize,      &record->blueSize,
                   &record->alphaSize,    &record->accumRedSize,   &record->accumGreenSize,
                   &record->accumBlueSize, &record->accumAlphaSize};
    for (u32 s = 0; s < 8; s++) *sizes[s] = static_cast<u8>(config[3 + s]);
    record->doubleBuffer = config[11];
    record->stereo = config[12];
    record->bufferSize = static_cast<u8>(config[13]);
    record->depthSize = static_cast<u8>(config[14]);
    record->stencilSize = static_cast<u8>(config[15]);
    record->auxBuffers = config[16];
    record->level = static_cast<i16>(config[17]);
    record->xRenderable = 1;
    record->fbConfig[kFbDrawableType] = GLX_WINDOW_BIT | GLX_PIXMAP_BIT;
    record->renderType = record->rgba ? GLX_RGBA_BIT : GLX_COLOR_INDEX_BIT;
    applyGLXAttributes(record, config + kVisualConfigFixedItems, (numProps - kVisualConfigFixedItems) / 2);
  }
}

void applyGLXFbConfigs(VisualRecord* records, i32 count, const u32* items, u64 itemCount, u32 numConfigs,
                       u32 numAttribs) {
  u64 configItems = 2ull * numAttribs;
  if (!configItems) return;
  for (u64 c = 0; c < numConfigs && (c + 1) * configItems <= itemCount; c++) {
    const u32* pairs = items + c * configItems;
    VisualRecord* record = findVisualRecord(records, count, pairValue(pairs, numAttribs, GLX_VISUAL_ID));
    if (!record || !record->glxVersion) continue;
    // Several frame-buffer configs can share a visual: take the one that
    // describes the same buffers.
    if (pairValue(pairs, numAttribs, GLX_X_VISUAL_TYPE) != glxVisualType(record) ||
        pairValue(pairs, numAttribs, GLX_ALPHA_SIZE) != record->alphaSize ||
        pairValue(pairs, numAttribs, GLX_DOUBLEBUFFER) != record->doubleBuffer ||
        pairValue(pairs, numAttribs, GLX_STENCIL_SIZE) != record->stencilSize ||
        pairValue(pairs, numAttribs, GLX_DEPTH_SIZE) != record->depthSize)
      continue;
    applyGLXAttributes(record, pairs, numAttribs);
  }
}

u32* buildGLXVisualConfigs(const VisualRecord* records, i32 count, bool oldStyle, u32* numVisuals,
                           u32* numPairs) {
  u32 visuals = 0;
  for (i32 i = 0; i < count; i++) visuals += records[i].glxVersion != 0;
  u32 perVisual = oldStyle ? kVisualConfigFixedItems + 2 * kOldStylePairs : 2 * kFbConfigPairs;
  auto* out = static_cast<u32*>(memCalloc(visuals ? visuals * perVisual : 1, sizeof(u32)));
  if (!out) return nullptr;
  *numVisuals = visuals;
  *numPairs = oldStyle ? kOldStylePairs : kFbConfigPairs;
  u32* item = out;
  for (i32 i = 0; i < count; i++) {
    const VisualRecord* r = &records[i];
    if (!r->glxVersion) continue;
    const u32* fb = r->fbConfig;
    if (oldStyle) {
      const u32 fixed[kVisualConfigFixedItems] = {
          r->visualId,     r->visualClass,    r->rgba,           r->redSize,        r->greenSize,
          r->blueSize,     r->alphaSize,      r->accumRedSize,   r->accumGreenSize, r->accumBlueSize,
          r->accumAlphaSize, r->doubleBuffer, r->stereo,         r->bufferSize,     r->depthSize,
          r->stencilSize,  r->auxBuffers,     static_cast<u32>(static_cast<i32>(r->level))};
      const u32 pairs[2 * kOldStylePairs] = {
          GLX_VISUAL_CAVEAT_EXT, fb[kFbVisualCaveat], GLX_TRANSPARENT_TYPE_EXT, fb[kFbTransparentType],
          GLX_TRANSPARENT_RED_VALUE_EXT, fb[kFbTransparentRed], GLX_TRANSPARENT_GREEN_VALUE_EXT,
          fb[kFbTransparentGreen], GLX_TRANSPARENT_BLUE_VALUE_EXT, fb[kFbTransparentBlue],
          GLX_TRANSPARENT_ALPHA_VALUE_EXT, fb[kFbTransparentAlpha], GLX_TRANSPARENT_INDEX_VALUE_EXT,
          fb[kFbTransparentIndex], GLX_SAMPLES_SGIS, fb[kFbSamples], GLX_SAMPLE_BUFFERS_SGIS,
          fb[kFbSampleBuffers], 0, 0};
      memcpy(item, fixed, sizeof(fixed));
      memcpy(item + kVisualConfigFixedItems, pairs, sizeof(pairs));
    } else {
      const u32 pairs[2 * kFbConfigPairs] = {
          GLX_FBCONFIG_ID, r->visualId,
          GLX_VISUAL_ID, r->visualId,
          GLX_X_RENDERABLE, r->xRenderable ? 1u : 0u,
          GLX_RGBA, r->rgba,
          GLX_RENDER_TYPE, r->renderType,
          GLX_DOUBLEBUFFER, r->doubleBuffer,
          GLX_STEREO, r->stereo,
          GLX_BUFFER_SIZE, r->bufferSize,
          GLX_LEVEL, static_cast<u32>(static_cast<i32>(r->level)),
          GLX_AUX_BUFFERS, r->auxBuffers,
          GLX_RED_SIZE, r->redSize,
          GLX_GREEN_SIZE, r->greenSize,
          GLX_BLUE_SIZE, r->blueSize,
          GLX_ALPHA_SIZE, r->alphaSize,
          GLX_DEPTH_SIZE, r->depthSize,
          GLX_ACCUM_RED_SIZE, r->accumRedSize,
          GLX_ACCUM_GREEN_SIZE, r->accumGreenSize,
          GLX_ACCUM_BLUE_SIZE, r->accumBlueSize,
          GLX_ACCUM_ALPHA_SIZE, r->accumAlphaSize,
          GLX_STENCIL_SIZE, r->stencilSize,
          GLX_X_VISUAL_TYPE, glxVisualType(r),
          GLX_TRANSPARENT_TYPE, fb[kFbTransparentType],
          GLX_TRANSPARENT_INDEX_VALUE, fb[kFbTransparentIndex],
          GLX_TRANSPARENT_RED_VALUE, fb[kFbTransparentRed],
          GLX_TRANSPARENT_GREEN_VALUE, fb[kFbTransparentGreen],
          GLX_TRANSPARENT_BLUE_VALUE, fb[kFbTransparentBlue],
          GLX_TRANSPARENT_ALPHA_VALUE, fb[kFbTransparentAlpha],
          GLX_CONFIG_CAVEAT, fb[kFbVisualCaveat],
          GLX_DRAWABLE_TYPE, fb[kFbDrawableType],
          GLX_MAX_PBUFFER_WIDTH, fb[kFbMaxPbufferWidth],
          GLX_MAX_PBUFFER_HEIGHT, fb[kFbMaxPbufferHeight],
          GLX_MAX_PBUFFER_PIXELS, fb[kFbMaxPbufferPixels],
          GLX_OPTIMAL_PBUFFER_WIDTH_SGIX, fb[kFbOptimalPbufferWidth],
          GLX_OPTIMAL_PBUFFER_HEIGHT_SGIX, fb[kFbOptimalPbufferHeight],
          GLX_SWAP_METHOD_OML, fb[kFbSwapMethod],
          GLX_SAMPLES_SGIS, fb[kFbSamples],
          GLX_SAMPLE_BUFFERS_SGIS, fb[kFbSampleBuffers],
          GLX_BIND_TO_TEXTURE_RGB_EXT, fb[kFbBindToTextureRgb],
          GLX_BIND_TO_TEXTURE_RGBA_EXT, fb[kFbBindToTextureRgba],
          GLX_BIND_TO_MIPMAP_TEXTURE_EXT, fb[kFbBindToMipmapTexture],
          GLX_BIND_TO_TEXTURE_TARGETS_EXT, fb[kFbBindToTextureTargets],
          GLX_Y_INVERTED_EXT, fb[kFbYInverted],
          GLX_VISUAL_SELECT_GROUP_SGIX, fb[kFbVisualSelectGroup],
      };
      memcpy(item, pairs, sizeof(pairs));
    }
    item += perVisual;
  }
  return out;
}

}  // namespace palvon
