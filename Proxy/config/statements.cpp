// The statements of the configuration language: one table row per statement
// or block key, the states that read their values, and the linking pass that
// ties heads and meta screens together after the parse.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "Proxy/config/config.h"
#include "Proxy/config/nameindex.h"
#include "Proxy/config/parser.h"
#include "base/logging.h"
#include "base/timeval.h"

namespace palvon {

namespace {

// How a statement reads its value.
enum class Form : u8 {
  OnOff,      // the keywords on or off, into a u8 or u32
  Text,       // the word as it stands
  TextClear,  // none or off clear the text, else the word
  Signed,     // a number, compared signed
  Unsigned,   // a number, compared unsigned
  Duration,   // a duration in milliseconds
  Set,        // a list of words of a word set
  Special,    // a state of its own
  Immediate,  // no value: acts on the keyword
};

constexpr i64 kNoLow = INT64_MIN;
constexpr i64 kNoHigh = INT64_MAX;
// More threads than this would only cost memory: no machine the proxy runs
// on has that many processors.
constexpr i64 kMaxThreads = 1024;
// Scheduling priorities as setpriority takes them (it clips others silently).
constexpr i64 kNiceMin = -20, kNiceMax = 19;
// What the 16-bit fields of the set-up reply and of META carry: a port, a
// size in millimetres, a head's priorities, its sample rate and text size.
constexpr i64 kMax16 = 65535;
constexpr i64 kCoordinateMin = -kCoordinateMax;

struct Row {
  const char* keyword;
  Form form;
  u8 size;          // bytes of the field
  u32 offset;       // field in the record of the statement's block
  u32 given;        // bit of the block's given word
  const char* name; // the statement in messages
  i64 low = kNoLow;
  i64 high = kNoHigh;
  const WordSet* set = nullptr;
  u32 noneMask = 0xffffffffu;  // the bits that none clears in a set
  StatementState special = nullptr;
  u32 code = 0;     // placement code, or which of two fields
};

struct SharedState {
  u32 headCount;
  char* lastMetaScreen;
  // Blocks by name, so that each block statement and each reference of the
  // linking pass is found in constant time.
  NameIndex screens;
  NameIndex heads;
};
SharedState gShared;

// --- Small helpers ------------------------------------------------------------------

bool isKeyword(const Token& t, const char* keyword) {
  return t.keyword && strcmp(t.keyword, keyword) == 0;
}

bool isWord(const Token& t, const char* word) { return !t.quoted && strcasecmp(t.text, word) == 0; }

const char* invalidValue(const char* value, const char* statement) {
  return tmpPrintf("Invalid value '%s' for statement %s", value, statement);
}

const Row& currentRow(const ParseContext& p) { return *static_cast<const Row*>(p.row); }

// The record that a row's offset refers to.
char* rowBase(const ParseContext& p) {
  if (p.head) return reinterpret_cast<char*>(p.head);
  if (p.screen) return reinterpret_cast<char*>(p.screen);
  return reinterpret_cast<char*>(&proxyConfig);
}

u32* givenWord(const ParseContext& p) {
  if (p.head) return &p.head->given;
  if (p.screen) return &p.screen->given;
  return &proxyConfig.given;
}

void markGiven(const ParseContext& p, u32 bits) { *givenWord(p) |= bits; }

u32 loadField(const void* field, u8 size) {
  if (size == 1) return *static_cast<const u8*>(field);
  if (size == 2) return *static_cast<const u16*>(field);
  return *static_cast<const u32*>(field);
}

void storeField(void* field, u8 size, u32 value) {
  if (size == 1) *static_cast<u8*>(field) = u8(value);
  else if (size == 2) *static_cast<u16*>(field) = u16(value);
  else *static_cast<u32*>(field) = value;
}

const char* replaceText(char** field, const char* text) {
  char* copy = memStrdup(text);
  if (!copy) return PALVON_OOM();
  free(*field);
  *field = copy;
  return nullptr;
}

enum class NumberRead { kNone, kOutOfRange, kRead };

// A number as scanf's "%i" or "%u" reads it: 0x hexadecimal, 0 octal, else
// decimal; what follows the digits is ignored. kNone when no digit leads;
// kOutOfRange when the number does not fit the statement's 32 bits (a minus
// sign before an unsigned number included): a wrapped or clipped value
// would be taken without a word.
NumberRead scanNumber(const char* text, bool isSigned, i64* out) {
  char* end = nullptr;
  errno = 0;
  if (isSigned) {
    long long value = strtoll(text, &end, 0);
    if (end == text) return NumberRead::kNone;
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return NumberRead::kOutOfRange;
    *out = value;
  } else {
    unsigned long long value = strtoull(text, &end, 0);
    if (end == text) return NumberRead::kNone;
    const char* digits = text;
    while (isspace(static_cast<unsigned char>(*digits))) digits++;
    if (*digits == '-' || errno == ERANGE || value > 0xffffffffull) return NumberRead::kOutOfRange;
    *out = i64(value);
  }
  return NumberRead::kRead;
}

bool readNumber(const char* text, bool isSigned, i64* out) {
  return scanNumber(text, isSigned, out) == NumberRead::kRead;
}

bool readOnOff(const Token& t, u32* value) {
  if (isKeyword(t, "on")) *value = 1;
  else if (isKeyword(t, "off")) *value = 0;
  else return false;
  return true;
}

// Back to the statement start of the block and let it handle the token.
const char* endList(ParseContext& p) {
  p.state = p.home;
  p.again = true;
  return nullptr;
}

const char* finish(ParseContext& p) {
  p.state = p.home;
  return nullptr;
}

// The message of a value outside [low, high], naming the bound it crosses;
// null inside.
const char* outOfRange(const char* name, i64 value, i64 low, i64 high) {
  if (value < low) return tmpPrintf("%s must be greater or equal than %lld", name, static_cast<long long>(low));
  if (value > high) return tmpPrintf("%s must be lower or equal than %lld", name, static_cast<long long>(high));
  return nullptr;
}

// The same for a duration, with the bounds written as durations.
const char* durationOutOfRange(const char* name, u64 ms, i64 low, i64 high) {
  auto text = [](i64 bound) {
    return bound % 1000 ? tmpPrintf("%lldms", static_cast<long long>(bound))
                        : tmpPrintf("%llds", static_cast<long long>(bound / 1000));
  };
  if (low != kNoLow && ms < u64(low)) return tmpPrintf("%s must be greater or equal than %s", name, text(low));
  if (high != kNoHigh && ms > u64(high)) return tmpPrintf("%s must be lower or equal than %s", name, text(high));
  return nullptr;
}

// Stores a number of a Signed or Unsigned row and checks its range. The value
// stays stored when it is out of range: the parse fails anyway.
const char* storeNumber(ParseContext& p, const Row& row, const Token& t, void* field) {
  i64 value;
  if (!readNumber(t.text, row.form == Form::Signed, &value)) return invalidValue(t.text, row.name);
  storeField(field, row.size, u32(value));
  markGiven(p, row.given);
  return outOfRange(row.name, value, row.low, row.high);
}

// --- Generic states -------------------------------------------------------------------

const char* stateValue(ParseContext& p, const Token& t) {
  const Row& row = currentRow(p);
  void* field = rowBase(p) + row.offset;
  p.state = p.home;
  switch (row.form) {
    case Form::OnOff: {
      u32 value;
      if (!readOnOff(t, &value)) return invalidValue(t.text, row.name);
      storeField(field, row.size, value);
      break;
    }
    case Form::TextClear:
      if (isKeyword(t, "none") || isKeyword(t, "off")) {
        freeIfSet(static_cast<char**>(field));
        break;
      }
      [[fallthrough]];
    case Form::Text:
      if (const char* error = replaceText(static_cast<char**>(field), t.text)) return error;
      break;
    case Form::Signed:
    case Form::Unsigned:
      return storeNumber(p, row, t, field);
    case Form::Duration: {
      u64 ms;
      if (!parseDurationMs(t.text, &ms) || ms > 0xffffffffu) return invalidValue(t.text, row.name);
      storeField(field, 4, u32(ms));
      markGiven(p, row.given);
      return durationOutOfRange(row.name, ms, row.low, row.high);
    }
    default:
      PALVON_UNE();
      break;
  }
  markGiven(p, row.given);
  return nullptr;
}

const char* stateSetWords(ParseContext& p, const Token& t) {
  const Row& row = currentRow(p);
  void* field = rowBase(p) + row.offset;
  u32 value = loadField(field, row.size);
  if (isKeyword(t, "none")) value &= ~row.noneMask;
  else if (!applySetWord(*row.set, t.text, &value)) return endList(p);
  storeField(field, row.size, value);
  markGiven(p, row.given);
  return nullptr;
}

// --- Top-level statements ----------------------------------------------------------------

// extensions and fontPath: plain words only; a keyword ends the list, none
// empties it and ends the statement.
const char* stateNameFlags(ParseContext& p, const Token& t) {
  const Row& row = currentRow(p);
  bool fonts = row.code == 1;
  NameFlag** list = fonts ? &proxyConfig.fontPath : &proxyConfig.extensions;
  u32* count = fonts ? &proxyConfig.fontPathCount : &proxyConfig.extensionCount;
  markGiven(p, row.given);
  if (isKeyword(t, "none")) {
    freeNameList(list, count);
    return finish(p);
  }
  if (t.kind != TokenKind::Word) return endList(p);
  NameFlag entry{};
  if (const char* error = parseFlagWord(&entry, t.text)) return error;
  NameFlag* slot = appendArrayEntry(list, count);
  if (!slot) {
    free(entry.name);
    return PALVON_OOM();
  }
  *slot = entry;
  return nullptr;
}

const char* statePixmapFormats(ParseContext& p, const Token& t) {
  markGiven(p, kGivenPixmapFormats);
  if (isKeyword(t, "none")) {
    freeIfNotNull(proxyConfig.pixmapFormats);
    proxyConfig.pixmapFormats = nullptr;
    proxyConfig.pixmapFormatCount = 0;
    return finish(p);
  }
  if (t.kind != TokenKind::Word) return endList(p);
  PixmapFormatSpec entry;
  if (const char* error = parsePixmapFormat(&entry, t.text)) return error;
  PixmapFormatSpec* slot = appendArrayEntry(&proxyConfig.pixmapFormats, &proxyConfig.pixmapFormatCount);
  if (!slot) return PALVON_OOM();
  *slot = entry;
  return nullptr;
}

const char* stateGlxVendor(ParseContext& p, const Token& t) {
  p.state = p.home;
  if (strcasecmp(t.text, "same") == 0) {
    freeIfSet(&proxyConfig.glxVendorString);
    return nullptr;
  }
  return replaceText(&proxyConfig.glxVendorString, t.text);
}

const char* stateVendorString(ParseContext& p, const Token& t) {
  p.state = p.home;
  if (strcasecmp(t.text, "same") == 0) proxyConfig.vendorStringMode = 1;
  else if (isKeyword(t, "none")) proxyConfig.vendorStringMode = 0;
  else {
    proxyConfig.vendorStringMode = 2;
    return replaceText(&proxyConfig.vendorString, t.text);
  }
  return nullptr;
}

const char* stateVendorRelease(ParseContext& p, const Token& t) {
  p.state = p.home;
  if (strcasecmp(t.text, "same") == 0) {
    proxyConfig.vendorReleaseMode = 1;
  } else if (isKeyword(t, "none")) {
    proxyConfig.vendorReleaseMode = 0;
  } else {
    i64 value;
    if (!readNumber(t.text, false, &value)) return invalidValue(t.text, "vendorReleaseNumber");
    proxyConfig.vendorReleaseMode = 2;
    proxyConfig.vendorReleaseNumber = u32(value);
  }
  return nullptr;
}

const char* stateXdmcpMode(ParseContext& p, const Token& t) {
  static constexpr const char* kModes[] = {"off", "broadcast", "indirect", "query"};
  if (isKeyword(t, "once")) {
    proxyConfig.xdmcpOnce = 1;
    return nullptr;
  }
  for (u32 mode = 0; mode < std::size(kModes); mode++) {
    if (!isKeyword(t, kModes[mode])) continue;
    proxyConfig.xdmcpMode = mode;
    if (mode == 0) proxyConfig.xdmcpOnce = 0;
    return nullptr;
  }
  return endList(p);
}

const char* stateServerCommand(ParseContext&, const Token& t) {
  char* word = memStrdup(t.text);
  char** slot = word ? appendArrayEntry(&proxyConfig.serverCommand, &proxyConfig.serverCommandCount)
                     : nullptr;
  if (!slot) {
    free(word);
    return PALVON_OOM();
  }
  *slot = word;
  return nullptr;
}

const char* beginServerCommand(ParseContext& p, const Token&) {
  p.restOfText = true;
  p.state = stateServerCommand;
  return nullptr;
}

const char* stateSet(ParseContext& p, const Token& t) {
  if (p.step++ == 0) return replaceText(&p.setName, t.text);
  p.state = p.home;
  if (setenv(p.setName, t.text, 1) != 0)
    return tmpPrintf("Can't set environment variable '%s': %s", p.setName, errnoText(errno));
  return nullptr;
}

const char* stateSource(ParseContext& p, const Token& t) { return sourceConfigurationFile(p, t.text); }

const char* atMetaBlock(ParseContext& p, const Token& t);
const char* atHeadBlock(ParseContext& p, const Token& t);

const char* stateMetaScreenName(ParseContext& p, const Token& t) {
  auto* screen = static_cast<ScreenConfig*>(nameIndexFind(gShared.screens, t.text));
  if (!screen) {
    bool first = proxyConfig.metaScreens == nullptr;
    if (!(screen = addScreenConfig(&proxyConfig.metaScreens))) return PALVON_OOM();
    proxyConfig.numberOfMetaScreens++;
    if (!first) screen->placement = kPlaceEast;
    if (const char* error = replaceText(&screen->name, t.text)) return error;
    if (!nameIndexAdd(gShared.screens, screen->name, screen)) return PALVON_OOM();
  }
  if (const char* error = replaceText(&gShared.lastMetaScreen, t.text)) return error;
  setCommentTarget(&screen->comment, &screen->commentLength);
  p.screen = screen;
  p.state = p.home = atMetaBlock;
  return nullptr;
}

const char* stateHeadName(ParseContext& p, const Token& t) {
  auto* head = static_cast<HeadConfig*>(nameIndexFind(gShared.heads, t.text));
  if (!head) {
    if (!(head = addHeadConfig(&proxyConfig.heads))) return PALVON_OOM();
    gShared.headCount++;
    head->given |= kHeadGivenName;
    if (const char* error = replaceText(&head->settings.name, t.text)) return error;
    if (!nameIndexAdd(gShared.heads, head->settings.name, head)) return PALVON_OOM();
    if (gShared.lastMetaScreen) {
      if (const char* error = replaceText(&head->metaScreenName, gShared.lastMetaScreen)) return error;
    }
  }
  if (currentRow(p).code == 1) head->settings.inWindow = 1;
  setCommentTarget(&head->comment, &head->commentLength);
  p.head = head;
  p.state = p.home = atHeadBlock;
  return nullptr;
}

// --- Block keys shared by meta screens and heads ---------------------------------------

// A placement keyword: name [x [y]].
const char* statePlacement(ParseContext& p, const Token& t) {
  const Row& row = currentRow(p);
  bool head = p.head != nullptr;
  if (p.step == 0) {
    char** name = head ? &p.head->referenceName : &p.screen->referenceName;
    char** file = head ? &p.head->referenceFile : &p.screen->placementFile;
    if (const char* error = replaceText(name, t.text)) return error;
    if (const char* error = replaceText(file, *p.fileName)) return error;
    (head ? p.head->referenceLine : p.screen->placementLine) = *p.line;
    if (row.code != kPlaceDefault) {
      (head ? p.head->settings.placement : p.screen->placement) = row.code;
      markGiven(p, head ? kHeadGivenPlacement : kScreenGivenPlacement);
    }
    markGiven(p, head ? kHeadGivenReference : kScreenGivenReference);
    p.step = 1;
    return nullptr;
  }
  i64 value;
  bool x = p.step == 1;
  NumberRead read = scanNumber(t.text, true, &value);
  if (read == NumberRead::kNone) return endList(p);
  const char* name = head ? (x ? "screen offsetX" : "screen offsetY") : (x ? "metaScreen offsetX" : "metaScreen offsetY");
  if (read == NumberRead::kOutOfRange) return invalidValue(t.text, name);
  if (const char* error = outOfRange(name, value, kCoordinateMin, kCoordinateMax)) return error;
  if (head) {
    (x ? p.head->settings.offsetX : p.head->settings.offsetY) = i32(value);
    markGiven(p, x ? kHeadGivenOffsetX : kHeadGivenOffsetY);
  } else {
    (x ? p.screen->offsetX : p.screen->offsetY) = i32(value);
    markGiven(p, x ? kScreenGivenOffsetX : kScreenGivenOffsetY);
  }
  if (++p.step == 3) p.state = p.home;
  return nullptr;
}

const char* stateDirection(ParseContext& p, const Token& t) {
  u32 code;
  if (!parsePlacementWord(t.text, &code)) return invalidValue(t.text, "direction");
  if (p.head) {
    p.head->settings.placement = code;
    markGiven(p, kHeadGivenPlacement);
  } else {
    p.screen->placement = code;
    markGiven(p, kScreenGivenPlacement);
  }
  return finish(p);
}

const char* deleteBlockEntry(ParseContext& p, const Token&) {
  if (p.head) {
    nameIndexRemove(gShared.heads, p.head->settings.name, p.head);
    unlinkHeadConfig(&proxyConfig.heads, p.head);
    freeHeadConfig(p.head);
  } else {
    // Later heads must not join the meta screen just deleted.
    if (gShared.lastMetaScreen && strcasecmp(gShared.lastMetaScreen, p.screen->name) == 0)
      freeIfSet(&gShared.lastMetaScreen);
    nameIndexRemove(gShared.screens, p.screen->name, p.screen);
    unlinkScreenConfig(&proxyConfig.metaScreens, p.screen);
    freeScreenConfig(p.screen);
    proxyConfig.numberOfMetaScreens--;
  }
  // Comment lines must not go to the entry just freed.
  setCommentTarget(&proxyConfig.comment, &proxyConfig.commentLength);
  p.head = nullptr;
  p.screen = nullptr;
  p.state = p.home = atStatementStart;
  return nullptr;
}

// --- metaScreen keys --------------------------------------------------------------------------

const char* stateScreenSize(ParseContext& p, const Token& t) {
  const Row& row = currentRow(p);
  i32* field = row.code == 0 ? &p.screen->width : &p.screen->height;
  markGiven(p, row.given);
  p.state = p.home;
  if (strcasecmp(t.text, "double") == 0) *field = kScreenSizeDouble;
  else if (strcasecmp(t.text, "triple") == 0) *field = kScreenSizeTriple;
  else return storeNumber(p, row, t, field);
  return nullptr;
}

const char* stateScreenMillimetres(ParseContext& p, const Token& t) {
  const Row& row = currentRow(p);
  i64 value;
  p.state = p.home;
  if (!readNumber(t.text, false, &value)) return invalidValue(t.text, row.name);
  (row.code == 0 ? p.screen->widthMM : p.screen->heightMM) = u32(value);
  p.screen->flags2 |= row.code == 0 ? kScreenGivenWidthMM : kScreenGivenHeightMM;
  return outOfRange(row.name, value, row.low, row.high);
}

const char* setScreenResize(ParseContext& p, const Token&) {
  p.screen->resize = currentRow(p).code;
  markGiven(p, kScreenGivenResize);
  return nullptr;
}

// visuals: words whose class part is a visual class; none empties the list
// and ends the statement.
const char* stateVisuals(ParseContext& p, const Token& t) {
  ScreenConfig* screen = p.screen;
  markGiven(p, kScreenGivenVisuals);
  if (isKeyword(t, "none")) {
    freeIfNotNull(screen->visuals);
    screen->visuals = nullptr;
    screen->visualCount = 0;
    return finish(p);
  }
  if (t.kind != TokenKind::Word || !isVisualSpecWord(t.text)) return endList(p);
  VisualSpec spec;
  if (const char* error = parseVisualSpec(&spec, t.text)) return error;
  VisualSpec* slot = appendArrayEntry(&screen->visuals, &screen->visualCount);
  if (!slot) return PALVON_OOM();
  *slot = spec;
  return nullptr;
}

const char* stateDefaultVisual(ParseContext& p, const Token& t) {
  markGiven(p, kScreenGivenDefaultVisual);
  p.state = p.home;
  return parseVisualSpec(&p.screen->defaultVisual, t.text);
}

// --- screen and window keys -----------------------------------------------------------------

const char* stateInitial(ParseContext& p, const Token& t) {
  const Row& row = currentRow(p);
  HeadSettings& s = p.head->settings;
  p.state = p.home;
  s.placement = kPlaceNone;
  markGiven(p, kHeadGivenPlacement);
  return storeNumber(p, row, t, row.code == 0 ? &s.logicalX : &s.logicalY);
}

const char* stateGeometry(ParseContext& p, const Token& t);

// Priorities are compared unsigned and travel as 16 bits in META: a
// negative one would win every contest.
const char* statePriority(ParseContext& p, const Token& t) {
  HeadSettings& s = p.head->settings;
  i64 value;
  if (p.step++ == 0) {
    if (!readNumber(t.text, true, &value)) return invalidValue(t.text, "screen priority");
    s.priority = i32(value);
    return outOfRange("screen priority", value, 0, kMax16);
  }
  NumberRead read = scanNumber(t.text, true, &value);
  if (read == NumberRead::kNone) return endList(p);
  if (read == NumberRead::kOutOfRange) return invalidValue(t.text, "screen defensePriority");
  s.defensePriority = i32(value);
  if (const char* error = outOfRange("screen defensePriority", value, 0, kMax16)) return error;
  return finish(p);
}

const char* stateFollowPointerMode(ParseContext& p, const Token& t) {
  u32& flags = p.head->settings.followPointerFlags;
  if (strcasecmp(t.text, "continuous") == 0) flags &= ~kFollowPointerJump;
  else if (strcasecmp(t.text, "jump") == 0) flags |= kFollowPointerJump;
  else return invalidValue(t.text, "followPointerMode");
  markGiven(p, kHeadGivenFollowPointerFlags);
  return finish(p);
}

// input: on, off, clickTransfer on|off.
const char* stateInput(ParseContext& p, const Token& t) {
  HeadSettings& s = p.head->settings;
  u32 value;
  if (p.subKey) {
    p.subKey = 0;
    if (!readOnOff(t, &value)) return invalidValue(t.text, "clickTransfer");
    s.clickTransfer = u8(value);
    markGiven(p, kHeadGivenClickTransfer);
  } else if (readOnOff(t, &value)) {
    s.input = u8(value);
    markGiven(p, kHeadGivenInput);
  } else if (isKeyword(t, "clickTransfer")) {
    p.subKey = 1;
  } else {
    return endList(p);
  }
  return nullptr;
}

// pointer: on, off, allowEnter|sync|wrapX|wrapY on|off, sampleRate n, zoom f.
const char* statePointerSubValue(ParseContext& p, const Token& t) {
  struct Sub {
    u8* field;
    u32 given;
    const char* name;
  };
  HeadSettings& s = p.head->settings;
  const Sub subs[] = {{&s.allowEnter, kHeadGivenAllowEnter, "allowEnter"},
                      {&s.pointerSync, kHeadGivenPointerSync, "pointerSync"},
                      {&s.wrapX, kHeadGivenWrapX, "wrapX"},
                      {&s.wrapY, kHeadGivenWrapY, "wrapY"}};
  u32 key = p.subKey;
  p.subKey = 0;
  if (key <= std::size(subs)) {
    u32 value;
    const Sub& sub = subs[key - 1];
    if (!readOnOff(t, &value)) return invalidValue(t.text, sub.name);
    *sub.field = u8(value);
    markGiven(p, sub.given);
  } else if (key == 5) {
    i64 value;
    if (!readNumber(t.text, false, &value)) return invalidValue(t.text, "screen pointerSampleRate");
    s.pointerSampleRate = u32(value);
    markGiven(p, kHeadGivenPointerSampleRate);
    return outOfRange("screen pointerSampleRate", value, 0, kMax16);
  } else {
    char* end = nullptr;
    double zoom = strtod(t.text, &end);
    if (end == t.text || !(zoom > 0)) return invalidValue(t.text, "pointer zoom");
    if (!(zoom <= kPointerZoomMax))
      return tmpPrintf("pointer zoom must be lower or equal than %g", kPointerZoomMax);
    s.pointerZoomX = s.pointerZoomY = zoom;
    markGiven(p, kHeadGivenPointerZoom);
  }
  return nullptr;
}

const char* statePointer(ParseContext& p, const Token& t) {
  static constexpr WordBit kSubWords[] = {
      {"allowEnter", 1}, {"sync", 2},    {"wrapX", 3},   {"wrapY", 4},     {"sampleRate", 5},
      {"zoom", 6},       {"zooming", 6}, {"scale", 6},   {"scaling", 6},
  };
  if (p.subKey) return statePointerSubValue(p, t);
  u32 value;
  if (readOnOff(t, &value)) {
    p.head->settings.pointer = u8(value);
    markGiven(p, kHeadGivenPointer);
    return nullptr;
  }
  for (const WordBit& sub : kSubWords) {
    if (isWord(t, sub.word)) {
      p.subKey = sub.bits;
      return nullptr;
    }
  }
  return endList(p);
}

const char* stateRotation(ParseContext& p, const Token& t) {
  static constexpr WordBit kRotations[] = {
      {"none", 0},         {"quarter", 90},        {"oneQuarter", 90},     {"twoQuarter", 180},
      {"twoQuarters", 180}, {"half", 180},         {"threeQuarter", 270},  {"threeQuarters", 270},
  };
  HeadSettings& s = p.head->settings;
  if (p.step++ == 1) {
    if (!isWord(t, "noPointer")) return endList(p);
    s.rotateWithoutPointer = 1;
    return finish(p);
  }
  for (const WordBit& rotation : kRotations) {
    if (!isWord(t, rotation.word)) continue;
    s.rotation = rotation.bits;
    if (rotation.bits == 0) s.rotateWithoutPointer = 0;
    markGiven(p, kHeadGivenRotation);
    return nullptr;
  }
  return invalidValue(t.text, "screen rotation");
}

const char* stateSelectionSync(ParseContext& p, const Token& t) {
  u32& tags = p.head->settings.tags;
  if (isKeyword(t, "on")) tags |= kTagSelectionSync;
  else if (isKeyword(t, "off")) tags &= ~(kTagSelectionSync | kTagRefreshSelectionSync);
  else if (isWord(t, "refresh")) tags |= kTagRefreshSelectionSync;
  else return invalidValue(t.text, "selectionSync");
  markGiven(p, kHeadGivenTags);
  return finish(p);
}

// dravant, directGL, directGLX: on, off, libraryPath|searchPath path.
const char* stateDirectGL(ParseContext& p, const Token& t) {
  HeadSettings& s = p.head->settings;
  u32 value;
  if (p.subKey) {
    p.subKey = 0;
    return replaceText(&s.glLibraryPath, t.text);
  }
  if (readOnOff(t, &value)) s.directGL = value;
  else if (isWord(t, "libraryPath") || isWord(t, "searchPath")) p.subKey = 1;
  else return endList(p);
  return nullptr;
}

// --- Tables ------------------------------------------------------------------------------------

#define CONFIG_FIELD(field) u32(offsetof(ProxyConfiguration, field))
#define HEAD_FIELD(field) u32(offsetof(HeadConfig, settings.field))

const WordBit kModifierRows[] = {{"shift", 0x1}, {"lock", 0x2},  {"control", 0x4}, {"mod1", 0x8},
                                 {"mod2", 0x10}, {"mod3", 0x20}, {"mod4", 0x40},    {"mod5", 0x80}};
const WordSet kModifierWords = {kModifierRows, std::size(kModifierRows), false};

const Row kTopRows[] = {
    {"accessControl", Form::OnOff, 4, CONFIG_FIELD(accessControl), 0, "accessControl"},
    {"authorization", Form::TextClear, 8, CONFIG_FIELD(authorization), 0, "authorization"},
    {"bell", Form::OnOff, 4, CONFIG_FIELD(bell), 0, "bell"},
    {"connection", Form::Text, 8, CONFIG_FIELD(connection), 0, "connection"},
    {"disableSlaveInput", Form::OnOff, 1, CONFIG_FIELD(disableSlaveInput), 0, "disableSlaveInput"},
    {"extensions", Form::Special, 0, 0, kGivenExtensions, "extensions", kNoLow, kNoHigh, nullptr, 0,
     stateNameFlags, 0},
    {"fontName", Form::Text, 8, CONFIG_FIELD(fontName), 0, "fontName"},
    {"fontPath", Form::Special, 0, 0, kGivenFontPath, "fontPath", kNoLow, kNoHigh, nullptr, 0,
     stateNameFlags, 1},
    {"glxVendorString", Form::Special, 0, 0, 0, "glxVendorString", kNoLow, kNoHigh, nullptr, 0,
     stateGlxVendor},
    {"logDestination", Form::Text, 8, CONFIG_FIELD(logDestination), kGivenLogDestination, "logDestination"},
    {"log", Form::Text, 8, CONFIG_FIELD(logDestination), kGivenLogDestination, "log"},
    {"logTypes", Form::Set, 4, CONFIG_FIELD(logTypes), 0, "logTypes", kNoLow, kNoHigh, &kLogTypeWords},
    {"maximumBigRequestSize", Form::Unsigned, 4, CONFIG_FIELD(maximumBigRequestSize),
     kGivenMaximumBigRequestSize, "maximumBigRequestSize", 1000},
    {"maximumNumberOfScreens", Form::Signed, 4, CONFIG_FIELD(maximumNumberOfScreens),
     kGivenMaximumNumberOfScreens, "maximumNumberOfScreens", 1, 128},
    {"maximumRequestSize", Form::Unsigned, 4, CONFIG_FIELD(maximumRequestSize),
     kGivenMaximumRequestSize, "maximumRequestSize", 1000, 262140},
    {"metaScreen", Form::Special, 0, 0, 0, "metaScreen", kNoLow, kNoHigh, nullptr, 0,
     stateMetaScreenName},
    {"nice", Form::Signed, 4, CONFIG_FIELD(nice), 0, "nice", kNiceMin, kNiceMax},
    {"noReset", Form::OnOff, 1, CONFIG_FIELD(noReset), 0, "noReset"},
    {"numberOfButtons", Form::Signed, 4, CONFIG_FIELD(numberOfButtons), kGivenNumberOfButtons,
     "numberOfButtons", 1, 8},
    {"numberOfKeyCodes", Form::Signed, 4, CONFIG_FIELD(numberOfKeyCodes), kGivenNumberOfKeyCodes,
     "numberOfKeyCodes", 1, 255},
    {"numberOfResourceIdBits", Form::Signed, 4, CONFIG_FIELD(numberOfResourceIdBits),
     kGivenNumberOfResourceIdBits, "numberOfResourceIdBits", 10, 31},
    {"numberOfThreads", Form::Unsigned, 4, CONFIG_FIELD(numberOfThreads), 0, "numberOfThreads", kNoLow,
     kMaxThreads},
    {"option", Form::Set, 4, CONFIG_FIELD(options), 0, "option", kNoLow, kNoHigh, &kOptionWords},
    {"options", Form::Set, 4, CONFIG_FIELD(options), 0, "options", kNoLow, kNoHigh, &kOptionWords},
    {"pixmapFormats", Form::Special, 0, 0, 0, "pixmapFormats", kNoLow, kNoHigh, nullptr, 0,
     statePixmapFormats},
    {"screen", Form::Special, 0, 0, 0, "screen", kNoLow, kNoHigh, nullptr, 0, stateHeadName, 0},
    {"window", Form::Special, 0, 0, 0, "window", kNoLow, kNoHigh, nullptr, 0, stateHeadName, 1},
    {"serverAuthorization", Form::TextClear, 8, CONFIG_FIELD(serverAuthorization), kGivenServerAuthorization,
     "serverAuthorization"},
    {"serverCommand", Form::Immediate, 0, 0, 0, "serverCommand", kNoLow, kNoHigh, nullptr, 0,
     beginServerCommand},
    {"serverNice", Form::Signed, 4, CONFIG_FIELD(serverNice), 0, "serverNice", kNiceMin, kNiceMax},
    {"set", Form::Special, 0, 0, 0, "set", kNoLow, kNoHigh, nullptr, 0, stateSet},
    {"source", Form::Special, 0, 0, 0, "source", kNoLow, kNoHigh, nullptr, 0, stateSource},
    {"syncScreenSavers", Form::OnOff, 1, CONFIG_FIELD(syncScreenSavers), 0, "syncScreenSavers"},
    {"vendorReleaseNumber", Form::Special, 0, 0, 0, "vendorReleaseNumber", kNoLow, kNoHigh, nullptr,
     0, stateVendorRelease},
    {"vendorString", Form::Special, 0, 0, 0, "vendorString", kNoLow, kNoHigh, nullptr, 0,
     stateVendorString},
    {"workaround", Form::Set, 4, CONFIG_FIELD(workarounds), 0, "workaround", kNoLow, kNoHigh,
     &kWorkaroundWords},
    {"workarounds", Form::Set, 4, CONFIG_FIELD(workarounds), 0, "workarounds", kNoLow, kNoHigh,
     &kWorkaroundWords},
    {"xdmcpAuthorizationCookie", Form::Text, 8, CONFIG_FIELD(xdmcpAuthorizationCookie), 0,
     "xdmcpAuthorizationCookie"},
    {"xdmcpDisplayClass", Form::Text, 8, CONFIG_FIELD(xdmcpDisplayClass), 0, "xdmcpDisplayClass"},
    {"xdmcpDisplayID", Form::Text, 8, CONFIG_FIELD(xdmcpDisplayID), 0, "xdmcpDisplayID"},
    {"xdmcpHost", Form::Text, 8, CONFIG_FIELD(xdmcpHost), 0, "xdmcpHost"},
    {"xdmcpMode", Form::Special, 0, 0, 0, "xdmcpMode", kNoLow, kNoHigh, nullptr, 0, stateXdmcpMode},
    {"xdmcpPort", Form::Signed, 4, CONFIG_FIELD(xdmcpPort), 0, "xdmcpPort", 1, kMax16},
};

#define PLACEMENT_ROW(word, code) \
  {word, Form::Special, 0, 0, 0, word, kNoLow, kNoHigh, nullptr, 0, statePlacement, code}

const Row kMetaRows[] = {
    PLACEMENT_ROW("sameAs", kPlaceSame),
    PLACEMENT_ROW("cloneOf", kPlaceSame),
    PLACEMENT_ROW("westOf", kPlaceWest),
    PLACEMENT_ROW("leftOf", kPlaceWest),
    PLACEMENT_ROW("eastOf", kPlaceEast),
    PLACEMENT_ROW("rightOf", kPlaceEast),
    PLACEMENT_ROW("northOf", kPlaceNorth),
    PLACEMENT_ROW("aboveOf", kPlaceNorth),
    PLACEMENT_ROW("southOf", kPlaceSouth),
    PLACEMENT_ROW("belowOf", kPlaceSouth),
    PLACEMENT_ROW("northWestOf", kPlaceNorthWest),
    PLACEMENT_ROW("northEastOf", kPlaceNorthEast),
    PLACEMENT_ROW("southWestOf", kPlaceSouthWest),
    PLACEMENT_ROW("southEastOf", kPlaceSouthEast),
    PLACEMENT_ROW("relativeTo", kPlaceDefault),
    {"direction", Form::Special, 0, 0, 0, "direction", kNoLow, kNoHigh, nullptr, 0, stateDirection},
    {"offsetX", Form::Signed, 4, u32(offsetof(ScreenConfig, offsetX)), kScreenGivenOffsetX,
     "metaScreen offsetX", kCoordinateMin, kCoordinateMax},
    {"offsetY", Form::Signed, 4, u32(offsetof(ScreenConfig, offsetY)), kScreenGivenOffsetY,
     "metaScreen offsetY", kCoordinateMin, kCoordinateMax},
    {"width", Form::Signed, 4, 0, kScreenGivenWidth, "metaScreen width", 1, kCoordinateMax, nullptr, 0,
     stateScreenSize, 0},
    {"height", Form::Signed, 4, 0, kScreenGivenHeight, "metaScreen height", 1, kCoordinateMax, nullptr,
     0, stateScreenSize, 1},
    // Clients divide by the millimetres for the resolution.
    {"widthMM", Form::Special, 0, 0, 0, "metaScreen widthMM", 1, kMax16, nullptr, 0, stateScreenMillimetres, 0},
    {"heightMM", Form::Special, 0, 0, 0, "metaScreen heightMM", 1, kMax16, nullptr, 0, stateScreenMillimetres,
     1},
    {"noResize", Form::Immediate, 0, 0, 0, "noResize", kNoLow, kNoHigh, nullptr, 0, setScreenResize, 0},
    {"autoResize", Form::Immediate, 0, 0, 0, "autoResize", kNoLow, kNoHigh, nullptr, 0,
     setScreenResize, 1},
    // As far as META may set it; a negative margin lets windows stand outside.
    {"keepWindowsVisible", Form::Signed, 4, u32(offsetof(ScreenConfig, keepWindowsVisible)),
     kScreenGivenKeepWindowsVisible, "keepWindowsVisible", -kMax16, kMax16},
    {"visual", Form::Special, 0, 0, 0, "visual", kNoLow, kNoHigh, nullptr, 0, stateVisuals},
    {"visuals", Form::Special, 0, 0, 0, "visuals", kNoLow, kNoHigh, nullptr, 0, stateVisuals},
    {"defaultVisual", Form::Special, 0, 0, 0, "defaultVisual", kNoLow, kNoHigh, nullptr, 0,
     stateDefaultVisual},
    {"delete", Form::Immediate, 0, 0, 0, "delete", kNoLow, kNoHigh, nullptr, 0, deleteBlockEntry},
};

const Row kHeadRows[] = {
    {"display", Form::Text, 8, u32(offsetof(HeadConfig, display)), 0, "display"},
    {"ofMetaScreen", Form::Text, 8, u32(offsetof(HeadConfig, metaScreenName)), 0, "ofMetaScreen"},
    PLACEMENT_ROW("sameAs", kPlaceSame),
    PLACEMENT_ROW("northOf", kPlaceNorth),
    PLACEMENT_ROW("southOf", kPlaceSouth),
    PLACEMENT_ROW("westOf", kPlaceWest),
    PLACEMENT_ROW("eastOf", kPlaceEast),
    PLACEMENT_ROW("northWestOf", kPlaceNorthWest),
    PLACEMENT_ROW("northEastOf", kPlaceNorthEast),
    PLACEMENT_ROW("southWestOf", kPlaceSouthWest),
    PLACEMENT_ROW("southEastOf", kPlaceSouthEast),
    PLACEMENT_ROW("relativeTo", kPlaceDefault),
    {"direction", Form::Special, 0, 0, 0, "direction", kNoLow, kNoHigh, nullptr, 0, stateDirection},
    // Positions in the meta screen may be negative: the screen starts at the
    // leftmost and topmost head. Its size is at least a pixel.
    {"offsetX", Form::Signed, 4, HEAD_FIELD(offsetX), kHeadGivenOffsetX, "screen offsetX", kCoordinateMin,
     kCoordinateMax},
    {"offsetY", Form::Signed, 4, HEAD_FIELD(offsetY), kHeadGivenOffsetY, "screen offsetY", kCoordinateMin,
     kCoordinateMax},
    {"initialX", Form::Signed, 4, 0, kHeadGivenLogicalX, "screen initialX", kCoordinateMin, kCoordinateMax,
     nullptr, 0, stateInitial, 0},
    {"initialY", Form::Signed, 4, 0, kHeadGivenLogicalY, "screen initialY", kCoordinateMin, kCoordinateMax,
     nullptr, 0, stateInitial, 1},
    {"clipX", Form::Signed, 4, HEAD_FIELD(logicalX), kHeadGivenLogicalX, "convert logicalX", kCoordinateMin,
     kCoordinateMax},
    {"clipY", Form::Signed, 4, HEAD_FIELD(logicalY), kHeadGivenLogicalY, "convert logicalY", kCoordinateMin,
     kCoordinateMax},
    {"clipWidth", Form::Signed, 4, HEAD_FIELD(logicalWidth), kHeadGivenLogicalWidth, "convert logicalWidth", 1,
     kCoordinateMax},
    {"clipHeight", Form::Signed, 4, HEAD_FIELD(logicalHeight), kHeadGivenLogicalHeight,
     "convert logicalHeight", 1, kCoordinateMax},
    {"clipGeometry", Form::Special, 0, 0, 0, "logical geometry", kNoLow, kNoHigh, nullptr, 0,
     stateGeometry, 0},
    // On the real screen: a position from its origin; a size of 0 is the
    // whole screen, a negative one counts back from its far edge.
    {"displayX", Form::Signed, 4, HEAD_FIELD(physicalX), kHeadGivenPhysicalX, "convert physicalX", 0,
     kCoordinateMax},
    {"displayY", Form::Signed, 4, HEAD_FIELD(physicalY), kHeadGivenPhysicalY, "convert physicalY", 0,
     kCoordinateMax},
    {"displayWidth", Form::Signed, 4, HEAD_FIELD(physicalWidth), kHeadGivenPhysicalWidth,
     "convert physicalWidth", kCoordinateMin, kCoordinateMax},
    {"displayHeight", Form::Signed, 4, HEAD_FIELD(physicalHeight), kHeadGivenPhysicalHeight,
     "convert physicalHeight", kCoordinateMin, kCoordinateMax},
    {"displayGeometry", Form::Special, 0, 0, 0, "physical geometry", kNoLow, kNoHigh, nullptr, 0,
     stateGeometry, 1},
    // -1 is the automatic border; a head keeps at most 32767 pixels of one.
    {"borderWidth", Form::Signed, 4, HEAD_FIELD(borderWidth), kHeadGivenBorderWidth,
     "screen borderWidth", -1, 32767},
    {"minimumTextSize", Form::Signed, 4, HEAD_FIELD(minimumTextSize), kHeadGivenMinimumTextSize,
     "screen minimumTextSize", 0, kMax16},
    {"priority", Form::Special, 0, 0, 0, "screen priority", kNoLow, kNoHigh, nullptr, 0, statePriority},
    {"connectTimeout", Form::Duration, 4, HEAD_FIELD(connectTimeoutMs), 0, "screen connectTimeout"},
    // 0 is refused with the rest (kMinFailsafeTimeoutMs): it would only
    // stand for the default.
    {"failsafeTimeout", Form::Duration, 4, HEAD_FIELD(failsafeTimeoutMs), 0, "screen failsafeTimeout",
     kMinFailsafeTimeoutMs},
    {"followPointerMode", Form::Special, 0, 0, 0, "followPointerMode", kNoLow, kNoHigh, nullptr, 0,
     stateFollowPointerMode},
    {"followPointerRestrict", Form::Set, 4, HEAD_FIELD(followPointerFlags),
     kHeadGivenFollowPointerFlags, "followPointerRestrict", kNoLow, kNoHigh, &kModifierWords, 0xff},
    // Pan steps in pixels; 0 pans not at all.
    {"followPointerX", Form::Signed, 4, HEAD_FIELD(followPointerX), kHeadGivenFollowPointerX,
     "screen followPointerX", 0, kCoordinateMax},
    {"followPointerY", Form::Signed, 4, HEAD_FIELD(followPointerY), kHeadGivenFollowPointerY,
     "screen followPointerY", 0, kCoordinateMax},
    {"input", Form::Special, 0, 0, 0, "input", kNoLow, kNoHigh, nullptr, 0, stateInput},
    {"pointer", Form::Special, 0, 0, 0, "pointer", kNoLow, kNoHigh, nullptr, 0, statePointer},
    {"rotate", Form::Special, 0, 0, 0, "screen rotation", kNoLow, kNoHigh, nullptr, 0, stateRotation},
    {"rotation", Form::Special, 0, 0, 0, "screen rotation", kNoLow, kNoHigh, nullptr, 0, stateRotation},
    {"selectionSync", Form::Special, 0, 0, 0, "selectionSync", kNoLow, kNoHigh, nullptr, 0,
     stateSelectionSync},
    {"tags", Form::Set, 4, HEAD_FIELD(tags), kHeadGivenTags, "tags", kNoLow, kNoHigh, &kTagWords},
    {"emulateDoubleBuffer", Form::OnOff, 1, HEAD_FIELD(emulateDoubleBuffer), 0, "emulateDoubleBuffer"},
    {"emulateVisual", Form::Set, 2, HEAD_FIELD(emulatedVisuals), 0, "emulateVisual", kNoLow, kNoHigh,
     &kEmulatedVisualWords},
    {"emulateVisuals", Form::Set, 2, HEAD_FIELD(emulatedVisuals), 0, "emulateVisuals", kNoLow,
     kNoHigh, &kEmulatedVisualWords},
    {"dravant", Form::Special, 0, 0, 0, "dravant", kNoLow, kNoHigh, nullptr, 0, stateDirectGL},
    {"directGL", Form::Special, 0, 0, 0, "directGL", kNoLow, kNoHigh, nullptr, 0, stateDirectGL},
    {"directGLX", Form::Special, 0, 0, 0, "directGLX", kNoLow, kNoHigh, nullptr, 0, stateDirectGL},
    {"keyboardMapping", Form::Text, 8, HEAD_FIELD(keyboardMapping), kHeadGivenKeyboardMapping,
     "keyboardMapping"},
    {"delete", Form::Immediate, 0, 0, 0, "delete", kNoLow, kNoHigh, nullptr, 0, deleteBlockEntry},
};

template <size_t N>
const Row* findRow(const Row (&rows)[N], const char* word) {
  for (const Row& row : rows)
    if (strcasecmp(row.keyword, word) == 0) return &row;
  return nullptr;
}

// A geometry's parts are the four statements of its kind, with their ranges.
const char* stateGeometry(ParseContext& p, const Token& t) {
  const Row& row = currentRow(p);
  bool logical = row.code == 0;
  int x, y;
  unsigned width, height;
  p.state = p.home;
  int mask = XParseGeometry(t.text, &x, &y, &width, &height);
  if (mask == 0) return invalidValue(t.text, row.name);
  static constexpr const char* kLogicalKeys[] = {"clipX", "clipY", "clipWidth", "clipHeight"};
  static constexpr const char* kPhysicalKeys[] = {"displayX", "displayY", "displayWidth", "displayHeight"};
  const int parts[] = {XValue, YValue, WidthValue, HeightValue};
  const i64 values[] = {x, y, width, height};
  for (int i = 0; i < 4; i++) {
    if (!(mask & parts[i])) continue;
    const Row& part = *findRow(kHeadRows, (logical ? kLogicalKeys : kPhysicalKeys)[i]);
    if (const char* error = outOfRange(part.name, values[i], part.low, part.high)) return error;
    storeField(rowBase(p) + part.offset, part.size, u32(values[i]));
    markGiven(p, part.given);
  }
  return nullptr;
}

const char* beginStatement(ParseContext& p, const Row* row, const Token& t) {
  p.row = row;
  p.step = 0;
  p.subKey = 0;
  if (row->form == Form::Immediate) return row->special(p, t);
  p.state = row->special ? row->special : row->form == Form::Set ? stateSetWords : stateValue;
  return nullptr;
}

// Keys of a metaScreen block are compared by text; anything else ends the
// block and is read again as a top-level statement (or a file name).
const char* atMetaBlock(ParseContext& p, const Token& t) {
  const Row* row = t.quoted ? nullptr : findRow(kMetaRows, t.text);
  if (!row) {
    p.state = atStatementStart;
    p.again = true;
    return nullptr;
  }
  return beginStatement(p, row, t);
}

// Keys of a screen or window block are keywords.
const char* atHeadBlock(ParseContext& p, const Token& t) {
  const Row* row = t.keyword ? findRow(kHeadRows, t.keyword) : nullptr;
  if (!row) {
    p.state = atStatementStart;
    p.again = true;
    return nullptr;
  }
  return beginStatement(p, row, t);
}

}  // namespace

const char* atStatementStart(ParseContext& p, const Token& t) {
  p.screen = nullptr;
  p.head = nullptr;
  p.home = atStatementStart;
  const Row* row = t.keyword ? findRow(kTopRows, t.keyword) : nullptr;
  if (!row) return sourceConfigurationFile(p, t.text);
  return beginStatement(p, row, t);
}

void resetStatementState() {
  finishStatementState();
  gShared.headCount = 0;
}

void finishStatementState() {
  freeIfSet(&gShared.lastMetaScreen);
  nameIndexFree(gShared.screens);
  nameIndexFree(gShared.heads);
}

u32 configuredHeadCount() { return gShared.headCount; }

namespace {

struct Scope {
  const Row* rows;
  u32 count;
};

Scope scopeRows(StatementScope scope) {
  switch (scope) {
    case StatementScope::kMetaScreen: return {kMetaRows, u32(std::size(kMetaRows))};
    case StatementScope::kHead: return {kHeadRows, u32(std::size(kHeadRows))};
    default: return {kTopRows, u32(std::size(kTopRows))};
  }
}

}  // namespace

u32 statementKeywordCount(StatementScope scope) { return scopeRows(scope).count; }

const char* statementKeyword(StatementScope scope, u32 index) {
  Scope rows = scopeRows(scope);
  return index < rows.count ? rows.rows[index].keyword : nullptr;
}

bool headSettingRange(u32 bit, HeadSettingRange* range) {
  for (const Row& row : kHeadRows) {
    if (row.given != bit || row.form != Form::Signed || row.special) continue;
    *range = {row.keyword, row.offset - u32(offsetof(HeadConfig, settings)), i32(row.low), i32(row.high)};
    return true;
  }
  return false;
}

// --- Linking ---------------------------------------------------------------------------------
// Every look-up below goes through the name indexes or a table by meta-screen
// number, so linking costs time in proportion to the blocks, not its square.

namespace {

// Indexes the lists as they stand; where two entries share a name the first
// is found, as a walk of the list would.
bool indexBlocks(ProxyConfiguration* config) {
  nameIndexFree(gShared.screens);
  nameIndexFree(gShared.heads);
  for (ScreenConfig* screen = config->metaScreens; screen; screen = screen->next)
    if (!nameIndexFind(gShared.screens, screen->name) && !nameIndexAdd(gShared.screens, screen->name, screen))
      return false;
  for (HeadConfig* head = config->heads; head; head = head->next)
    if (!nameIndexFind(gShared.heads, head->settings.name) &&
        !nameIndexAdd(gShared.heads, head->settings.name, head))
      return false;
  return true;
}

ScreenConfig* findScreen(const char* name) {
  return static_cast<ScreenConfig*>(nameIndexFind(gShared.screens, name));
}

// A meta screen that the heads name but no block declared.
ScreenConfig* appendLinkedScreen(ProxyConfiguration* config, const char* name) {
  ScreenConfig* screen = addScreenConfig(&config->metaScreens);
  if (!screen) return nullptr;
  screen->number = config->metaScreens == screen ? 0 : screen->previous->number + 1;
  screen->given |= kScreenGivenWidth;
  screen->name = memStrdup(name);
  config->numberOfMetaScreens++;
  if (!screen->name || !nameIndexAdd(gShared.screens, screen->name, screen)) return nullptr;
  return screen;
}

const char* linkScreens(ProxyConfiguration* config, char** errorFile, u32* errorLine) {
  for (ScreenConfig* screen = config->metaScreens; screen; screen = screen->next) {
    if (screen->placement == kPlaceNone) continue;
    ScreenConfig* reference = nullptr;
    if (screen->referenceName) {
      reference = findScreen(screen->referenceName);
      if (!reference) {
        *errorFile = screen->placementFile;
        *errorLine = screen->placementLine;
        return tmpPrintf("Unknown meta screen '%s'", screen->referenceName);
      }
    } else {
      reference = screen->previous;
    }
    if (reference == screen) reference = nullptr;
    if (!reference) {
      screen->placement = kPlaceNone;
      screen->offsetX = screen->offsetY = 0;
      screen->given |= kScreenGivenPlacement | kScreenGivenOffsetX | kScreenGivenOffsetY;
      continue;
    }
    screen->reference = reference;
    screen->referenceNumber = i32(reference->number);
  }
  return nullptr;
}

// previous: the head before this one in the list that shares its meta screen.
const char* linkHeadPlacement(HeadConfig* head, HeadConfig* previous, char** errorFile, u32* errorLine) {
  HeadSettings& s = head->settings;
  if (s.placement == kPlaceDefault) s.placement = previous ? kPlaceEast : kPlaceNone;
  if (s.placement == kPlaceNone) return nullptr;
  HeadConfig* reference = previous;
  if (head->referenceName) {
    reference = static_cast<HeadConfig*>(nameIndexFind(gShared.heads, head->referenceName));
    if (!reference || reference == head || reference->metaScreen != head->metaScreen) {
      *errorFile = head->referenceFile;
      *errorLine = head->referenceLine;
      return tmpPrintf("No screen '%s' in meta screen '%s'", head->referenceName,
                       head->metaScreen->name);
    }
  }
  if (!reference) {
    s.placement = kPlaceNone;
    s.offsetX = s.offsetY = 0;
    head->given |= kHeadGivenPlacement | kHeadGivenOffsetX | kHeadGivenOffsetY;
    return nullptr;
  }
  head->reference = reference;
  head->referenceNumber = i32(reference->number);
  return nullptr;
}

// The display without its screen suffix: only a ".n" after the last ':' is
// cut, so dotted host names and addresses stay whole.
char* serverDisplayNameOf(const char* display) {
  char* name = memStrdup(display);
  if (!name) return nullptr;
  char* colon = strrchr(name, ':');
  if (colon) {
    char* dot = strrchr(colon, '.');
    if (dot) *dot = 0;
  }
  return name;
}

// Gives every head its number and its meta screen, appending meta screens
// that only heads name.
const char* assignHeadScreens(ProxyConfiguration* config) {
  u32 number = 0;
  for (HeadConfig* head = config->heads; head; head = head->next) {
    head->number = number++;
    if (!head->metaScreenName) {
      const char* name = config->metaScreens ? config->metaScreens->name : ".0";
      if (!(head->metaScreenName = memStrdup(name))) return PALVON_OOM();
    }
    ScreenConfig* screen = findScreen(head->metaScreenName);
    if (!screen && !(screen = appendLinkedScreen(config, head->metaScreenName))) return PALVON_OOM();
    head->metaScreen = screen;
    head->settings.metaScreenNumber = i32(screen->number);
    head->given |= kHeadGivenMetaScreen;
  }
  return nullptr;
}

const char* linkHeads(ProxyConfiguration* config, char** errorFile, u32* errorLine) {
  // Meta screens are numbered 0 to n-1 in list order by now; lastHead holds
  // the latest head of each, the previous one of the next head to come.
  u32 screens = config->metaScreens ? config->metaScreens->previous->number + 1 : 1;
  auto** lastHead = static_cast<HeadConfig**>(memCalloc(screens, sizeof(HeadConfig*)));
  if (!lastHead) return PALVON_OOM();
  const char* error = nullptr;
  for (HeadConfig* head = config->heads; head && !error; head = head->next) {
    HeadConfig** previous = &lastHead[head->metaScreen->number];
    error = linkHeadPlacement(head, *previous, errorFile, errorLine);
    *previous = head;
    if (!error && !head->display && !(head->display = memStrdup(head->settings.name))) error = PALVON_OOM();
    if (error) break;
    freeIfSet(&head->serverDisplayName);
    if (!(head->serverDisplayName = serverDisplayNameOf(head->display))) error = PALVON_OOM();
  }
  free(lastHead);
  return error;
}

}  // namespace

const char* linkConfiguration(ProxyConfiguration* config, bool addDefaults, char** errorFile,
                              u32* errorLine) {
  if (addDefaults && gShared.headCount == 0) {
    HeadConfig* head = addHeadConfig(&config->heads);
    if (!head || !(head->settings.name = memStrdup(":1.0"))) return PALVON_OOM();
  }
  if (!indexBlocks(config)) return PALVON_OOM();
  u32 number = 0;
  for (ScreenConfig* screen = config->metaScreens; screen; screen = screen->next)
    screen->number = number++;
  if (const char* error = assignHeadScreens(config)) return error;
  if (addDefaults && !config->metaScreens && !appendLinkedScreen(config, ".0")) return PALVON_OOM();
  if (const char* error = linkScreens(config, errorFile, errorLine)) return error;
  return linkHeads(config, errorFile, errorLine);
}

}  // namespace palvon
