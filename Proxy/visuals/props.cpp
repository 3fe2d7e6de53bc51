// Reading the root-window properties that describe visuals: overlay layers
// and transparency (SERVER_OVERLAY_VISUALS) and the colour characterisation
// of the Xcms linear-RGB model (XDCCC_LINEAR_RGB_MATRICES and
// XDCCC_LINEAR_RGB_CORRECTION).
//
// The data come from whatever client last wrote the property, so every read
// is bounded by the item count: a short or malformed property ends parsing
// where its data end, never later.
#include <cstdlib>
#include <cstring>

#include "Proxy/visuals/visual.h"
#include "base/logging.h"

namespace palvon {

namespace {

// Reads the items of a property one after another.
class ItemCursor {
 public:
  explicit ItemCursor(const PropertyItems& property) : property_(property) {}
  unsigned long remaining() const { return property_.items - next_; }
  // The next item; callers check remaining() first.
  u32 take() { return itemAt(next_++); }
  u32 itemAt(unsigned long i) const {
    switch (property_.format) {
      case 8:
        return static_cast<const u8*>(property_.data)[i];
      case 16:
        return static_cast<const u16*>(property_.data)[i];
      default:
        return static_cast<u32>(static_cast<const long*>(property_.data)[i]);
    }
  }

 private:
  const PropertyItems& property_;
  unsigned long next_ = 0;
};

bool usable(const PropertyItems& property) {
  return property.data && (property.format == 8 || property.format == 16 || property.format == 32);
}

// The largest item value of a format, which an intensity is a fraction of.
double intensityScale(int format) {
  return format == 8 ? 255.0 : format == 16 ? 65535.0 : 4294967295.0;
}

u16 scaledValue(int format, u32 item) {
  // 8-bit values spread over 16 bits; wider items keep their low 16 bits.
  return format == 8 ? static_cast<u16>(item * 257) : static_cast<u16>(item);
}

// One correction table: its count minus 1, then the entries. False when the
// property holds fewer items than the table claims or memory ran out.
bool readTable(ItemCursor& cursor, int format, u32 type, ColorCorrectionEntry** table, u32* count) {
  if (!cursor.remaining()) return false;
  u64 entries = static_cast<u64>(cursor.take()) + 1;
  u64 needed = entries * (type == 0 ? 2 : 1);
  if (needed > cursor.remaining()) return false;
  auto* out = static_cast<ColorCorrectionEntry*>(memAlloc(entries * sizeof(ColorCorrectionEntry)));
  if (!out) return false;
  double scale = intensityScale(format);
  for (u64 i = 0; i < entries; i++) {
    if (type == 0) {
      out[i].value = scaledValue(format, cursor.take());
    } else {
      // A one-entry table has no spacing to spread its value over.
      out[i].value = entries > 1 ? static_cast<u16>(i * 65535 / (entries - 1)) : 0;
    }
    out[i].intensity = cursor.take() / scale;
  }
  *table = out;
  *count = static_cast<u32>(entries);
  return true;
}

struct ParsedTables {
  ColorCorrectionEntry* tables[3] = {};
  u32 counts[3] = {};
  u32 number = 0;  // 1 or 3
  void release() {
    for (auto*& table : tables) {
      free(table);
      table = nullptr;
    }
  }
};

// Gives a record its own copy of the tables, replacing earlier ones but not
// its matrices.
void giveTables(VisualRecord* record, u32 type, const ParsedTables& parsed) {
  u8 hasMatrices = record->hasMatrices;
  double matrices[18];
  memcpy(matrices, record->matrices, sizeof(matrices));
  clearVisualGamma(record);
  record->hasMatrices = hasMatrices;
  memcpy(record->matrices, matrices, sizeof(matrices));

  VisualRecord source{};
  source.redTable = parsed.tables[0];
  source.redCount = parsed.counts[0];
  u32 greenSlot = parsed.number == 1 ? 0 : 1;
  u32 blueSlot = parsed.number == 1 ? 0 : 2;
  source.greenTable = parsed.tables[greenSlot];
  source.greenCount = parsed.counts[greenSlot];
  source.blueTable = parsed.tables[blueSlot];
  source.blueCount = parsed.counts[blueSlot];
  VisualRecord copy{};
  if (!copyVisualRecord(&source, &copy)) return;  // out of memory: no tables
  record->redTable = copy.redTable;
  record->redCount = copy.redCount;
  record->greenTable = copy.greenTable;
  record->greenCount = copy.greenCount;
  record->blueTable = copy.blueTable;
  record->blueCount = copy.blueCount;
  record->correctionType = static_cast<u8>(type);
  record->correctionTables = static_cast<u8>(parsed.number);
}

}  // namespace

void applyOverlayProperty(VisualRecord* records, i32 count, const PropertyItems& property) {
  if (!property.data || (property.format != 16 && property.format != 32)) return;
  ItemCursor cursor(property);
  // Entries of four items: visual, transparent type, value, layer.
  for (unsigned long entry = 0; entry + 4 <= property.items; entry += 4) {
    VisualRecord* record = findVisualRecord(records, count, cursor.itemAt(entry));
    if (!record) continue;
    u32 value = cursor.itemAt(entry + 2);
    if (property.format == 16) value = static_cast<u32>(static_cast<i32>(static_cast<i16>(value)));
    record->overlayFormat = static_cast<u8>(property.format);
    record->transparentType = static_cast<u8>(cursor.itemAt(entry + 1));
    record->transparentValue = value;
    record->overlayLayer = static_cast<i16>(cursor.itemAt(entry + 3));
  }
}

void applyColorMatrices(VisualRecord* records, i32 count, const PropertyItems& property) {
  if (!property.data || property.format != 32 || property.items != 18) return;
  ItemCursor cursor(property);
  for (i32 i = 0; i < count; i++) {
    records[i].hasMatrices = 1;
    for (u32 m = 0; m < 18; m++) records[i].matrices[m] = static_cast<i32>(cursor.itemAt(m));
  }
}

void applyColorCorrection(VisualRecord* records, i32 count, const PropertyItems& property) {
  if (!usable(property)) return;
  int format = property.format;
  // Items of a record's header before its first table entry.
  unsigned long headerItems = format == 8 ? 9 : format == 16 ? 7 : 6;
  u32 idItems = format == 8 ? 4 : format == 16 ? 2 : 1;
  ItemCursor cursor(property);
  while (cursor.remaining() >= headerItems) {
    u32 visualId = 0;
    for (u32 i = 0; i < idItems; i++) visualId = (format == 32 ? 0 : visualId << format) | cursor.take();
    u32 type = cursor.take();
    u32 tableCount = cursor.take();
    if (type > 1) return;
    ParsedTables parsed;
    parsed.number = tableCount == 1 ? 1 : 3;
    for (u32 t = 0; t < parsed.number; t++) {
      if (!readTable(cursor, format, type, &parsed.tables[t], &parsed.counts[t])) {
        parsed.release();
        return;
      }
    }
    if (visualId) {
      VisualRecord* record = findVisualRecord(records, count, visualId);
      if (record) giveTables(record, type, parsed);
    } else {
      for (i32 i = 0; i < count; i++) {
        if (!records[i].redTable) giveTables(&records[i], type, parsed);
      }
    }
    parsed.release();
  }
}

}  // namespace palvon
