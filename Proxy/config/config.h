// The configuration records: one ProxyConfiguration, a list of ScreenConfig
// (one per metaScreen block) and a list of HeadConfig (one per screen or
// window block), with the word sets the statements take and the writers that
// turn parts of a record back into configuration words.
//
// The record is filled once at start-up on the main thread by
// parseCommandLine (config/parser.h) and only read afterwards. Every text field
// is a heap copy owned by the record (null when unset); the list entries are
// owned by their list.
#pragma once

#include <bit>
#include <cstddef>
#include <iterator>

#include "base/strings.h"

namespace palvon {

// One entry of the extensions and font-path lists: "+name", "-name" or "name".
struct NameFlag {
  u32 enabled;
  char* name;
};

struct PixmapFormatSpec {
  u32 enabled;
  u32 depthGiven;
  u32 bitsPerPixelGiven;
  u32 scanlinePadGiven;
  u32 depth;
  u32 bitsPerPixel;
  u32 scanlinePad;
};

constexpr int kVisualNumbers = 5;

// "[+|-]class:n1:n2:n3:n4:n5:buffering", every part optional.
struct VisualSpec {
  u32 enabled;
  u32 classGiven;
  u32 numberGiven[kVisualNumbers];
  u32 bufferingGiven;
  u32 visualClass;  // 0 StaticGray ... 5 DirectColor
  u32 numbers[kVisualNumbers];
  u32 buffering;    // 1 singleBuffered, 2 doubleBuffered, 3 singleOnDoubleBuffered
};

// The shortest failsafeTimeout (ms) of a server, configured or added at
// run time. It bounds every single call on the server, Failsafe or not,
// and the longest call of opening a local Xvfb took 6 ms on an idle machine
// and 27 ms at a load of 20 on 8 cores: values under 10 ms failed every
// start. A quarter of a second leaves nine times that.
constexpr u32 kMinFailsafeTimeoutMs = 250;
// How long opening a server may take when its head does not say.
constexpr u32 kDefaultConnectTimeoutMs = 20000;

// Placement codes of meta screens and heads.
constexpr u32 kPlaceNone = 0;
constexpr u32 kPlaceSame = 1;
constexpr u32 kPlaceWest = 2;
constexpr u32 kPlaceEast = 3;
constexpr u32 kPlaceNorth = 4;
constexpr u32 kPlaceSouth = 5;
constexpr u32 kPlaceNorthWest = 6;
constexpr u32 kPlaceNorthEast = 7;
constexpr u32 kPlaceSouthWest = 8;
constexpr u32 kPlaceSouthEast = 9;
constexpr u32 kPlaceDefault = 10;  // a head whose placement the linking pass decides

// Width and height codes of a meta screen.
constexpr i32 kScreenSizeDouble = -10;
constexpr i32 kScreenSizeTriple = -11;

// Positions and sizes end up in the 16-bit coordinates of the protocol: a
// screen, a head or an offset larger than this cannot be addressed.
constexpr i32 kCoordinateMax = 32767;
// The pointer zoom enlarges the head's 16-pixel cursor; beyond this the
// cursor and its hot spot leave the coordinates.
constexpr double kPointerZoomMax = 2047;

// Given bits of ProxyConfiguration::given.
constexpr u32 kGivenExtensions = 0x1;
constexpr u32 kGivenPixmapFormats = 0x2;
constexpr u32 kGivenFontPath = 0x4;
constexpr u32 kGivenMaximumRequestSize = 0x8;
constexpr u32 kGivenMaximumBigRequestSize = 0x10;
constexpr u32 kGivenMaximumNumberOfScreens = 0x20;
constexpr u32 kGivenNumberOfKeyCodes = 0x40;
constexpr u32 kGivenNumberOfButtons = 0x80;
constexpr u32 kGivenNumberOfResourceIdBits = 0x100;
constexpr u32 kGivenLogDestination = 0x200;
constexpr u32 kGivenServerAuthorization = 0x400;

// Given bits of ScreenConfig::given (flags2 carries the millimetre bits).
constexpr u32 kScreenGivenWidth = 0x2;
constexpr u32 kScreenGivenHeight = 0x4;
constexpr u32 kScreenGivenPlacement = 0x8;
constexpr u32 kScreenGivenReference = 0x10;
constexpr u32 kScreenGivenOffsetX = 0x20;
constexpr u32 kScreenGivenOffsetY = 0x40;
constexpr u32 kScreenGivenKeepWindowsVisible = 0x80;
constexpr u32 kScreenGivenVisuals = 0x100;
constexpr u32 kScreenGivenDefaultVisual = 0x200;
constexpr u32 kScreenGivenWidthMM = 0x400;
constexpr u32 kScreenGivenHeightMM = 0x800;
constexpr u32 kScreenGivenResize = 0x1000;

// Given bits of HeadConfig::given; they double as the value mask of the
// head settings.
constexpr u32 kHeadGivenName = 0x1;
constexpr u32 kHeadGivenMetaScreen = 0x2;
constexpr u32 kHeadGivenPlacement = 0x4;
constexpr u32 kHeadGivenReference = 0x8;
constexpr u32 kHeadGivenOffsetX = 0x10;
constexpr u32 kHeadGivenOffsetY = 0x20;
constexpr u32 kHeadGivenFollowPointerX = 0x40;
constexpr u32 kHeadGivenFollowPointerY = 0x80;
constexpr u32 kHeadGivenFollowPointerFlags = 0x100;
constexpr u32 kHeadGivenPhysicalX = 0x200;
constexpr u32 kHeadGivenPhysicalY = 0x400;
constexpr u32 kHeadGivenPhysicalWidth = 0x800;
constexpr u32 kHeadGivenPhysicalHeight = 0x1000;
constexpr u32 kHeadGivenBorderWidth = 0x2000;
constexpr u32 kHeadGivenLogicalX = 0x4000;
constexpr u32 kHeadGivenLogicalY = 0x8000;
constexpr u32 kHeadGivenLogicalWidth = 0x10000;
constexpr u32 kHeadGivenLogicalHeight = 0x20000;
constexpr u32 kHeadGivenMinimumTextSize = 0x40000;
constexpr u32 kHeadGivenTags = 0x80000;
constexpr u32 kHeadGivenKeyboardMapping = 0x100000;
constexpr u32 kHeadGivenRotation = 0x200000;
constexpr u32 kHeadGivenPointer = 0x400000;
constexpr u32 kHeadGivenAllowEnter = 0x800000;
constexpr u32 kHeadGivenPointerSync = 0x1000000;
constexpr u32 kHeadGivenWrapX = 0x2000000;
constexpr u32 kHeadGivenWrapY = 0x4000000;
constexpr u32 kHeadGivenPointerSampleRate = 0x8000000;
constexpr u32 kHeadGivenPointerZoom = 0x10000000;
constexpr u32 kHeadGivenInput = 0x20000000;
constexpr u32 kHeadGivenClickTransfer = 0x40000000;

// Option bits.
constexpr u32 kOptionDynamicServer = 0x1;
constexpr u32 kOptionFailsafe = 0x2;
constexpr u32 kOptionKeymap = 0x10;
constexpr u32 kOptionTranslucent = 0x20;
constexpr u32 kOptionInWindow = 0x80;
constexpr u32 kOptionTavel = 0x200;
constexpr u32 kOptionPose = 0x800;
constexpr u32 kOptionMultimedia = 0x2000;
constexpr u32 kOptionDravant = 0x8000;
constexpr u32 kOptionVisEmu = 0x10000;

// Head tag bits that the configuration itself uses.
constexpr u32 kTagZoomedFonts = 0x400000;
constexpr u32 kTagSelectionSync = 0x1000000;
constexpr u32 kTagRefreshSelectionSync = 0x2000000;

constexpr u32 kFollowPointerJump = 0x8000;

struct ScreenConfig {
  ScreenConfig* next;
  ScreenConfig* previous;  // the first entry's previous is the last entry
  u32 number;
  char* referenceName;
  ScreenConfig* reference;
  VisualSpec* visuals;
  u32 visualCount;
  VisualSpec defaultVisual;
  u32 given;
  u32 flags2;
  char* name;
  i32 width;
  i32 height;
  u32 placement;
  i32 referenceNumber;
  i32 offsetX;
  i32 offsetY;
  i32 keepWindowsVisible;
  u32 widthMM;
  u32 heightMM;
  u32 resize;
  char* placementFile;
  u32 placementLine;
  char* comment;
  size_t commentLength;  // bytes of comment, which the parser appends to
};

// One head's settings as the configuration fills them; the head code copies
// the block as one unit.
struct HeadSettings {
  char* name;
  i32 metaScreenNumber;
  u32 placement;
  i32 offsetX;
  i32 offsetY;
  i32 followPointerX;
  i32 followPointerY;
  u32 followPointerFlags;
  i32 physicalX;
  i32 physicalY;
  i32 physicalWidth;
  i32 physicalHeight;
  i32 borderWidth;
  i32 logicalX;
  i32 logicalY;
  i32 logicalWidth;
  i32 logicalHeight;
  i32 minimumTextSize;
  u32 tags;
  u32 rotation;
  u8 input;
  u8 clickTransfer;
  u8 rotateWithoutPointer;
  u8 pointer;
  u8 allowEnter;
  u8 pointerSync;
  u8 wrapX;
  u8 wrapY;
  u32 pointerSampleRate;
  double pointerZoomX;
  double pointerZoomY;
  u16 emulatedVisuals;
  u8 emulateDoubleBuffer;
  u32 directGL;
  char* glLibraryPath;
  u8 inWindow;
  char* keyboardMapping;
  u32 connectTimeoutMs;
  u32 failsafeTimeoutMs;  // at least kMinFailsafeTimeoutMs
  i32 priority;
  i32 defensePriority;
  // Added with the head settings: the head id that direction places the
  // head against (kHeadGivenReference); 0 for none.
  u32 relativeTo;
};

struct HeadConfig {
  HeadConfig* next;
  HeadConfig* previous;  // the first entry's previous is the last entry
  u32 number;
  char* display;
  char* serverDisplayName;
  char* metaScreenName;
  i32 referenceNumber;
  char* referenceName;
  char* referenceFile;
  u32 referenceLine;
  HeadConfig* reference;
  ScreenConfig* metaScreen;
  u32 given;
  HeadSettings settings;
  char* comment;
  size_t commentLength;  // bytes of comment, which the parser appends to
};

struct ProxyConfiguration {
  char* logDestination;
  u32 logTypes;
  i32 nice;
  u32 numberOfThreads;
  char* connection;
  u32 accessControl;
  char* authorization;
  u32 serverCommandCount;
  char** serverCommand;
  i32 serverNice;
  char* serverAuthorization;
  u32 options;
  u32 workarounds;
  u32 numberOfMetaScreens;
  u32 vendorStringMode;   // 0 none, 1 same, 2 text
  u32 vendorReleaseMode;  // 0 none, 1 same, 2 number
  char* vendorString;
  u32 vendorReleaseNumber;
  char* glxVendorString;  // null: the servers' own
  char* fontName;
  u32 bell;
  u8 noReset;
  u8 syncScreenSavers;
  u8 disableSlaveInput;
  u32 xdmcpMode;  // 0 off, 1 broadcast, 2 indirect, 3 query
  u32 xdmcpOnce;
  char* xdmcpHost;
  u32 xdmcpPort;
  char* xdmcpDisplayClass;
  char* xdmcpDisplayID;
  char* xdmcpAuthorizationCookie;
  ScreenConfig* metaScreens;
  HeadConfig* heads;
  NameFlag* extensions;
  u32 extensionCount;
  PixmapFormatSpec* pixmapFormats;
  u32 pixmapFormatCount;
  u32 numberOfResourceIdBits;
  u32 maximumNumberOfScreens;
  u32 numberOfKeyCodes;
  u32 numberOfButtons;
  NameFlag* fontPath;
  u32 fontPathCount;
  u32 maximumRequestSize;
  u32 maximumBigRequestSize;
  u32 given;
  char* comment;
  size_t commentLength;  // bytes of comment, which the parser appends to
};

// The one configuration of the process.
extern ProxyConfiguration proxyConfig;

// --- Records ---------------------------------------------------------------
// Sets every default (freeing texts and lists set before) and points the
// comment target of the parser at the record's comment.
void initConfiguration(ProxyConfiguration* config);
// Frees every text and list of the record and zeroes it.
void freeConfiguration(ProxyConfiguration* config);
// Append one entry with its defaults; null when out of memory.
ScreenConfig* addScreenConfig(ScreenConfig** list);
HeadConfig* addHeadConfig(HeadConfig** list);
// A copy of the head entry (texts duplicated, links cleared), appended to
// nothing; null when out of memory.
HeadConfig* cloneHeadConfig(const HeadConfig* head);
void unlinkScreenConfig(ScreenConfig** list, ScreenConfig* entry);
void unlinkHeadConfig(HeadConfig** list, HeadConfig* entry);
void freeScreenConfig(ScreenConfig* entry);
void freeScreenConfigList(ScreenConfig** list);
void freeHeadConfig(HeadConfig* entry);
void freeHeadConfigList(HeadConfig** list);
void freeNameList(NameFlag** names, u32* count);
// Frees the text and sets the pointer to null.
void freeIfSet(char** text);

// Appends one uninitialised slot to an array of count entries and returns it
// (null when out of memory, the array unchanged). The allocation is kept at
// the power of two at or above the count, so n appends copy O(n) entries in
// all; an array grown here must come from here or hold a power-of-two count
// (as the defaults do).
template <typename Entry>
Entry* appendArrayEntry(Entry** array, u32* count) {
  u32 n = *count;
  if (n == 0 || std::has_single_bit(n)) {
    if (n > UINT32_MAX / 2) return nullptr;
    size_t capacity = n ? size_t(n) * 2 : 1;
    auto* grown = static_cast<Entry*>(memRealloc(*array, capacity * sizeof(Entry)));
    if (!grown) return nullptr;
    *array = grown;
  }
  return &(*array)[(*count)++];
}

// --- Value words ------------------------------------------------------------
// {enabled, name} from "+name", "-name" or "name"; name is a heap copy.
// Returns an error text or null.
const char* parseFlagWord(NameFlag* entry, const char* word);
const char* parsePixmapFormat(PixmapFormatSpec* entry, const char* word);
const char* parseVisualSpec(VisualSpec* entry, const char* word);
// True when the word (after an optional sign) has an empty class part or a
// class word: such a word is a value of a visual list.
bool isVisualSpecWord(const char* word);
// Placement word (any case) to its code; false for another word.
bool parsePlacementWord(const char* word, u32* code);
const char* getPlacementName(u32 code);
// The statement keyword that writes the placement back.
const char* getPlacementKeyword(u32 code);

// --- Word sets ----------------------------------------------------------------
struct WordBit {
  const char* word;
  u32 bits;
};

struct WordSet {
  const WordBit* rows;
  size_t count;
  bool hasAll;  // "all" sets every bit, "-all" clears them
};

extern const WordSet kOptionWords;
extern const WordSet kWorkaroundWords;
extern const WordSet kLogTypeWords;
extern const WordSet kTagWords;
extern const WordSet kEmulatedVisualWords;

// Applies one word with its optional sign to the set. False when the word is
// not in the set (the value is unchanged).
bool applySetWord(const WordSet& set, const char* word, u32* value);

// --- Writers ------------------------------------------------------------------
// The specification in the form parseVisualSpec reads ("-" first when
// disabled, the class, the given numbers, the buffering word).
void formatDoubleBufferModes(char* out, size_t size, const VisualSpec* spec);
// The workaround words of the set in bit order, or "none" (temporary string).
const char* formatWorkarounds(u32 workarounds);
// The option words of the set in bit order, or "none" (temporary string).
const char* formatOptionWords(u32 options);

}  // namespace palvon
