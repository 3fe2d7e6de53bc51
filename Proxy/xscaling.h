// HeadScaler: the zoom and rotation of a head. One scaler per distinct zoom
// and rotation per server display, shared by the heads that use it
// (extraUsers counts the sharers). Coordinates of the meta screen are mapped
// through tables for -1000..8000 and computed outside that range.
//
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

constexpr i32 kScaleTableMin = -1000;
constexpr i32 kScaleTableMax = 8000;
constexpr u32 kScaleTableSize = kScaleTableMax - kScaleTableMin + 1;

struct ScaledFontName {
  ScaledFontName* next;
  char* scaledName;     // null: no scaled form
  char* requestedName;
};

struct HeadScaler {
  i32 originX, originY;              // meta position of the current drawable's origin
  i32 scaledOriginX, scaledOriginY;  // the origin through the tables
  i16* xTable;                       // kScaleTableSize entries each
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

}  // namespace palvon
