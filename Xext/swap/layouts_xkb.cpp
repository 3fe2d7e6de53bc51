// Special layouts of the XKEYBOARD extension: its events and the requests
// and replies whose bodies are counted lists of lists.

#include "Xext/swap/layouts.h"
#include "base/logging.h"

namespace palvon::swapping {

void swapXkbEvent(Span m) {
  static const LayoutString kEvents[] = {
      "bbsibbbbbbbbs",             // NewKeyboardNotify
      "bbsibbsbbbbbbbbbbbbbbbbs",  // MapNotify
      "bbsibbbbbbssbbbbbbss",      // StateNotify
      "bbsibbsiii",                // ControlsNotify
      "bbsibbsii",                 // IndicatorStateNotify
      "bbsibbsii",                 // IndicatorMapNotify
      "bbsibbsbbbbbbbbsbbi",       // NamesNotify
      "bbsibbsss",                 // CompatMapNotify
      "bbsibbbbssii",              // BellNotify
      "bbsi",                      // ActionMessage
      "bbsibbsss",                 // AccessXNotify
      "bbsibbsssiibbss",           // ExtensionDeviceNotify
  };
  signed char kind = static_cast<signed char>(rd8(m, 1));
  if (kind >= 0 && kind < 12) {
    apply(m, 0, kEvents[kind]);
  } else {
    SWAP_UNE();
    apply(m, 0, "bbs");
  }
}

// ---- Keyboard map (GetMap reply, SetMap request) ---------------------------------

namespace {

struct MapCounts {
  u32 present;
  u32 types;
  u32 keySyms;
  u32 actionCounts;
  u32 actions;
  u32 behaviors;
  u32 virtualMods;
  u32 explicits;
  u32 modMapKeys;
  u32 vmodMapKeys;
};

// The map body after the header. The request form of a key type carries
// 4-byte entries, the reply form 8-byte ones.
void swapMapBody(Span m, u64 off, const MapCounts& c, bool positive, bool requestForm) {
  if (c.present & 0x01) {
    for (u32 t = 0; t < c.types && off < m.size; t++) {
      u32 entries = rd8(m, off + 5);
      bool preserve = rd8(m, off + 6) != 0;
      apply(m, off, "bbs", 8);
      off += 8;
      u32 entrySize = requestForm ? 4 : 8;
      for (u32 e = 0; e < entries; e++, off += entrySize) apply(m, off, requestForm ? "bbs" : "bbbbss", entrySize);
      for (u32 e = 0; preserve && e < entries; e++, off += 4) apply(m, off, "bbs", 4);
    }
  }
  if (c.present & 0x02) {
    for (u32 k = 0; k < c.keySyms && off < m.size; k++) {
      u32 syms = take16(m, off + 6, positive);
      off = addSat(off + 8, arr32(m, off + 8, syms));
    }
  }
  if (c.present & 0x10) off = addSat(off + pad4(c.actionCounts), mulSat(c.actions, 8));
  if (c.present & 0x20) off = addSat(off, mulSat(c.behaviors, 4));
  if (c.present & 0x40) off = addSat(off, pad4(__builtin_popcount(c.virtualMods)));
  if (c.present & 0x08) off = addSat(off, pad4(mulSat(c.explicits, 2)));
  if (c.present & 0x04) off = addSat(off, pad4(mulSat(c.modMapKeys, 2)));
  if (c.present & 0x80) {
    for (u32 k = 0; k < c.vmodMapKeys && off < m.size; k++, off += 4) apply(m, off, "bbs", 4);
  }
}

}  // namespace

void swapXkbGetMapReply(Span m, bool positive) {
  MapCounts c{};
  withHeader(m, 40, "bbsisbbsbbbbsbbs" "bbbbbbbbbbbbbb" "s", positive, [&] {
    c = MapCounts{rd16(m, 12), rd8(m, 15), rd8(m, 20), rd8(m, 24), rd16(m, 22),
                  rd8(m, 27),  rd16(m, 38), rd8(m, 30), rd8(m, 33), rd8(m, 36)};
  });
  swapMapBody(m, 40, c, positive, false);
}

void swapXkbSetMap(Span m, bool positive) {
  MapCounts c{};
  withHeader(m, 36, "bbssssbbbbbbsbbs" "bbbbbbbbbbbb" "s", positive, [&] {
    c = MapCounts{rd16(m, 6), rd8(m, 13), rd8(m, 15), rd8(m, 19), rd16(m, 20),
                  rd8(m, 24), rd16(m, 34), rd8(m, 27), rd8(m, 30), rd8(m, 33)};
  });
  swapMapBody(m, 36, c, positive, true);
}

// ---- SelectEvents ------------------------------------------------------------------

void swapXkbSelectEvents(Span m, bool positive) {
  u32 affect = 0;
  withHeader(m, 16, "bbsssssss", positive, [&] { affect = rd16(m, 6) & ~rd16(m, 8) & ~rd16(m, 10); });
  // Width of the detail of each event kind (affect and value); 0: none.
  // The byte pairs of CompatMapNotify, BellNotify and ActionMessage take 4
  // bytes on the wire, as clients send them and servers read them.
  static const u8 kDetail[12] = {2, 0, 2, 4, 4, 4, 2, 1, 1, 1, 2, 2};
  u64 off = 16;
  for (u32 bit = 0; bit < 12; bit++) {
    if (!(affect & (1u << bit)) || kDetail[bit] == 0) continue;
    if (kDetail[bit] == 2) apply(m, off, "ss", 4);
    if (kDetail[bit] == 4) apply(m, off, "ii", 8);
    off += kDetail[bit] == 4 ? 8 : 4;
  }
}

// ---- Names (GetNames reply, SetNames request) -----------------------------------

namespace {

struct NamesCounts {
  u32 which;
  u32 types;
  u32 levelCountBytes;  // number of per-type level counts
  u32 levelNames;       // atoms after them; ~0 = the sum of the counts
  u32 indicators;
  u32 virtualMods;
  u32 groups;
  u32 keys;
  u32 keyAliases;
  u32 radioGroups;
};

void swapNamesBody(Span m, u64 off, const NamesCounts& c) {
  for (u32 bit = 0; bit < 6; bit++) {
    if (c.which & (1u << bit)) off = addSat(off, arr32(m, off, 1));
  }
  if (c.which & 0x40) off = addSat(off, arr32(m, off, c.types));
  if (c.which & 0x80) {
    u64 names = c.levelNames;
    if (names == ~u32{0}) {
      names = 0;
      for (u32 t = 0; t < c.levelCountBytes; t++) names += rd8(m, off + t);
    }
    off = addSat(off, pad4(c.levelCountBytes));
    off = addSat(off, arr32(m, off, names));
  }
  if (c.which & 0x100) off = addSat(off, arr32(m, off, __builtin_popcount(c.indicators)));
  if (c.which & 0x800) off = addSat(off, arr32(m, off, __builtin_popcount(c.virtualMods)));
  if (c.which & 0x1000) off = addSat(off, arr32(m, off, __builtin_popcount(c.groups)));
  if (c.which & 0x200) off = addSat(off, mulSat(c.keys, 4));
  if (c.which & 0x400) off = addSat(off, mulSat(c.keyAliases, 8));
  if (c.which & 0x2000) arr32(m, off, c.radioGroups);
}

}  // namespace

void swapXkbGetNames(Span m, bool positive) {
  NamesCounts c{};
  withHeader(m, 32, "bbsiibbbbsbbibbsi", positive, [&] {
    u32 types = rd8(m, 14);
    c = NamesCounts{rd32(m, 8), types, types, ~u32{0}, rd32(m, 20),
                    rd16(m, 16), rd8(m, 15), rd8(m, 19), rd8(m, 25), rd8(m, 24)};
  });
  swapNamesBody(m, 32, c);
}

void swapXkbSetNames(Span m, bool positive) {
  NamesCounts c{};
  withHeader(m, 28, "bbsssibbbbibbbbbbs", positive, [&] {
    c = NamesCounts{rd32(m, 8), rd8(m, 13), rd8(m, 15), rd16(m, 26), rd32(m, 16),
                    rd16(m, 6), rd8(m, 20), rd8(m, 23), rd8(m, 24), rd8(m, 21)};
  });
  swapNamesBody(m, 28, c);
}

// ---- ListComponents ------------------------------------------------------------------

void swapXkbListComponents(Span m, bool positive) {
  u32 total = 0;
  withHeader(m, 32, "bbsissssssssii", positive, [&] {
    for (u64 at = 8; at < 20; at += 2) total += rd16(m, at);
  });
  u64 off = 32;
  for (u32 k = 0; k < total && off < m.size; k++) {
    sw16(m, off);
    u32 length = take16(m, off + 2, positive);
    off += 4 + length + (length & 1);
  }
}

// ---- Device info (GetDeviceInfo reply, SetDeviceInfo request) ----------------------

static u64 swapLedFeedbacks(Span m, u64 off, u32 count, bool positive) {
  for (u32 k = 0; k < count && off < m.size; k++) {
    u32 names = 0;
    u32 maps = 0;
    withHeader(m.sub(off, 20), 20, "ssiiii", positive, [&] {
      names = rd32(m, off + 4);
      maps = rd32(m, off + 8);
    });
    off = addSat(off + 20, arr32(m, off + 20, __builtin_popcount(names)));
    for (int b = __builtin_popcount(maps); b > 0 && off < m.size; b--, off += 12) apply(m, off, "bbbbbbsi", 12);
  }
  return off;
}

void swapXkbGetDeviceInfo(Span m, bool positive) {
  u32 leds = 0;
  u32 buttons = 0;
  withHeader(m, 32, "bbsissssbbbbbbsssi", positive, [&] {
    leds = rd16(m, 14);
    buttons = rd8(m, 19);
  });
  u64 off = addSat(32, countedString(m, 32, positive));
  swapLedFeedbacks(m, addSat(off, mulSat(buttons, 8)), leds, positive);
}

void swapXkbSetDeviceInfo(Span m, bool positive) {
  u32 leds = 0;
  u32 buttons = 0;
  withHeader(m, 12, "bbssbbss", positive, [&] {
    buttons = rd8(m, 7);
    leds = rd16(m, 10);
  });
  swapLedFeedbacks(m, addSat(12, mulSat(buttons, 8)), leds, positive);
}

// ---- Geometry (GetGeometry reply, SetGeometry request) -----------------------------

namespace {

struct GeometryCounts {
  u32 properties, colors, shapes, sections, doodads;
};

u64 swapDoodads(Span m, u64 off, u32 count, bool positive) {
  for (u32 k = 0; k < count && off < m.size; k++) off = kindRecord(m, off, positive);
  return off;
}

u64 swapShape(Span m, u64 off, bool positive) {
  u32 outlines = rd8(m, off + 4);
  sw32(m, off);
  off += 8;
  for (u32 o = 0; o < outlines && off < m.size; o++) {
    u32 points = rd8(m, off);
    off = addSat(off + 4, arr16(m, off + 4, 2 * points));
  }
  (void)positive;
  return off;
}

u64 swapSection(Span m, u64 off, bool positive) {
  u32 rows = rd8(m, off + 15);
  u32 doodads = rd8(m, off + 16);
  u32 overlays = rd8(m, off + 17);
  apply(m, off, "isssss", 20);
  off += 20;
  for (u32 r = 0; r < rows && off < m.size; r++) {
    u32 keys = rd8(m, off + 4);
    apply(m, off, "ss", 8);
    off += 8;
    for (u32 k = 0; k < keys && off < m.size; k++, off += 8) apply(m, off, "bbbbs", 8);
  }
  off = swapDoodads(m, off, doodads, positive);
  for (u32 o = 0; o < overlays && off < m.size; o++) {
    u32 overlayRows = rd8(m, off + 4);
    sw32(m, off);
    off += 8;
    // Overlay rows hold only bytes and key names.
    for (u32 r = 0; r < overlayRows && off < m.size; r++) off += 4 + 8u * rd8(m, off + 1);
  }
  return off;
}

void swapGeometryBody(Span m, u64 off, const GeometryCounts& c, bool positive) {
  off = addSat(off, countedString(m, off, positive));  // label font
  for (u32 k = 0; k < c.properties && off < m.size; k++) {
    off = addSat(off, countedString(m, off, positive));
    off = addSat(off, countedString(m, off, positive));
  }
  for (u32 k = 0; k < c.colors && off < m.size; k++) off = addSat(off, countedString(m, off, positive));
  for (u32 k = 0; k < c.shapes && off < m.size; k++) off = swapShape(m, off, positive);
  for (u32 k = 0; k < c.sections && off < m.size; k++) off = swapSection(m, off, positive);
  swapDoodads(m, off, c.doodads, positive);
  // Key aliases (two 4-character names each) stay as they are.
}

}  // namespace

u64 kindRecord(Span m, u64 off, bool positive) {
  switch (rd8(m, off + 4)) {
    case 1:
    case 2:
    case 4: apply(m, off, "ibbsss", 20); return off + 20;
    case 3: {
      apply(m, off, "ibbsssss", 20);
      u64 at = addSat(off + 20, countedString(m, off + 20, positive));
      return addSat(at, countedString(m, at, positive));
    }
    case 5: apply(m, off, "ibbsss", 20); return addSat(off + 20, countedString(m, off + 20, positive));
    default: SWAP_UNE(); return off + 20;
  }
}

void swapXkbGetGeometry(Span m, bool positive) {
  GeometryCounts c{};
  withHeader(m, 32, "bbsiibbssssssssbb", positive, [&] {
    c = GeometryCounts{rd16(m, 18), rd16(m, 20), rd16(m, 22), rd16(m, 24), rd16(m, 26)};
  });
  swapGeometryBody(m, 32, c, positive);
}

void swapXkbSetGeometry(Span m, bool positive) {
  GeometryCounts c{};
  withHeader(m, 28, "bbssbbissssss", positive, [&] {
    c = GeometryCounts{rd16(m, 16), rd16(m, 18), rd8(m, 6), rd8(m, 7), rd16(m, 20)};
  });
  swapGeometryBody(m, 28, c, positive);
}

// ---- GetKbdByName -----------------------------------------------------------------

// The compatibility map: symbol interpretations, then one modifier
// definition per group in the returned group mask.
static void swapCompatMap(Span m, bool positive) {
  u32 interprets = 0;
  u32 groups = 0;
  withHeader(m, 32, "bbsibbsssiiii", positive, [&] {
    groups = rd8(m, 8);
    interprets = rd16(m, 12);
  });
  u64 off = 32;
  for (u32 k = 0; k < interprets && off < m.size; k++, off += 16) apply(m, off, "ibbbbbbbbbbbb", 16);
  for (int g = __builtin_popcount(groups); g > 0 && off < m.size; g--, off += 4) apply(m, off, "bbs", 4);
}

void swapXkbGetKbdByName(Span m, bool positive) {
  u32 reported = 0;
  withHeader(m, 32, "bbsibbbbss", positive, [&] { reported = rd16(m, 14); });
  u64 off = 32;
  auto next = [&](void (*swapPart)(Span, bool)) {
    if (off >= m.size) return;
    u32 raw = rd32(m, off + 4);
    u64 length = 32 + 4 * u64{positive ? __builtin_bswap32(raw) : raw};
    swapPart(m.sub(off, length), positive);
    off = addSat(off, length);
  };
  if (reported & 0x0d) next(swapXkbGetMapReply);
  if (reported & 0x02) next(swapCompatMap);
  if (reported & 0x10) {
    next([](Span part, bool) {
      u32 maps = rd8(part, 16);
      apply(part, 0, "bbsiiibbsiii", 32);
      for (u64 at = 32; maps > 0 && at < part.size; maps--, at += 12) apply(part, at, "bbbbbbsi", 12);
    });
  }
  if (reported & 0xa0) next(swapXkbGetNames);
  if (reported & 0x40) next(swapXkbGetGeometry);
}

}  // namespace palvon::swapping
