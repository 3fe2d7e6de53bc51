// Visuals of heads and meta screens: the VisualRecord of every visual a
// head's server offers (with overlay, colour-correction, buffering, RENDER
// and GLX attributes), their scoring and their matching across the heads of
// a meta screen.
//
// Arrays of records are allocated zero-filled and owned by their holder (a
// head, a meta screen, a head's match array). A record owns its correction
// tables; copies never share them with their source. Main thread only.
//
// Every call on a Display goes through the failsafe layer: a display whose
// connection is broken is skipped, and a query on a connection that breaks
// returns its failure value (null, false or no data) while the failsafe
// layer takes care of the display.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "base/strings.h"

namespace palvon {

struct GLCapabilities;
struct Head;
struct MetaScreen;

struct ColorCorrectionEntry {
  u16 value;
  double intensity;  // 0..1
};

// Slots of VisualRecord::fbConfig, in the order of the GLX attributes they
// keep.
enum FbConfigSlot : u32 {
  kFbConfigId,
  kFbDrawableType,
  kFbVisualCaveat,
  kFbTransparentType,
  kFbTransparentRed,
  kFbTransparentGreen,
  kFbTransparentBlue,
  kFbTransparentAlpha,
  kFbTransparentIndex,
  kFbSwapMethod,
  kFbSamples,
  kFbSampleBuffers,
  kFbBindToTextureRgb,
  kFbBindToTextureRgba,
  kFbBindToMipmapTexture,
  kFbBindToTextureTargets,
  kFbOptimalPbufferWidth,
  kFbOptimalPbufferHeight,
  kFbMaxPbufferWidth,
  kFbMaxPbufferHeight,
  kFbMaxPbufferPixels,
  kFbVisualSelectGroup,
  kFbYInverted,
  kFbFloatComponents,
  kFbSrgbCapable,
  kFbColorSamples,
};
constexpr u32 kFbConfigAttributes = 26;

// What an emulated visual needs besides its emulated* fields.
struct VisualEmulation {
  u16 significantMask;  // (2^b - 1) << (16 - b) for b bits per RGB
};

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
  u16 glxVersion;      // major x 64 + minor when the visual supports GL
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
  // Colour characterisation: from hasMatrices to blueCount.
  u8 hasMatrices;
  u8 correctionType;   // 0 (value, intensity) pairs, 1 intensities only
  u8 correctionTables; // 1 (green and blue share the red table) or 3
  double matrices[18]; // the 32-bit items as read (16.16 fixed point)
  ColorCorrectionEntry* redTable;
  u32 redCount;
  ColorCorrectionEntry* greenTable;
  u32 greenCount;
  ColorCorrectionEntry* blueTable;
  u32 blueCount;
  // An emulated visual (Xemulation): the record describes the visual
  // offered (class, depth, colormap size); the emulated* fields name the
  // real visual of the head that shows it.
  u32 emulatedVisualId;  // not 0: the record stands for an emulated visual
  u8 emulatedClass;
  u8 emulatedDepth;      // depth used on the head for an emulated visual
  i32 mbufMono, mbufStereo;  // -1 when the visual has no Multi-Buffering
  VisualEmulation emulation;
};

// Per head, parallel to its meta screen's visuals: the head's record used
// for each meta visual (a copy; visualId 0 = no match).
using HeadVisualMatch = VisualRecord;

// One RENDER picture format of a display.
constexpr u32 kPictFormatVisualsMax = 999;
struct PictFormatRecord {
  u32 id;
  u8 type;   // 1 direct
  u8 depth;
  u8 screen;
  u32 colormap;
  u8 redBits, greenBits, blueBits, alphaBits;
  u8 redShift, greenShift, blueShift, alphaShift;
  u32 visuals[kPictFormatVisualsMax + 1];  // zero-terminated
};

// Scores at or above this mean "cannot stand for the wanted visual".
constexpr u32 kVisualIncompatible = 1000000;

// The visual classes of the core protocol.
constexpr u8 kClassStaticGray = 0;
constexpr u8 kClassGrayScale = 1;
constexpr u8 kClassStaticColor = 2;
constexpr u8 kClassPseudoColor = 3;
constexpr u8 kClassTrueColor = 4;
constexpr u8 kClassDirectColor = 5;

// --- Records --------------------------------------------------------------

// Builds the records of one real screen, in Xlib's order, with overlay,
// colour characterisation, DOUBLE-BUFFER, Multi-Buffering, GLX and RENDER
// attributes. Null with a new zero-filled array (freeHeadVisuals) or an
// error text: "No visuals found at %s, screen %d", "Out of memory (%s:%d)".
// Failing attribute queries only leave their fields unset.
const char* getHeadVisuals(Display* display, int screen, VisualRecord** records, i32* count);

VisualRecord* findVisualRecord(VisualRecord* records, i32 count, u32 visualId);
// True when every id is its predecessor's plus 1 (false for none).
bool visualIdsConsecutive(const VisualRecord* records, i32 count);

// Deep copies: the target is overwritten (its old tables are not freed);
// green and blue share the red copy where they shared the red table. False
// (target without tables) / null when memory ran out.
bool copyVisualRecord(const VisualRecord* source, VisualRecord* target);
VisualRecord* copyVisualRecords(const VisualRecord* records, i32 count);
// Frees the tables (a shared one once) and zeroes the colour
// characterisation. freeHeadVisuals clears every record, last to first, and
// frees the array; null is fine.
void clearVisualGamma(VisualRecord* record);
void freeHeadVisuals(VisualRecord* records, i32 count);

// Stores the masks with their shifts and bit counts; classes below
// TrueColor keep no masks unless the record is emulated.
void setVisualMasks(VisualRecord* record, u32 red, u32 green, u32 blue);

// "StaticGray" .. "DirectColor", "Unknown class" above 5 (static text).
const char* visualClassName(u32 visualClass);
// The GLX X_VISUAL_TYPE of the record's class.
u32 glxVisualType(const VisualRecord* record);
// "TrueColor 24 bit (#33, double-buf, GL double alpha=0 Z=24 ...)": a
// temporary string of at most 300 bytes.
const char* describeVisual(const VisualRecord* record);

// --- Scoring and matching -------------------------------------------------

// The cost of showing `wanted` through `candidate`: 0 for the same visual,
// kVisualIncompatible or more when it cannot. layerMode 1 lets another
// overlay layer stand in at a small cost.
u32 scoreVisualMatch(const VisualRecord* wanted, const VisualRecord* candidate, u32 layerMode);
// Both or neither have matrices, equal; correction tables of equal counts
// and contents.
bool sameColorCharacterisation(const VisualRecord* a, const VisualRecord* b);

// What matching needs to know beyond the records; capability
// reconciliation sets it before matching (default: GLX on, no clients).
struct VisualMatchContext {
  bool glxEnabled;         // the proxy offers GLX: GL attributes count
  bool clientsConnected;   // a GL visual can no longer be dropped quietly
};
extern VisualMatchContext visualMatchContext;

// Detail flag of the visual-details lines (detailFlags, Proxy/links/errors.h).
constexpr u32 kDetailVisuals = 0x8000000;

// The head visual of lowest cost for a meta visual, or null (a head tagged
// kHeadTagSloppyVisuals takes no costly match). With reconcile
// the meta visual is narrowed to what the head can show (depth, colormap
// size, bits per RGB, masks, double buffering, GL sizes).
VisualRecord* findMatchingHeadVisual(VisualRecord* metaVisual, VisualRecord* headVisuals, i32 headCount,
                                     const Head* head, i32 metaCount, bool reconcile);
// Fills head->visualMatches (a new array parallel to the meta screen's
// visuals, head->visualMatchCount records; the old array is freed). Null or "Display %s has no visual %s - Make sure the common
// visuals are specified in your configuration".
const char* buildHeadVisualMatches(Head* head, MetaScreen* screen);
// The head's record for a meta visual; null without display or match.
VisualRecord* lookupHeadVisual(const VisualRecord* metaVisual, const Head* head);
// The same for the visual at `slot` of the head's meta screen, without
// looking the slot up.
VisualRecord* headVisualAt(const Head* head, i32 slot);
// Narrows the meta screen's visuals to those every head with a display can
// show, dropping the others ("No %s at %s" on the Xhint channel). Null or
// "No visuals left after adjusting - Maybe color tag not set to the screen
// with the least significant visual bits".
const char* reconcileMetaVisuals(MetaScreen* screen);
// The visual-details lines of a meta screen: every visual (" [default]"
// for the root visual) and what each head shows it with.
void logMetaVisualDetails(const MetaScreen* screen);

// --- GLX ------------------------------------------------------------------

// The GL visuals (glxVersion not 0) in record order, as GLXGetVisualConfigs
// entries (oldStyle: 18 items and 10 pairs each) or GLXGetFBConfigs entries
// (43 pairs each). The caller frees the array; null when memory ran out
// (an empty list is a valid zero-sized array).
u32* buildGLXVisualConfigs(const VisualRecord* records, i32 count, bool oldStyle, u32* numVisuals,
                           u32* numPairs);
// Applies attribute pairs (attribute 0 ends the list) to a record.
void applyGLXAttributes(VisualRecord* record, const u32* pairs, u32 pairCount);
// The steps of that read on reply data: GLXGetVisualConfigs entries of
// numProps items (applied to records without GL yet) and GLXGetFBConfigs
// entries of numAttribs pairs (applied to the GL record they describe).
// Entries that itemCount cannot hold whole are ignored.
void applyGLXVisualConfigs(VisualRecord* records, i32 count, u16 glxVersion, const u32* items, u64 itemCount,
                           u32 numVisuals, u32 numProps);
void applyGLXFbConfigs(VisualRecord* records, i32 count, const u32* items, u64 itemCount, u32 numConfigs,
                       u32 numAttribs);
// Reads the GLX visual configurations of a screen into the records;
// false when GLX is missing or answered nothing.
bool queryGLXVisualConfigs(Display* display, int screen, VisualRecord* records, i32 count);
// The GL capabilities of a head's screen, asked through an indirect context
// on the server's GLX. False without GLX or when a needed reply is missing.
bool queryHeadGLX(Display* display, int screen, GLCapabilities* caps);

// --- Properties -----------------------------------------------------------

// Property data as Xlib returns it: format 8 as bytes, 16 as shorts, 32 as
// longs; `items` is the number of items. Parsing never reads past them.
struct PropertyItems {
  int format;
  const void* data;
  unsigned long items;
};
// SERVER_OVERLAY_VISUALS entries applied to the records they name.
void applyOverlayProperty(VisualRecord* records, i32 count, const PropertyItems& property);
// XDCCC_LINEAR_RGB_MATRICES: 18 items of format 32, given to every record.
void applyColorMatrices(VisualRecord* records, i32 count, const PropertyItems& property);
// XDCCC_LINEAR_RGB_CORRECTION records applied to the visuals they name (id
// 0: every visual without tables yet).
void applyColorCorrection(VisualRecord* records, i32 count, const PropertyItems& property);

// Writes or removes SERVER_OVERLAY_VISUALS, XDCCC_LINEAR_RGB_MATRICES and
// XDCCC_LINEAR_RGB_CORRECTION on a window so that they describe `visuals`.
// Null or the broken-connection text.
const char* publishVisualProperties(Display* display, Window window, const VisualRecord* visuals, i32 count);
// Deletes the standard colormap properties of the screen's root.
void removeStandardColormaps(Display* display, int screen);

// --- Xlib visuals ---------------------------------------------------------

bool getVisualInfoById(Display* display, int screen, VisualID visualId, XVisualInfo* info);
// One static Visual each, overwritten by the next call: use it at once.
Visual* staticVisualWithId(VisualID visualId);
// The visual to convert pixels for: the real visual of an emulated record,
// else the record's own; null for null.
Visual* selectVisualConversion(const VisualRecord* record);

// --- RENDER ---------------------------------------------------------------

// The picture formats of a display with the visuals that use them; null
// without RENDER, offline, without a reply or without memory. Free with
// memory's free.
PictFormatRecord* queryRenderPictFormats(Display* display, u32* numFormats, u32* numScreens);
// The part of that query that reads a QueryPictFormats reply body (the
// bytes after its 32-byte header). Null when memory ran out; counts that
// the body cannot hold are cut to what it holds.
PictFormatRecord* parsePictFormats(const u8* body, u64 bytes, u32 numFormats, u32 numScreens,
                                   u32* formatsRead);

}  // namespace palvon
