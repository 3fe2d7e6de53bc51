// Configuration records: defaults, list entries, value words, word sets and
// the writers that turn parts of a record back into configuration words.
#include "Proxy/config/config.h"

#include <X11/Xauth.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "Proxy/config/files.h"
#include "Proxy/config/parser.h"
#include "base/logging.h"
#include "base/process.h"

namespace palvon {

ProxyConfiguration proxyConfig;

namespace {

char* copyText(const char* text) { return text ? memStrdup(text) : nullptr; }

template <typename Entry>
void appendEntry(Entry** list, Entry* entry) {
  if (!*list) {
    entry->previous = entry;
    *list = entry;
    return;
  }
  Entry* last = (*list)->previous;
  last->next = entry;
  entry->previous = last;
  (*list)->previous = entry;
}

template <typename Entry>
void unlinkEntry(Entry** list, Entry* entry) {
  Entry* first = *list;
  if (entry == first) {
    *list = entry->next;
    if (entry->next) entry->next->previous = entry->previous;
  } else {
    entry->previous->next = entry->next;
    if (entry->next) entry->next->previous = entry->previous;
    else first->previous = entry->previous;
  }
  entry->next = nullptr;
  entry->previous = nullptr;
}

void setHeadDefaults(HeadConfig* head) {
  head->referenceNumber = -1;
  HeadSettings& s = head->settings;
  s.metaScreenNumber = -1;
  s.placement = kPlaceDefault;
  s.borderWidth = -1;
  s.tags = kTagZoomedFonts;
  s.pointer = 1;
  s.allowEnter = 1;
  s.pointerZoomX = 1.0;
  s.pointerZoomY = 1.0;
  s.connectTimeoutMs = kDefaultConnectTimeoutMs;
  s.failsafeTimeoutMs = 20000;
}

}  // namespace

void freeIfSet(char** text) {
  free(*text);
  *text = nullptr;
}

void freeNameList(NameFlag** names, u32* count) {
  if (*names) {
    for (u32 i = 0; i < *count; i++) free((*names)[i].name);
    free(*names);
  }
  *names = nullptr;
  *count = 0;
}

// --- List entries ---------------------------------------------------------------

ScreenConfig* addScreenConfig(ScreenConfig** list) {
  auto* entry = static_cast<ScreenConfig*>(memCalloc(1, sizeof(ScreenConfig)));
  if (!entry) return nullptr;
  entry->flags2 = 0x10FF;
  entry->referenceNumber = -1;
  entry->resize = 1;
  appendEntry(list, entry);
  return entry;
}

HeadConfig* addHeadConfig(HeadConfig** list) {
  auto* entry = static_cast<HeadConfig*>(memCalloc(1, sizeof(HeadConfig)));
  if (!entry) return nullptr;
  setHeadDefaults(entry);
  entry->settings.glLibraryPath = memStrdup("libGL:libGL.so.1");
  if (!entry->settings.glLibraryPath) {
    free(entry);
    return nullptr;
  }
  appendEntry(list, entry);
  return entry;
}

HeadConfig* cloneHeadConfig(const HeadConfig* head) {
  auto* copy = static_cast<HeadConfig*>(memdup(head, sizeof(HeadConfig)));
  if (!copy) return nullptr;
  copy->next = nullptr;
  copy->previous = nullptr;
  copy->reference = nullptr;
  char** texts[] = {&copy->display, &copy->serverDisplayName, &copy->metaScreenName,
                    &copy->referenceName, &copy->referenceFile, &copy->settings.name,
                    &copy->settings.glLibraryPath, &copy->settings.keyboardMapping,
                    &copy->comment};
  bool ok = true;
  for (char** text : texts) {
    *text = copyText(*text);
    if (!*text && text == &copy->settings.glLibraryPath) ok = head->settings.glLibraryPath == nullptr;
  }
  if (!ok) {
    freeHeadConfig(copy);
    return nullptr;
  }
  return copy;
}

void unlinkScreenConfig(ScreenConfig** list, ScreenConfig* entry) { unlinkEntry(list, entry); }
void unlinkHeadConfig(HeadConfig** list, HeadConfig* entry) { unlinkEntry(list, entry); }

void freeScreenConfig(ScreenConfig* entry) {
  if (!entry) return;
  free(entry->referenceName);
  free(entry->visuals);
  free(entry->name);
  free(entry->placementFile);
  free(entry->comment);
  free(entry);
}

void freeHeadConfig(HeadConfig* entry) {
  if (!entry) return;
  free(entry->display);
  free(entry->serverDisplayName);
  free(entry->metaScreenName);
  free(entry->referenceName);
  free(entry->referenceFile);
  free(entry->settings.name);
  free(entry->settings.glLibraryPath);
  free(entry->settings.keyboardMapping);
  free(entry->comment);
  free(entry);
}

void freeScreenConfigList(ScreenConfig** list) {
  for (ScreenConfig* entry = *list; entry;) {
    ScreenConfig* next = entry->next;
    freeScreenConfig(entry);
    entry = next;
  }
  *list = nullptr;
}

void freeHeadConfigList(HeadConfig** list) {
  for (HeadConfig* entry = *list; entry;) {
    HeadConfig* next = entry->next;
    freeHeadConfig(entry);
    entry = next;
  }
  *list = nullptr;
}

// --- The record -------------------------------------------------------------------

void freeConfiguration(ProxyConfiguration* config) {
  char** texts[] = {&config->logDestination, &config->connection, &config->authorization,
                    &config->serverAuthorization, &config->vendorString, &config->glxVendorString,
                    &config->fontName, &config->xdmcpHost, &config->xdmcpDisplayClass,
                    &config->xdmcpDisplayID, &config->xdmcpAuthorizationCookie, &config->comment};
  for (char** text : texts) freeIfSet(text);
  for (u32 i = 0; i < config->serverCommandCount; i++) free(config->serverCommand[i]);
  free(config->serverCommand);
  freeScreenConfigList(&config->metaScreens);
  freeHeadConfigList(&config->heads);
  freeNameList(&config->extensions, &config->extensionCount);
  freeNameList(&config->fontPath, &config->fontPathCount);
  free(config->pixmapFormats);
  *config = ProxyConfiguration{};
}

void initConfiguration(ProxyConfiguration* config) {
  freeConfiguration(config);
  config->logDestination = memStrdup(getLogFileName());
  config->numberOfThreads = cpuCount();
  config->connection = memStrdup(":0");
  config->accessControl = 1;
  config->serverAuthorization = copyText(XauFileName());
  config->glxVendorString = memStrdup(getMakerName());
  config->fontName = memStrdup("fixed");
  config->bell = 1;
  config->xdmcpHost = memStrdup("localhost");
  config->xdmcpPort = 177;
  config->extensions = static_cast<NameFlag*>(memCalloc(2, sizeof(NameFlag)));
  if (config->extensions) {
    config->extensions[0] = NameFlag{0, memStrdup("XKEYBOARD")};
    config->extensions[1] = NameFlag{0, memStrdup("RANDR")};
    config->extensionCount = 2;
  }
  setCommentTarget(&config->comment, &config->commentLength);
}

// --- Value words --------------------------------------------------------------------

namespace {

// Strips an optional sign; *enabled is 0 after "-", else 1.
const char* stripSign(const char* word, u32* enabled) {
  *enabled = 1;
  if (*word == '+') return word + 1;
  if (*word == '-') {
    *enabled = 0;
    return word + 1;
  }
  return word;
}

// One colon-separated field: its start and length; advances past the colon.
struct Field {
  const char* start;
  size_t length;
};

Field nextField(const char** cursor) {
  const char* start = *cursor;
  const char* colon = strchr(start, ':');
  size_t length = colon ? size_t(colon - start) : strlen(start);
  *cursor = colon ? colon + 1 : start + length;
  return Field{start, length};
}

// An unsigned decimal field; false when it holds anything else.
bool readDecimalField(Field field, u32* value) {
  if (field.length == 0 || field.length > 10) return false;
  u64 n = 0;
  for (size_t i = 0; i < field.length; i++) {
    char c = field.start[i];
    if (c < '0' || c > '9') return false;
    n = n * 10 + u64(c - '0');
  }
  if (n > 0xffffffffu) return false;
  *value = u32(n);
  return true;
}

const char* invalidField(Field field, const char* statement) {
  return tmpPrintf("Invalid value '%s' for statement %s", tmpStrndup(field.start, field.length),
                   statement);
}

// The numbers of a pixmap format or visual word: what a format or visual of
// an X server can have, so that a word that could match none is refused
// instead of being kept without effect.
struct FieldRange {
  const char* name;
  u32 low, high;
};

const char* outOfFieldRange(const FieldRange& range, u32 value) {
  if (value < range.low) return tmpPrintf("%s must be greater or equal than %u", range.name, range.low);
  if (value > range.high) return tmpPrintf("%s must be lower or equal than %u", range.name, range.high);
  return nullptr;
}

constexpr FieldRange kPixmapFormatRanges[] = {
    {"pixmapFormat depth", 1, 32}, {"pixmapFormat bitsPerPixel", 1, 32}, {"pixmapFormat scanlinePad", 8, 32}};
// The layer is signed: any 32 bits name one.
constexpr FieldRange kVisualRanges[kVisualNumbers] = {{"visual depth", 1, 32},
                                                     {"visual bitsPerRGB", 1, 16},
                                                     {"visual colormapSize", 1, 65535},
                                                     {"visual transparentType", 0, 2},
                                                     {"visual layer", 0, 0xffffffffu}};

constexpr const char* kVisualClassWords[] = {"StaticGray", "StaticGrey", "GrayScale", "GreyScale",
                                             "StaticColor", "PseudoColor", "TrueColor", "DirectColor"};
constexpr u32 kVisualClassCodes[] = {0, 0, 1, 1, 2, 3, 4, 5};
constexpr const char* kVisualClassNames[] = {"StaticGray", "GrayScale", "StaticColor",
                                             "PseudoColor", "TrueColor", "DirectColor"};
constexpr const char* kBufferingWords[] = {"singleBuffered", "doubleBuffered",
                                           "singleOnDoubleBuffered"};

bool findVisualClass(Field field, u32* code) {
  for (size_t i = 0; i < std::size(kVisualClassWords); i++) {
    if (strlen(kVisualClassWords[i]) == field.length &&
        strncasecmp(kVisualClassWords[i], field.start, field.length) == 0) {
      *code = kVisualClassCodes[i];
      return true;
    }
  }
  return false;
}

}  // namespace

const char* parseFlagWord(NameFlag* entry, const char* word) {
  const char* name = stripSign(word, &entry->enabled);
  entry->name = memStrdup(name);
  return entry->name ? nullptr : PALVON_OOM();
}

const char* parsePixmapFormat(PixmapFormatSpec* entry, const char* word) {
  *entry = PixmapFormatSpec{};
  const char* cursor = stripSign(word, &entry->enabled);
  u32* givens[] = {&entry->depthGiven, &entry->bitsPerPixelGiven, &entry->scanlinePadGiven};
  u32* values[] = {&entry->depth, &entry->bitsPerPixel, &entry->scanlinePad};
  for (int i = 0; i < 3 && *cursor; i++) {
    Field field = nextField(&cursor);
    if (field.length == 0) continue;
    if (!readDecimalField(field, values[i])) return invalidField(field, "pixmapFormat");
    if (const char* error = outOfFieldRange(kPixmapFormatRanges[i], *values[i])) return error;
    *givens[i] = 1;
  }
  return nullptr;
}

bool isVisualSpecWord(const char* word) {
  u32 enabled, code;
  const char* cursor = stripSign(word, &enabled);
  Field field = nextField(&cursor);
  return field.length == 0 || findVisualClass(field, &code);
}

const char* parseVisualSpec(VisualSpec* entry, const char* word) {
  *entry = VisualSpec{};
  const char* cursor = stripSign(word, &entry->enabled);
  Field field = nextField(&cursor);
  if (field.length) {
    if (!findVisualClass(field, &entry->visualClass)) return invalidField(field, "visual");
    entry->classGiven = 1;
  }
  for (int i = 0; i < kVisualNumbers && *cursor; i++) {
    field = nextField(&cursor);
    if (field.length == 0) continue;
    if (!readDecimalField(field, &entry->numbers[i])) return invalidField(field, "visual");
    if (const char* error = outOfFieldRange(kVisualRanges[i], entry->numbers[i])) return error;
    entry->numberGiven[i] = 1;
  }
  if (*cursor) {
    field = nextField(&cursor);
    for (u32 i = 0; i < std::size(kBufferingWords); i++) {
      if (strlen(kBufferingWords[i]) == field.length &&
          strncasecmp(kBufferingWords[i], field.start, field.length) == 0) {
        entry->buffering = i + 1;
        entry->bufferingGiven = 1;
      }
    }
  }
  return nullptr;
}

bool parsePlacementWord(const char* word, u32* code) {
  static constexpr WordBit kPlacements[] = {
      {"none", 0},      {"same", 1},      {"clone", 1},     {"West", 2},      {"left", 2},
      {"East", 3},      {"right", 3},     {"North", 4},     {"up", 4},        {"above", 4},
      {"South", 5},     {"down", 5},      {"below", 5},     {"NorthWest", 6}, {"NorthEast", 7},
      {"SouthWest", 8}, {"SouthEast", 9},
  };
  for (const WordBit& row : kPlacements) {
    if (strcasecmp(row.word, word) == 0) {
      *code = row.bits;
      return true;
    }
  }
  return false;
}

const char* getPlacementName(u32 code) {
  static constexpr const char* kNames[] = {"none",  "same",      "West",      "East",      "North",
                                           "South", "NorthWest", "NorthEast", "SouthWest", "SouthEast"};
  return code < std::size(kNames) ? kNames[code] : "unknown";
}

const char* getPlacementKeyword(u32 code) {
  static constexpr const char* kKeywords[] = {
      "direction none relativeTo", "sameAs",      "westOf",      "eastOf",      "northOf",
      "southOf",                   "northWestOf", "northEastOf", "southWestOf", "southEastOf"};
  return code < std::size(kKeywords) ? kKeywords[code] : "relativeTo";
}

// --- Word sets ----------------------------------------------------------------------

namespace {

constexpr WordBit kOptionRows[] = {
    {"DynamicServer", kOptionDynamicServer}, {"Failsafe", kOptionFailsafe},
    {"Keymap", kOptionKeymap},               {"Translucent", kOptionTranslucent},
    {"InWindow", kOptionInWindow},           {"Tavel", kOptionTavel},
    {"Pose", kOptionPose},                   {"Multimedia", kOptionMultimedia},
    {"Dravant", kOptionDravant},             {"DirectGL", kOptionDravant},
    {"DirectGLX", kOptionDravant},           {"VisEmu", kOptionVisEmu},
};

constexpr WordBit kWorkaroundRows[] = {
    {"ActiveDrawInWindow", 0x1},
    {"MapDiscardExpose", 0x2},
    {"ForgetBitGravity", 0x4},
    {"RefreshBitGravity", 0x8},
    {"ExposeInsteadOfGraphicsExpose", 0x10},
    {"ExposeAfterGraphicsExpose", 0x20},
    {"ExposeBeforeGraphicsExpose", 0x40},
    {"FixPointerCoordinates", 0x80},
    {"BogusSunKeyboard", 0x100},
    {"AbsoluteInputDeviceMode", 0x400},
    {"GLX13", 0x800},
    {"WMIgnoresMoveWindow", 0x1000},
    {"WMIncludesDecoration", 0x2000},
    {"NoNoXKB", 0x4000},
    {"MotionCompression", 0x8000},
    {"SelectScreenChangeEvents", 0x10000},
    {"RANDREmulation", 0x20000},
    {"BadSequenceNumbers", 0x40000},
    {"NoGLXCopyContext", 0x80000},
    {"NoGLXDestroyPbuffer", 0x100000},
};

constexpr WordBit kLogTypeRows[] = {
    {"Errors", 0x1},       {"XError", 0x1},
    {"XErrors", 0x1},      {"X11Errors", 0x1},
    {"ProtocolErrors", 0x1}, {"DynamicServerStatistics", 0x2},
    {"ExtensionDetails", 0x4}, {"AuthorizationDetails", 0x8},
    {"ClientNames", 0x20}, {"VisualDetails", 0x40},
    {"visual", 0x40},      {"visuals", 0x40},
    {"xvisuals", 0x40},    {"Hints", 0x80},
    {"XHints", 0x80},      {"Clients", 0x100},
    {"XClients", 0x100},   {"progress", 0x200},
    {"steps", 0x200},      {"verbose", 0x280},
    {"RANDR", 0x400},
};

constexpr WordBit kTagRows[] = {
    {"atom", 0x1},
    {"property", 0x1},
    {"color", 0x2},
    {"font", 0x4},
    {"fonts", 0x4},
    {"image", 0x8},
    {"images", 0x8},
    {"keepBelow", 0x10},
    {"optimizedDraw", 0x20},
    {"glx", 0x40},
    {"OpenGL", 0x40},
    {"keepOnTop", 0x200},
    {"onTop", 0x200},
    {"static", 0x400},
    {"overlay", 0x800},
    {"iconify", 0x1000},
    {"notManaged", 0x2000},
    {"unmanaged", 0x2000},
    {"cooperative", 0x4000},
    {"sloppyVisuals", 0x8000},
    {"sloppyDepths", 0x10000},
    {"staticDisplay", 0x40000},
    {"serverFonts", 0x200000},
    {"zoomedFonts", kTagZoomedFonts},
    {"probeOnly", 0x800000},
    {"selectionSync", kTagSelectionSync},
    {"refreshSelectionSync", kTagRefreshSelectionSync},
    {"anyScreen", 0x10000000},
    {"buggyRANDR", 0x20000000},
    {"ByteSwapToXServer", 0x40000000},
};

constexpr WordBit kEmulatedVisualRows[] = {
    {"PseudoColor4", 0x1}, {"PseudoColor:4", 0x1}, {"PseudoColor8", 0x2},
    {"PseudoColor:8", 0x2}, {"only", 0x2000},
};

// Writes the words of the set bits in bit order; for each bit the first
// word of the table (or the extra row) that carries exactly that bit.
const char* formatWordSet(const WordBit* rows, size_t count, const WordBit* extra, u32 value) {
  if (value == 0) return "none";
  char* out = tmpAlloc(512);
  if (!out) return "none";
  out[0] = 0;
  for (u32 bit = 1; bit; bit <<= 1) {
    if (!(value & bit)) continue;
    const char* word = extra && extra->bits == bit ? extra->word : nullptr;
    for (size_t i = 0; i < count && !word; i++)
      if (rows[i].bits == bit) word = rows[i].word;
    if (!word) continue;
    if (out[0]) strAppend(out, " ", 512);
    strAppend(out, word, 512);
  }
  return out;
}

}  // namespace

const WordSet kOptionWords = {kOptionRows, std::size(kOptionRows), false};
const WordSet kWorkaroundWords = {kWorkaroundRows, std::size(kWorkaroundRows), false};
const WordSet kLogTypeWords = {kLogTypeRows, std::size(kLogTypeRows), true};
const WordSet kTagWords = {kTagRows, std::size(kTagRows), false};
const WordSet kEmulatedVisualWords = {kEmulatedVisualRows, std::size(kEmulatedVisualRows), false};

bool applySetWord(const WordSet& set, const char* word, u32* value) {
  u32 enabled;
  const char* name = stripSign(word, &enabled);
  if (set.hasAll && strcasecmp(name, "all") == 0) {
    *value = enabled ? 0xffffffffu : 0;
    return true;
  }
  for (size_t i = 0; i < set.count; i++) {
    if (strcasecmp(set.rows[i].word, name) != 0) continue;
    if (enabled) *value |= set.rows[i].bits;
    else *value &= ~set.rows[i].bits;
    return true;
  }
  return false;
}

// --- Writers -----------------------------------------------------------------------

void formatDoubleBufferModes(char* out, size_t size, const VisualSpec* spec) {
  int n = snprintf(out, size, "%s%s", spec->enabled ? "" : "-",
                   spec->classGiven ? (spec->visualClass < std::size(kVisualClassNames)
                                           ? kVisualClassNames[spec->visualClass]
                                           : "unknown")
                                    : "");
  // Only as many fields as the last given part needs, so the text reads back
  // to the same visual; an enabled visual with no part at all is "+", not an
  // empty word that would vanish between the others.
  int last = -1;
  for (int i = 0; i < kVisualNumbers; i++)
    if (spec->numberGiven[i]) last = i;
  if (spec->bufferingGiven) last = kVisualNumbers;
  if (n == 0 && last < 0) snprintf(out, size, "+");
  for (int i = 0; i <= last && n >= 0 && size_t(n) < size; i++) {
    if (i == kVisualNumbers) {
      const char* word = spec->buffering >= 1 && spec->buffering <= 3
                             ? kBufferingWords[spec->buffering - 1]
                             : "unknown";
      n += snprintf(out + n, size - size_t(n), ":%s", word);
    } else if (spec->numberGiven[i]) {
      n += snprintf(out + n, size - size_t(n), ":%u", spec->numbers[i]);
    } else {
      n += snprintf(out + n, size - size_t(n), ":");
    }
  }
}

const char* formatWorkarounds(u32 workarounds) {
  // Bit 0x200 is set only by code, never by a configuration word.
  static constexpr WordBit kSimulate = {"SimulateAllExtensions", 0x200};
  return formatWordSet(kWorkaroundRows, std::size(kWorkaroundRows), &kSimulate, workarounds);
}

const char* formatOptionWords(u32 options) {
  return formatWordSet(kOptionRows, std::size(kOptionRows), nullptr, options);
}

}  // namespace palvon
