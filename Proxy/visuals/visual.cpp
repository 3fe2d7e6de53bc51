// Visual records: masks, copies, descriptions and the score of one visual
// standing for another.
#include "Proxy/visuals/visual.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/logging.h"

namespace palvon {

namespace {

u32 trailingZeros(u32 mask) { return mask ? static_cast<u32>(__builtin_ctz(mask)) : 0; }
u32 setBits(u32 mask) { return static_cast<u32>(__builtin_popcount(mask)); }

bool isEmulated(const VisualRecord* record) { return record->emulatedVisualId != 0; }
bool hasCharacterisation(const VisualRecord* record) {
  return record->hasMatrices || record->redTable || record->greenTable || record->blueTable;
}

ColorCorrectionEntry* duplicateTable(const ColorCorrectionEntry* table, u32 count) {
  if (!table || !count) return nullptr;
  return static_cast<ColorCorrectionEntry*>(memdup(table, sizeof(ColorCorrectionEntry) * count));
}

bool sameTable(const ColorCorrectionEntry* a, u32 countA, const ColorCorrectionEntry* b, u32 countB) {
  if (countA != countB) return false;
  if (!countA) return true;
  if (!a || !b) return a == b;
  // Entry by entry: the padding after `value` holds no defined bytes.
  for (u32 i = 0; i < countA; i++) {
    if (a[i].value != b[i].value) return false;
    if (memcmp(&a[i].intensity, &b[i].intensity, sizeof(double)) != 0) return false;
  }
  return true;
}

// A description of at most 300 bytes, cut when longer.
struct DescriptionText {
  char text[301] = "";
  size_t length = 0;
  void add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (length >= sizeof(text) - 1) return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text + length, sizeof(text) - length, format, args);
    va_end(args);
    if (n > 0) length = std::min(sizeof(text) - 1, length + static_cast<size_t>(n));
  }
};

}  // namespace

VisualRecord* findVisualRecord(VisualRecord* records, i32 count, u32 visualId) {
  for (i32 i = 0; records && i < count; i++) {
    if (records[i].visualId == visualId) return &records[i];
  }
  return nullptr;
}

bool visualIdsConsecutive(const VisualRecord* records, i32 count) {
  if (!records || count <= 0) return false;
  for (i32 i = 1; i < count; i++) {
    if (records[i].visualId != records[i - 1].visualId + 1) return false;
  }
  return true;
}

bool copyVisualRecord(const VisualRecord* source, VisualRecord* target) {
  memcpy(target, source, sizeof(VisualRecord));
  target->redTable = target->greenTable = target->blueTable = nullptr;
  bool ok = true;
  if (source->redTable) {
    target->redTable = duplicateTable(source->redTable, source->redCount);
    ok = ok && target->redTable;
  }
  if (source->greenTable) {
    target->greenTable = source->greenTable == source->redTable
                             ? target->redTable
                             : duplicateTable(source->greenTable, source->greenCount);
    ok = ok && target->greenTable;
  }
  if (source->blueTable) {
    target->blueTable = source->blueTable == source->redTable
                            ? target->redTable
                            : duplicateTable(source->blueTable, source->blueCount);
    ok = ok && target->blueTable;
  }
  if (!ok) clearVisualGamma(target);
  return ok;
}

VisualRecord* copyVisualRecords(const VisualRecord* records, i32 count) {
  if (count < 0) count = 0;
  auto* copies = static_cast<VisualRecord*>(memCalloc(count ? count : 1, sizeof(VisualRecord)));
  if (!copies) return nullptr;
  for (i32 i = 0; i < count; i++) {
    if (!copyVisualRecord(&records[i], &copies[i])) {
      freeHeadVisuals(copies, i);
      return nullptr;
    }
  }
  return copies;
}

void clearVisualGamma(VisualRecord* record) {
  ColorCorrectionEntry* red = record->redTable;
  ColorCorrectionEntry* green = record->greenTable;
  ColorCorrectionEntry* blue = record->blueTable;
  free(red);
  if (green != red) free(green);
  if (blue != red && blue != green) free(blue);
  record->hasMatrices = 0;
  record->correctionType = 0;
  record->correctionTables = 0;
  memset(record->matrices, 0, sizeof(record->matrices));
  record->redTable = record->greenTable = record->blueTable = nullptr;
  record->redCount = record->greenCount = record->blueCount = 0;
}

void freeHeadVisuals(VisualRecord* records, i32 count) {
  if (!records) return;
  for (i32 i = count - 1; i >= 0; i--) clearVisualGamma(&records[i]);
  free(records);
}

void setVisualMasks(VisualRecord* record, u32 red, u32 green, u32 blue) {
  if (record->visualClass < kClassTrueColor && !isEmulated(record)) red = green = blue = 0;
  record->redMask = red;
  record->greenMask = green;
  record->blueMask = blue;
  record->redShift = trailingZeros(red);
  record->greenShift = trailingZeros(green);
  record->blueShift = trailingZeros(blue);
  record->redBits = setBits(red);
  record->greenBits = setBits(green);
  record->blueBits = setBits(blue);
}

const char* visualClassName(u32 visualClass) {
  static const char* const kNames[] = {"StaticGray", "GrayScale", "StaticColor",
                                       "PseudoColor", "TrueColor", "DirectColor"};
  return visualClass <= kClassDirectColor ? kNames[visualClass] : "Unknown class";
}

u32 glxVisualType(const VisualRecord* record) {
  // GLX_STATIC_GRAY .. GLX_DIRECT_COLOR by core class.
  static const u32 kTypes[] = {0x8007, 0x8006, 0x8005, 0x8004, 0x8002, 0x8003};
  if (record->visualClass > kClassDirectColor) {
    PALVON_UNE();
    return 0x8002;
  }
  return kTypes[record->visualClass];
}

const char* describeVisual(const VisualRecord* r) {
  DescriptionText text;
  text.add("%s %u bit (#%u", visualClassName(r->visualClass), r->depth, r->visualId);
  bool direct = r->visualClass == kClassTrueColor || r->visualClass == kClassDirectColor;
  if ((!direct && r->bitsPerRgb != r->depth) ||
      (direct && (r->bitsPerRgb != r->redBits || r->bitsPerRgb != r->greenBits || r->bitsPerRgb != r->blueBits)))
    text.add(", %u bit prec.", r->bitsPerRgb);
  if (isEmulated(r)) text.add(", emulated");
  if (r->dbeCapable) text.add(", double-buf");
  if (r->mbufMono >= 0) text.add(", mono");
  if (r->mbufStereo >= 0) text.add(", stereo");
  if (r->overlayLayer != 0) {
    text.add(", overlay %d", r->overlayLayer);
    if (r->transparentType == 1) text.add(", transparent pixel %u", r->transparentValue);
    if (r->transparentType == 2) text.add(", transparent mask %u", r->transparentValue);
  }
  if (r->glxVersion) {
    bool multi = r->fbConfig[kFbSamples] || r->fbConfig[kFbSampleBuffers];
    text.add(", GL %s%s%s%s%s%salpha=%d Z=%d stencil=%d aux=%d", r->rgba ? "" : "color-indexed ",
             r->stereo ? "stereo " : "", r->doubleBuffer ? "double " : "",
             (r->fbConfig[kFbDrawableType] & 0x4) ? "p-buffered " : "", r->level ? "layered " : "",
             multi ? "multi " : "", r->alphaSize, r->depthSize, r->stencilSize, static_cast<int>(r->auxBuffers));
  }
  if (r->renderFormat && r->alphaBits) text.add(", %u bit alpha", r->alphaBits);
  if (hasCharacterisation(r)) text.add(", gamma");
  text.add(")");
  return tmpCopy(text.text);
}

bool sameColorCharacterisation(const VisualRecord* a, const VisualRecord* b) {
  if ((a->hasMatrices != 0) != (b->hasMatrices != 0)) return false;
  if (a->hasMatrices && memcmp(a->matrices, b->matrices, sizeof(a->matrices)) != 0) return false;
  return sameTable(a->redTable, a->redCount, b->redTable, b->redCount) &&
         sameTable(a->greenTable, a->greenCount, b->greenTable, b->greenCount) &&
         sameTable(a->blueTable, a->blueCount, b->blueTable, b->blueCount);
}

u32 scoreVisualMatch(const VisualRecord* wanted, const VisualRecord* candidate, u32 layerMode) {
  if (wanted->visualClass != candidate->visualClass) return kVisualIncompatible;
  u32 score = 0;
  if (wanted->visualId != candidate->visualId) score += 1;
  if (wanted->colormapSize > candidate->colormapSize) score += 512;
  if (wanted->colormapSize < candidate->colormapSize) score += 2;
  if (wanted->bitsPerRgb > candidate->bitsPerRgb) score += 1024;
  if (wanted->bitsPerRgb < candidate->bitsPerRgb) score += 2;
  if ((wanted->visualClass == kClassTrueColor || wanted->visualClass == kClassDirectColor) &&
      (wanted->redMask != candidate->redMask || wanted->greenMask != candidate->greenMask ||
       wanted->blueMask != candidate->blueMask))
    score += 16;
  if (wanted->overlayLayer != candidate->overlayLayer) {
    score += layerMode == 1 ? 2 : kVisualIncompatible;
  } else if (wanted->transparentType != candidate->transparentType ||
             wanted->transparentValue != candidate->transparentValue) {
    if (wanted->transparentType == 0 && candidate->transparentType == 1)
      score += 128;
    else if (wanted->transparentType != 0 && candidate->transparentType == 0)
      score += 256;
    else
      return kVisualIncompatible;
  }
  if (!wanted->dbeCapable && candidate->dbeCapable) score += 2;
  if (wanted->dbeCapable && !candidate->dbeCapable) score += 4096;
  if (wanted->dbeCapable && candidate->dbeCapable) {
    if (wanted->dbePerfLevel > candidate->dbePerfLevel) score += 8;
    if (wanted->dbePerfLevel < candidate->dbePerfLevel) score += 2;
  }
  if (!wanted->renderFormat && candidate->renderFormat) score += 2;
  if (wanted->renderFormat && !candidate->renderFormat) score += 2048;
  if (wanted->renderFormat && candidate->renderFormat) {
    if (wanted->alphaBits > candidate->alphaBits) score += 2048;
    if (wanted->alphaBits < candidate->alphaBits) score += 2;
  }
  bool wantedGamma = hasCharacterisation(wanted);
  bool candidateGamma = hasCharacterisation(candidate);
  if (!wantedGamma && candidateGamma) score += 2;
  if (wantedGamma && (!candidateGamma || !sameColorCharacterisation(wanted, candidate))) score += 32;
  if (isEmulated(candidate)) score += 1024;
  return score;
}

Visual* staticVisualWithId(VisualID visualId) {
  static Visual visual;
  memset(&visual, 0, sizeof(visual));
  visual.visualid = visualId;
  return &visual;
}

Visual* selectVisualConversion(const VisualRecord* record) {
  static Visual visual;
  if (!record) return nullptr;
  memset(&visual, 0, sizeof(visual));
  bool emulated = isEmulated(record);
  visual.visualid = emulated ? record->emulatedVisualId : record->visualId;
  visual.c_class = emulated ? record->emulatedClass : record->visualClass;
  if (emulated || record->visualClass == kClassTrueColor || record->visualClass == kClassDirectColor) {
    visual.red_mask = record->redMask;
    visual.green_mask = record->greenMask;
    visual.blue_mask = record->blueMask;
  }
  return &visual;
}

}  // namespace palvon
