// Visuals of heads and meta screens: the VisualRecord of every visual a
// head's server offers (with overlay, colour-correction, buffering, RENDER
// and GLX attributes), their scoring and their matching across the heads of
// a meta screen.
//
// Arrays of records are allocated zero-filled and owned by their holder (a
// head, a meta screen, a head's match array). Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct EmulatedColormapState;

struct ColorCorrectionEntry {
  u16 value;
  double intensity;  // 0..1
};

constexpr u32 kFbConfigAttributes = 26;

struct VisualRecord {
  u32 visualId;        // on its server; in a meta screen's array the id offered
  u16 colormapSize;
  u8 screen;
  u8 visualClass;      // 0 StaticGray .. 5 DirectColor
  u8 depth;
  u8 bitsPerRgb;
  u8 isDefault;
  u8 dbeCapable;
  u8 dbePerfLevel;
  u32 redMask, greenMask, blueMask;
  u32 redShift, greenShift, blueShift;
  u32 redBits, greenBits, blueBits;
  u8 overlayFormat;    // 0 none, 16 or 32
  u8 transparentType;  // 0 none, 1 pixel, 2 mask
  i16 overlayLayer;
  u32 transparentValue;
  u32 renderFormat;
  u8 alphaBits;
  u16 glxVersion;
  u8 rgba;
  u8 redSize, greenSize, blueSize, alphaSize;
  u8 accumRedSize, accumGreenSize, accumBlueSize, accumAlphaSize;
  u8 bufferSize;
  u8 depthSize;
  u8 stencilSize;
  i16 level;
  u32 xRenderable, renderType, doubleBuffer, stereo;
  u32 auxBuffers;
  u32 fbConfig[kFbConfigAttributes];
  u8 hasMatrices;
  u8 correctionType;
  u8 correctionTables;
  double matrices[18];
  ColorCorrectionEntry* redTable;
  u32 redCount;
  ColorCorrectionEntry* greenTable;
  u32 greenCount;
  ColorCorrectionEntry* blueTable;
  u32 blueCount;
  u32 emulatedVisualId;  // not 0: the record stands for an emulated visual
  u8 emulatedClass;
  u8 emulatedDepth;      // depth used on the head for an emulated visual
  i32 mbufMono, mbufStereo;  // -1 when the visual has no Multi-Buffering
  EmulatedColormapState* emulation;
};

// One RENDER picture format of a display.
struct PictFormatRecord {
  u32 id;
  u8 type;   // 1 direct
  u8 depth;
  u8 screen;
  u32 colormap;
  u8 redBits, greenBits, blueBits, alphaBits;
  u8 redShift, greenShift, blueShift, alphaShift;
  u32 visuals[1000];  // zero-terminated
};

}  // namespace palvon
