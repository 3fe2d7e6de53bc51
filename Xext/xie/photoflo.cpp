// Photoflo element arithmetic.
#include "Xext/xie/photoflo.h"

#include <cstring>

#include "Proxy/dispatch/wire.h"
#include "Proxy/resources/resource.h"

namespace palvon {

namespace {

bool importsDrawable(u16 type) { return type == kFloImportDrawable || type == kFloImportDrawablePlane; }
bool exportsDrawable(u16 type) { return type == kFloExportDrawable || type == kFloExportDrawablePlane; }

// The bytes an element must hold for the fields the proxy reads or writes.
u32 fieldsNeeded(u16 type) {
  switch (type) {
    case kFloImportDrawable:
    case kFloImportDrawablePlane: return 16;
    case kFloExportDrawable:
    case kFloExportDrawablePlane: return 20;
    case kFloImportLUT:
    case kFloImportPhotomap:
    case kFloImportROI: return 8;
    case kFloConvertFromIndex:
    case kFloExportLUT:
    case kFloExportPhotomap:
    case kFloExportROI: return 12;
    case kFloConvertToIndex: return 16;
    default: return 4;
  }
}

u32 pasteUpBytes(u32 n) { return 12 * n + 28; }

bool overlaps(const Rect& a, const Rect& b) {
  return a.x < b.x + i64(b.width) && b.x < a.x + i64(a.width) && a.y < b.y + i64(b.height) && b.y < a.y + i64(a.height);
}

struct Walk {
  const FloModel& model;
  u8* append;
  u32 nextTag;
  u32 appended;
};

u8* appendCopy(Walk& walk, const u8* element, u32 bytes) {
  u8* copy = walk.append;
  std::memcpy(copy, element, bytes);
  walk.append += bytes;
  walk.nextTag++;
  walk.appended++;
  return copy;
}

// Export to a drawable: copy k on the screen's head numbered k (else its
// first head), copy 0 in place.
void splitExport(Walk& walk, u8* element, u32 bytes) {
  const FloModel& m = walk.model;
  FloScreen screen{};
  Rect window{};
  bool isWindow = false;
  u32 drawable = get32(element + 12), gc = get32(element + 16);
  bool known = m.screenOf(drawable, &screen, &window, &isWindow, m.argument);
  for (u32 k = 0; k < m.n; k++) {
    const Head* head = !known ? m.fallback : screen.byNumber[k] ? screen.byNumber[k] : screen.first;
    u8* copy = k == 0 ? element : appendCopy(walk, element, bytes);
    put32(copy + 12, m.drawableOnHead(drawable, head, m.argument));
    put32(copy + 16, m.idOnHead(gc, RT_GC, head, m.argument));
  }
}

// Import from a drawable: a PasteUp in place, one import per head
// appended, each cut to its head's part of the window.
void splitImport(Walk& walk, const u8* element, u32 bytes, u8* pasteUp, u32 ownTag, FloImportMapEntry* map,
                 FloElementInfo* info) {
  const FloModel& m = walk.model;
  u32 n = m.n;
  FloScreen screen{};
  Rect window{};
  bool isWindow = false;
  u32 drawable = get32(element + 4);
  i32 sourceX = static_cast<i16>(get16(element + 8)), sourceY = static_cast<i16>(get16(element + 10));
  u16 width = get16(element + 12), height = get16(element + 14);
  bool known = m.screenOf(drawable, &screen, &window, &isWindow, m.argument) && isWindow;

  std::memset(pasteUp, 0, pasteUpBytes(n));
  put16(pasteUp, kFloPasteUp);
  put16(pasteUp + 2, static_cast<u16>(pasteUpBytes(n) / 4));
  put16(pasteUp + 4, static_cast<u16>(n));
  put32(pasteUp + 8, width);
  put32(pasteUp + 12, height);
  if (bytes > 16) std::memcpy(pasteUp + 16, element + 16, bytes < 28 ? bytes - 16 : 12);

  Rect import{window.x + sourceX, window.y + sourceY, width, height};
  const Head* fallback = screen.first;
  Rect fallbackRect = screen.firstRect;
  for (u32 h = 0; known && h < screen.headCount; h++) {
    if (overlaps(screen.headRects[h], import)) {
      fallback = screen.heads[h];
      fallbackRect = screen.headRects[h];
      break;
    }
  }
  u32 firstCopy = walk.nextTag;
  for (u32 k = 0; k < n; k++) {
    u32 tag = walk.nextTag;
    u8* copy = appendCopy(walk, element, bytes);
    u8* tile = pasteUp + 28 + 12 * k;
    put16(tile, static_cast<u16>(tag));
    if (!known) {
      put32(copy + 4, m.drawableOnHead(drawable, m.fallback, m.argument));
      continue;
    }
    bool numbered = screen.byNumber[k] && overlaps(screen.rects[k], import);
    const Head* head = numbered ? screen.byNumber[k] : fallback;
    const Rect& headRect = numbered ? screen.rects[k] : fallbackRect;
    put32(copy + 4, m.drawableOnHead(drawable, head, m.argument));
    Rect part{};
    rectIntersect(&part, import, headRect);
    if (part.width == 0 || part.height == 0) continue;
    put16(copy + 8, static_cast<u16>(part.x - window.x));
    put16(copy + 10, static_cast<u16>(part.y - window.y));
    put16(copy + 12, static_cast<u16>(part.width));
    put16(copy + 14, static_cast<u16>(part.height));
    put32(tile + 4, static_cast<u32>(part.x - import.x));
    put32(tile + 8, static_cast<u32>(part.y - import.y));
  }
  if (map) *map = {firstCopy, ownTag};
  if (info && known) {
    std::memset(info->element, 0, sizeof info->element);
    std::memcpy(info->element, element, bytes < 28 ? bytes : 28);
    info->window = window;
  }
}

void translateIdAt(const FloModel& m, u8* element, u32 at, u32 kind) {
  put32(element + at, m.idOnHead(get32(element + at), kind, m.fallback, m.argument));
}

}  // namespace

bool photofloMeasure(const u8* list, u64 bytes, u32 count, u32 n, FloMeasure* out) {
  *out = {};
  u64 at = 0;
  for (u32 i = 0; i < count; i++) {
    if (at + 4 > bytes) return false;
    u16 type = get16(list + at);
    u64 size = u64{get16(list + at + 2)} * 4;
    if (size == 0) break;
    if (size > bytes - at || size < fieldsNeeded(type)) return false;
    out->elements++;
    if (importsDrawable(type)) {
      out->translatedBytes += pasteUpBytes(n);
      out->appendedBytes += n * size;
      out->appended += n;
      out->imports++;
    } else if (exportsDrawable(type)) {
      out->translatedBytes += size;
      out->appendedBytes += (n - 1) * size;
      out->appended += n - 1;
    } else {
      out->translatedBytes += size;
    }
    at += size;
  }
  return true;
}

u32 photofloTranslate(const u8* list, u32 count, u32 firstElementTag, u8* out, u8* append, u32 firstTag,
                      FloImportMapEntry* map, FloElementInfo* info, const FloModel& model) {
  Walk walk{model, append, firstTag, 0};
  for (u32 i = 0; i < count; i++) {
    u16 type = get16(list);
    u32 bytes = u32{get16(list + 2)} * 4;
    if (bytes == 0) return 0;
    FloElementInfo* entry = info ? info + i : nullptr;
    if (entry) {
      *entry = {};
      put16(entry->element, type);
    }
    if (importsDrawable(type)) {
      splitImport(walk, list, bytes, out, firstElementTag + i, map ? map++ : nullptr, entry);
      out += pasteUpBytes(model.n);
      list += bytes;
      continue;
    }
    std::memcpy(out, list, bytes);
    switch (type) {
      case kFloImportLUT:
      case kFloImportPhotomap:
      case kFloImportROI: translateIdAt(model, out, 4, RT_SERVER_ID); break;
      case kFloConvertFromIndex: translateIdAt(model, out, 8, RT_COLORMAP); break;
      case kFloConvertToIndex:
        translateIdAt(model, out, 8, RT_COLORMAP);
        translateIdAt(model, out, 12, RT_SERVER_ID);
        break;
      case kFloExportDrawable:
      case kFloExportDrawablePlane: splitExport(walk, out, bytes); break;
      case kFloExportLUT:
      case kFloExportPhotomap:
      case kFloExportROI: translateIdAt(model, out, 8, RT_SERVER_ID); break;
      default: break;
    }
    out += bytes;
    list += bytes;
  }
  return walk.appended;
}

u32 photofloClientTag(const FloImportMapEntry* map, u32 entries, u32 n, u32 tag) {
  for (u32 k = 0; map && k < entries; k++) {
    if (map[k].firstCopy <= tag && u64{tag} < u64{map[k].firstCopy} + n) return map[k].own;
  }
  return tag;
}

u32 photofloFirstAppendedTag(const FloElementInfo* info, u32 count, u32 from, u32 n) {
  u32 tag = count + 1;
  for (u32 i = 0; i + 1 < from && i < count; i++) {
    u16 type = get16(info[i].element);
    if (importsDrawable(type))
      tag += n;
    else if (exportsDrawable(type))
      tag += n - 1;
  }
  return tag;
}

}  // namespace palvon
