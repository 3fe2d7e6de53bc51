// The proxy's own request writers over a RequestWriter: one family for the
// requests the proxy writes to any peer, with the opcodes of the protocol
// headers and the layouts of the dispatch rows.
#include "Proxy/links/writers.h"

#include <X11/Xproto.h>

#include <cstring>

#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Xext/swap/byteswap.h"

namespace palvon {

namespace {

// Requests of one window, GC, pixmap, ... id: 8 bytes.
void writeIdRequest(RequestWriter* writer, u8 major, u32 id) {
  u8* p = beginRequest(writer, major, 0, 8);
  if (!p) return;
  put32(p + 4, id);
  finishRequest(writer, p, 8, major, 0);
}

void writeBareRequest(RequestWriter* writer, u8 major) {
  if (u8* p = beginRequest(writer, major, 0, 4)) finishRequest(writer, p, 4, major, 0);
}

// ConfigureWindow with a mask and its values.
void writeConfigure(RequestWriter* writer, u32 window, u16 mask, const u32* values) {
  u32 n = bitCount(mask);
  u8* p = beginRequest(writer, X_ConfigureWindow, 0, 12 + 4 * n);
  if (!p) return;
  put32(p + 4, window);
  put16(p + 8, mask);
  put16(p + 10, 0);
  std::memcpy(p + 12, values, 4 * n);
  finishRequest(writer, p, 12 + 4 * n, X_ConfigureWindow, 0);
}

// Text items of at most 254 characters each (255 would announce a font).
constexpr u32 kMaxTextItem = 254;

void writePolyText(RequestWriter* writer, u8 major, u32 drawable, u32 gc, i16 x, i16 y, const u8* text, u32 count,
                   u32 charSize) {
  u32 items = count ? (count + kMaxTextItem - 1) / kMaxTextItem : 1;
  u32 body = 2 * items + count * charSize;
  u32 length = 16 + pad4(body);
  u8* p = beginRequest(writer, major, 0, length);
  if (!p) return;
  put32(p + 4, drawable);
  put32(p + 8, gc);
  put16(p + 12, static_cast<u16>(x));
  put16(p + 14, static_cast<u16>(y));
  u8* out = p + 16;
  u32 done = 0;
  do {
    u32 k = count - done < kMaxTextItem ? count - done : kMaxTextItem;
    out[0] = static_cast<u8>(k);
    out[1] = 0;  // delta
    std::memcpy(out + 2, text + done * charSize, k * charSize);
    out += 2 + k * charSize;
    done += k;
  } while (done < count);
  std::memset(out, 0, p + length - out);
  finishRequest(writer, p, length, major, 0);
}

void writeValueListRequest(RequestWriter* writer, u8 major, u8 data, const u32* head, u32 headWords,
                           const u32* values, u32 n) {
  u32 length = 4 + 4 * headWords + 4 * n;
  u8* p = beginRequest(writer, major, data, length);
  if (!p) return;
  for (u32 i = 0; i < headWords; i++) put32(p + 4 + 4 * i, head[i]);
  std::memcpy(p + 4 + 4 * headWords, values, 4 * n);
  finishRequest(writer, p, length, major, data);
}

}  // namespace

// --- The family's two steps ---------------------------------------------------------

u8* beginRequest(RequestWriter* writer, u8 major, u8 data, u32 length) {
  return writer->allocate(writer->argument, major, data, length);
}

LayoutString writerLayoutOf(u8 major, u8 data, const u8* request, u32 length) {
  const RequestRow* row = major < 128 ? &coreRequestRow(major) : requestRowOf(requestKey(major, data));
  return requestLayoutOf(row, request, length);
}

void finishRequest(RequestWriter* writer, u8* request, u32 length, u8 major, u8 data) {
  if (writer->swap) finishWriterRequest(writer, request, length, writerLayoutOf(major, data, request, length));
}

void finishWriterRequest(const RequestWriter* writer, u8* request, u32 length, const char* layout) {
  if (!writer->swap) return;
  if (length <= kMaxPlainRequest) {
    swapLeaving(layout, request, request + length);
    return;
  }
  // The big form: the 32-bit length sits where the plain form has its
  // header. The layout walks the plain form, then the length goes back.
  u8 length32[4];
  std::memcpy(length32, request, 4);
  std::memcpy(request, request - 4, 4);
  swapLeaving(layout, request, request + length);
  storeU32(request, loadU32(length32), true);
}

u32 packWindowAttributes(u32 mask, const XSetWindowAttributes* a, u32* out) {
  const u32 fields[15] = {
      static_cast<u32>(a->background_pixmap), static_cast<u32>(a->background_pixel),
      static_cast<u32>(a->border_pixmap),     static_cast<u32>(a->border_pixel),
      static_cast<u32>(a->bit_gravity),       static_cast<u32>(a->win_gravity),
      static_cast<u32>(a->backing_store),     static_cast<u32>(a->backing_planes),
      static_cast<u32>(a->backing_pixel),     static_cast<u32>(a->override_redirect),
      static_cast<u32>(a->save_under),        static_cast<u32>(a->event_mask),
      static_cast<u32>(a->do_not_propagate_mask), static_cast<u32>(a->colormap),
      static_cast<u32>(a->cursor)};
  u32 n = 0;
  for (u32 bit = 0; bit < 15; bit++)
    if (mask & (1u << bit)) out[n++] = fields[bit];
  return n;
}

u32 packGCValues(u32 mask, const XGCValues* v, u32* out) {
  const u32 fields[23] = {
      static_cast<u32>(v->function),       static_cast<u32>(v->plane_mask),   static_cast<u32>(v->foreground),
      static_cast<u32>(v->background),     static_cast<u32>(v->line_width),   static_cast<u32>(v->line_style),
      static_cast<u32>(v->cap_style),      static_cast<u32>(v->join_style),   static_cast<u32>(v->fill_style),
      static_cast<u32>(v->fill_rule),      static_cast<u32>(v->tile),         static_cast<u32>(v->stipple),
      static_cast<u32>(v->ts_x_origin),    static_cast<u32>(v->ts_y_origin),  static_cast<u32>(v->font),
      static_cast<u32>(v->subwindow_mode), static_cast<u32>(v->graphics_exposures),
      static_cast<u32>(v->clip_x_origin),  static_cast<u32>(v->clip_y_origin), static_cast<u32>(v->clip_mask),
      static_cast<u32>(v->dash_offset),    static_cast<u32>(static_cast<u8>(v->dashes)),
      static_cast<u32>(v->arc_mode)};
  u32 n = 0;
  for (u32 bit = 0; bit < 23; bit++)
    if (mask & (1u << bit)) out[n++] = fields[bit];
  return n;
}

u8* xprotoCopyRequest(RequestWriter* writer, const u8* request, u32 length, const char* layout) {
  u8* p = beginRequest(writer, request[0], request[1], length);
  if (!p) return nullptr;
  // The header was written by the allocation (also in the big form).
  std::memcpy(p + 4, request + 4, length - 4);
  finishWriterRequest(writer, p, length, layout);
  return p;
}

void xprotoAllowEvents(RequestWriter* writer, u8 mode, u32 time) {
  u8* p = beginRequest(writer, X_AllowEvents, mode, 8);
  if (!p) return;
  put32(p + 4, time);
  finishRequest(writer, p, 8, X_AllowEvents, mode);
}

void xprotoChangeWindowAttributes(RequestWriter* writer, u32 window, u32 mask, const XSetWindowAttributes* values) {
  u32 packed[15];
  u32 n = packWindowAttributes(mask, values, packed);
  const u32 head[2] = {window, mask};
  writeValueListRequest(writer, X_ChangeWindowAttributes, 0, head, 2, packed, n);
}

void xprotoChangeProperty(RequestWriter* writer, u8 mode, u32 window, u32 property, u32 type, u8 format, u32 count,
                          const void* data) {
  u32 bytes = count * (format / 8);
  u32 length = 24 + pad4(bytes);
  u8* p = beginRequest(writer, X_ChangeProperty, mode, length);
  if (!p) return;
  put32(p + 4, window);
  put32(p + 8, property);
  put32(p + 12, type);
  p[16] = format;
  p[17] = p[18] = p[19] = 0;
  put32(p + 20, count);
  std::memcpy(p + 24, data, bytes);
  std::memset(p + 24 + bytes, 0, length - 24 - bytes);
  finishRequest(writer, p, length, X_ChangeProperty, mode);
}

void xprotoChangeSaveSet(RequestWriter* writer, u32 window) { writeIdRequest(writer, X_ChangeSaveSet, window); }

void xprotoClearArea(RequestWriter* writer, u32 window, i16 x, i16 y, u16 width, u16 height) {
  u8* p = beginRequest(writer, X_ClearArea, 0, 16);
  if (!p) return;
  put32(p + 4, window);
  put16(p + 8, static_cast<u16>(x));
  put16(p + 10, static_cast<u16>(y));
  put16(p + 12, width);
  put16(p + 14, height);
  finishRequest(writer, p, 16, X_ClearArea, 0);
}

void xprotoCloseFont(RequestWriter* writer, u32 font) { writeIdRequest(writer, X_CloseFont, font); }

void xprotoConfigureWindow(RequestWriter* writer, u32 window, u16 mask, const u32* values) {
  writeConfigure(writer, window, static_cast<u16>(mask & 0x7f), values);
}

void xprotoCopyArea(RequestWriter* writer, u32 source, u32 destination, u32 gc, i16 sourceX, i16 sourceY, u16 width,
                    u16 height, i16 destinationX, i16 destinationY) {
  u8* p = beginRequest(writer, X_CopyArea, 0, 28);
  if (!p) return;
  put32(p + 4, source);
  put32(p + 8, destination);
  put32(p + 12, gc);
  put16(p + 16, static_cast<u16>(sourceX));
  put16(p + 18, static_cast<u16>(sourceY));
  put16(p + 20, static_cast<u16>(destinationX));
  put16(p + 22, static_cast<u16>(destinationY));
  put16(p + 24, width);
  put16(p + 26, height);
  finishRequest(writer, p, 28, X_CopyArea, 0);
}

void xprotoCreateColormap(RequestWriter* writer, u8 alloc, u32 colormap, u32 window, u32 visual) {
  u8* p = beginRequest(writer, X_CreateColormap, alloc, 16);
  if (!p) return;
  put32(p + 4, colormap);
  put32(p + 8, window);
  put32(p + 12, visual);
  finishRequest(writer, p, 16, X_CreateColormap, alloc);
}

void xprotoCreateCursor(RequestWriter* writer, u32 cursor, u32 source, u32 mask, u16 x, u16 y, u16 foreRed,
                        u16 foreGreen, u16 foreBlue, u16 backRed, u16 backGreen, u16 backBlue) {
  u8* p = beginRequest(writer, X_CreateCursor, 0, 32);
  if (!p) return;
  put32(p + 4, cursor);
  put32(p + 8, source);
  put32(p + 12, mask);
  const u16 fields[8] = {foreRed, foreGreen, foreBlue, backRed, backGreen, backBlue, x, y};
  for (u32 i = 0; i < 8; i++) put16(p + 16 + 2 * i, fields[i]);
  finishRequest(writer, p, 32, X_CreateCursor, 0);
}

void xprotoCreateGC(RequestWriter* writer, u32 gc, u32 drawable, u32 mask, const XGCValues* values) {
  u32 packed[23];
  u32 n = packGCValues(mask, values, packed);
  const u32 head[3] = {gc, drawable, mask};
  writeValueListRequest(writer, X_CreateGC, 0, head, 3, packed, n);
}

void xprotoCreatePixmap(RequestWriter* writer, u8 depth, u32 pixmap, u32 drawable, u16 width, u16 height) {
  u8* p = beginRequest(writer, X_CreatePixmap, depth, 16);
  if (!p) return;
  put32(p + 4, pixmap);
  put32(p + 8, drawable);
  put16(p + 12, width);
  put16(p + 14, height);
  finishRequest(writer, p, 16, X_CreatePixmap, depth);
}

void xprotoCreateWindow(RequestWriter* writer, u8 depth, u32 window, u32 parent, i16 x, i16 y, u16 width, u16 height,
                        u16 borderWidth, u16 windowClass, u32 visual, u32 mask, const XSetWindowAttributes* values) {
  u32 packed[15];
  u32 n = packWindowAttributes(mask, values, packed);
  u32 length = 32 + 4 * n;
  u8* p = beginRequest(writer, X_CreateWindow, depth, length);
  if (!p) return;
  put32(p + 4, window);
  put32(p + 8, parent);
  put16(p + 12, static_cast<u16>(x));
  put16(p + 14, static_cast<u16>(y));
  put16(p + 16, width);
  put16(p + 18, height);
  put16(p + 20, borderWidth);
  put16(p + 22, windowClass);
  put32(p + 24, visual);
  put32(p + 28, mask);
  std::memcpy(p + 32, packed, 4 * n);
  finishRequest(writer, p, length, X_CreateWindow, depth);
}

void xprotoDestroyWindow(RequestWriter* writer, u32 window) { writeIdRequest(writer, X_DestroyWindow, window); }
void xprotoFreeColormap(RequestWriter* writer, u32 colormap) { writeIdRequest(writer, X_FreeColormap, colormap); }
void xprotoFreeCursor(RequestWriter* writer, u32 cursor) { writeIdRequest(writer, X_FreeCursor, cursor); }
void xprotoFreeGC(RequestWriter* writer, u32 gc) { writeIdRequest(writer, X_FreeGC, gc); }
void xprotoFreePixmap(RequestWriter* writer, u32 pixmap) { writeIdRequest(writer, X_FreePixmap, pixmap); }
void xprotoGetFontPath(RequestWriter* writer) { writeBareRequest(writer, X_GetFontPath); }
void xprotoInstallColormap(RequestWriter* writer, u32 colormap) { writeIdRequest(writer, X_InstallColormap, colormap); }
void xprotoMapWindow(RequestWriter* writer, u32 window) { writeIdRequest(writer, X_MapWindow, window); }

void xprotoOpenFont(RequestWriter* writer, u32 font, const char* name, u16 nameLength) {
  u32 length = 12 + pad4(nameLength);
  u8* p = beginRequest(writer, X_OpenFont, 0, length);
  if (!p) return;
  put32(p + 4, font);
  put16(p + 8, nameLength);
  put16(p + 10, 0);
  std::memcpy(p + 12, name, nameLength);
  std::memset(p + 12 + nameLength, 0, length - 12 - nameLength);
  finishRequest(writer, p, length, X_OpenFont, 0);
}

void xprotoPolyText8(RequestWriter* writer, u32 drawable, u32 gc, i16 x, i16 y, const char* text, u32 count) {
  writePolyText(writer, X_PolyText8, drawable, gc, x, y, reinterpret_cast<const u8*>(text), count, 1);
}

void xprotoPolyText16(RequestWriter* writer, u32 drawable, u32 gc, i16 x, i16 y, const XChar2b* text, u32 count) {
  writePolyText(writer, X_PolyText16, drawable, gc, x, y, reinterpret_cast<const u8*>(text), count, 2);
}

int xprotoPutImage(RequestWriter* writer, u32 drawable, u32 gc, const XImage* image, i16 x, i16 y) {
  u32 planes = image->format == XYPixmap ? static_cast<u32>(image->depth) : 1;
  u64 bytesPerLine = static_cast<u32>(image->bytes_per_line);
  u64 rowBytes = bytesPerLine * planes;  // one row over all planes
  u32 height = static_cast<u32>(image->height);
  // A row longer than a band still goes out (in the big form), one per band.
  u32 rowsPerBand = rowBytes ? static_cast<u32>(kPutImageBandBytes / rowBytes) : kPutImageBandBytes;
  if (rowsPerBand == 0) rowsPerBand = 1;
  u64 planeBytes = bytesPerLine * height;
  for (u32 row = 0; row < height; row += rowsPerBand) {
    u32 rows = height - row < rowsPerBand ? height - row : rowsPerBand;
    u64 bandPlane = bytesPerLine * rows;
    u64 length64 = 24 + bandPlane * planes;
    if (length64 > 0xfffffffcull) return 0;
    u32 length = static_cast<u32>(length64);
    u8* p = beginRequest(writer, X_PutImage, static_cast<u8>(image->format), length);
    if (!p) return 0;
    put32(p + 4, drawable);
    put32(p + 8, gc);
    put16(p + 12, static_cast<u16>(image->width));
    put16(p + 14, static_cast<u16>(rows));
    put16(p + 16, static_cast<u16>(x));
    put16(p + 18, static_cast<u16>(y + static_cast<i32>(row)));
    p[20] = static_cast<u8>(image->xoffset);
    p[21] = static_cast<u8>(image->depth);
    p[22] = p[23] = 0;
    // XYPixmap data is plane after plane: each plane contributes its band.
    for (u32 plane = 0; plane < planes; plane++)
      std::memcpy(p + 24 + plane * bandPlane, image->data + plane * planeBytes + row * bytesPerLine, bandPlane);
    finishRequest(writer, p, length, X_PutImage, static_cast<u8>(image->format));
  }
  return 1;
}

void xprotoRaiseWindow(RequestWriter* writer, u32 window) {
  const u32 above = 0;
  writeConfigure(writer, window, 64, &above);
}

void xprotoLowerWindow(RequestWriter* writer, u32 window) {
  const u32 below = 1;
  writeConfigure(writer, window, 64, &below);
}

void xprotoResizeWindow(RequestWriter* writer, u32 window, u16 width, u16 height) {
  const u32 size[2] = {width, height};
  writeConfigure(writer, window, 12, size);
}

void xprotoSelectInput(RequestWriter* writer, u32 window, u32 eventMask) {
  const u32 head[2] = {window, 0x800};
  writeValueListRequest(writer, X_ChangeWindowAttributes, 0, head, 2, &eventMask, 1);
}

void xprotoSetClipRectangles(RequestWriter* writer, u8 ordering, u32 gc, i16 xOrigin, i16 yOrigin,
                             const XRectangle* rectangles, u32 count) {
  u32 length = 12 + 8 * count;
  u8* p = beginRequest(writer, X_SetClipRectangles, ordering, length);
  if (!p) return;
  put32(p + 4, gc);
  put16(p + 8, static_cast<u16>(xOrigin));
  put16(p + 10, static_cast<u16>(yOrigin));
  for (u32 i = 0; i < count; i++) {
    u8* r = p + 12 + 8 * i;
    put16(r, static_cast<u16>(rectangles[i].x));
    put16(r + 2, static_cast<u16>(rectangles[i].y));
    put16(r + 4, rectangles[i].width);
    put16(r + 6, rectangles[i].height);
  }
  finishRequest(writer, p, length, X_SetClipRectangles, ordering);
}

void xprotoSetDashes(RequestWriter* writer, u32 gc, u16 dashOffset, const u8* dashes, u16 count) {
  u32 length = 12 + pad4(count);
  u8* p = beginRequest(writer, X_SetDashes, 0, length);
  if (!p) return;
  put32(p + 4, gc);
  put16(p + 8, dashOffset);
  put16(p + 10, count);
  std::memcpy(p + 12, dashes, count);
  std::memset(p + 12 + count, 0, length - 12 - count);
  finishRequest(writer, p, length, X_SetDashes, 0);
}

void xprotoSetFontPath(RequestWriter* writer, const char* const* paths, u16 count) {
  u32 total = 0;
  for (u16 i = 0; i < count; i++) {
    size_t n = std::strlen(paths[i]);
    total += static_cast<u32>(n > 255 ? 255 : n) + 1;
  }
  u32 length = 8 + pad4(total);
  u8* p = beginRequest(writer, X_SetFontPath, 0, length);
  if (!p) return;
  put16(p + 4, count);
  put16(p + 6, 0);
  u8* out = p + 8;
  for (u16 i = 0; i < count; i++) {
    size_t n = std::strlen(paths[i]);
    if (n > 255) n = 255;
    *out++ = static_cast<u8>(n);
    std::memcpy(out, paths[i], n);
    out += n;
  }
  std::memset(out, 0, p + length - out);
  finishRequest(writer, p, length, X_SetFontPath, 0);
}

void xprotoUngrabServer(RequestWriter* writer) { writeBareRequest(writer, X_UngrabServer); }
void xprotoUnmapWindow(RequestWriter* writer, u32 window) { writeIdRequest(writer, X_UnmapWindow, window); }

}  // namespace palvon
