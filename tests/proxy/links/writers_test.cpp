// The bytes of every request writer, compared with the protocol's own
// request structures (xcb's generated headers), and the splitting rules.
#include <gtest/gtest.h>
#include <xcb/xproto.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Proxy/links/core11G.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "base/outbuffer.h"
#include "support/linkrig.h"

namespace palvon::test {
namespace {

using Bytes = std::vector<u8>;

template <class T>
Bytes bytesOf(T request, const Bytes& tail = {}) {
  request.length = static_cast<u16>((sizeof(T) + tail.size() + 3) / 4);
  Bytes out(reinterpret_cast<const u8*>(&request), reinterpret_cast<const u8*>(&request) + sizeof(T));
  out.insert(out.end(), tail.begin(), tail.end());
  out.resize((out.size() + 3) & ~size_t{3}, 0);
  return out;
}

Bytes words(std::initializer_list<u32> values) {
  Bytes out(values.size() * 4);
  size_t i = 0;
  for (u32 v : values) std::memcpy(&out[4 * i++], &v, 4);
  return out;
}

Bytes idOnly(u8 major, u32 id) {
  xcb_free_gc_request_t r{};
  r.major_opcode = major;
  r.gc = id;
  return bytesOf(r);
}

Bytes bare(u8 major) {
  xcb_no_operation_request_t r{};
  r.major_opcode = major;
  return bytesOf(r);
}

struct WriterCase {
  const char* name;
  std::function<void(OfflineLink&)> write;
  std::function<Bytes()> expected;
};

XSetWindowAttributes attributes() {
  XSetWindowAttributes a{};
  a.background_pixel = 0x112233;
  a.event_mask = ExposureMask;
  a.colormap = 0x400005;
  return a;
}

constexpr u32 kAttributeMask = CWBackPixel | CWEventMask | CWColormap;

const WriterCase kCases[] = {
    {"AllowEvents", [](OfflineLink& l) { xprotoAllowEvents(l.writer(), 2, 77); },
     [] { xcb_allow_events_request_t r{35, 2, 0, 77}; return bytesOf(r); }},
    {"ChangeWindowAttributes", [](OfflineLink& l) { auto a = attributes(); xprotoChangeWindowAttributes(l.writer(), 9, kAttributeMask, &a); },
     [] { xcb_change_window_attributes_request_t r{2, 0, 0, 9, kAttributeMask}; return bytesOf(r, words({0x112233, ExposureMask, 0x400005})); }},
    {"ChangeProperty", [](OfflineLink& l) { xprotoChangeProperty(l.writer(), 2, 9, 39, 31, 8, 5, "hello"); },
     [] { xcb_change_property_request_t r{18, 2, 0, 9, 39, 31, 8, {}, 5}; return bytesOf(r, {'h', 'e', 'l', 'l', 'o'}); }},
    {"ChangeSaveSet", [](OfflineLink& l) { xprotoChangeSaveSet(l.writer(), 9); },
     [] { xcb_change_save_set_request_t r{6, 0, 0, 9}; return bytesOf(r); }},
    {"ClearArea", [](OfflineLink& l) { xprotoClearArea(l.writer(), 9, -3, 4, 50, 60); },
     [] { xcb_clear_area_request_t r{61, 0, 0, 9, -3, 4, 50, 60}; return bytesOf(r); }},
    {"CloseFont", [](OfflineLink& l) { xprotoCloseFont(l.writer(), 7); }, [] { return idOnly(46, 7); }},
    {"ConfigureWindow", [](OfflineLink& l) { const u32 v[2] = {5, 6}; xprotoConfigureWindow(l.writer(), 9, 3, v); },
     [] { xcb_configure_window_request_t r{12, 0, 0, 9, 3, {}}; return bytesOf(r, words({5, 6})); }},
    {"CopyArea", [](OfflineLink& l) { xprotoCopyArea(l.writer(), 1, 2, 3, 4, 5, 6, 7, 8, 9); },
     [] { xcb_copy_area_request_t r{62, 0, 0, 1, 2, 3, 4, 5, 8, 9, 6, 7}; return bytesOf(r); }},
    {"CreateColormap", [](OfflineLink& l) { xprotoCreateColormap(l.writer(), 1, 5, 9, 0x21); },
     [] { xcb_create_colormap_request_t r{78, 1, 0, 5, 9, 0x21}; return bytesOf(r); }},
    {"CreateCursor", [](OfflineLink& l) { xprotoCreateCursor(l.writer(), 1, 2, 3, 4, 5, 10, 11, 12, 13, 14, 15); },
     [] { xcb_create_cursor_request_t r{93, 0, 0, 1, 2, 3, 10, 11, 12, 13, 14, 15, 4, 5}; return bytesOf(r); }},
    {"CreateGC", [](OfflineLink& l) { XGCValues v{}; v.foreground = 7; v.arc_mode = 1; xprotoCreateGC(l.writer(), 4, 9, GCForeground | GCArcMode, &v); },
     [] { xcb_create_gc_request_t r{55, 0, 0, 4, 9, GCForeground | GCArcMode}; return bytesOf(r, words({7, 1})); }},
    {"CreatePixmap", [](OfflineLink& l) { xprotoCreatePixmap(l.writer(), 24, 4, 9, 30, 40); },
     [] { xcb_create_pixmap_request_t r{53, 24, 0, 4, 9, 30, 40}; return bytesOf(r); }},
    {"CreateWindow", [](OfflineLink& l) { auto a = attributes(); xprotoCreateWindow(l.writer(), 24, 8, 9, -1, 2, 30, 40, 1, 1, 0x21, kAttributeMask, &a); },
     [] { xcb_create_window_request_t r{1, 24, 0, 8, 9, -1, 2, 30, 40, 1, 1, 0x21, kAttributeMask}; return bytesOf(r, words({0x112233, ExposureMask, 0x400005})); }},
    {"DestroyWindow", [](OfflineLink& l) { xprotoDestroyWindow(l.writer(), 9); }, [] { return idOnly(4, 9); }},
    {"FreeColormap", [](OfflineLink& l) { xprotoFreeColormap(l.writer(), 9); }, [] { return idOnly(79, 9); }},
    {"FreeCursor", [](OfflineLink& l) { xprotoFreeCursor(l.writer(), 9); }, [] { return idOnly(95, 9); }},
    {"FreeGC", [](OfflineLink& l) { xprotoFreeGC(l.writer(), 9); }, [] { return idOnly(60, 9); }},
    {"FreePixmap", [](OfflineLink& l) { xprotoFreePixmap(l.writer(), 9); }, [] { return idOnly(54, 9); }},
    {"GetFontPath", [](OfflineLink& l) { xprotoGetFontPath(l.writer()); }, [] { return bare(52); }},
    {"InstallColormap", [](OfflineLink& l) { xprotoInstallColormap(l.writer(), 9); }, [] { return idOnly(81, 9); }},
    {"MapWindow", [](OfflineLink& l) { xprotoMapWindow(l.writer(), 9); }, [] { return idOnly(8, 9); }},
    {"OpenFont", [](OfflineLink& l) { xprotoOpenFont(l.writer(), 5, "fixed", 5); },
     [] { xcb_open_font_request_t r{45, 0, 0, 5, 5, {}}; return bytesOf(r, {'f', 'i', 'x', 'e', 'd'}); }},
    {"PolyText8", [](OfflineLink& l) { xprotoPolyText8(l.writer(), 1, 2, 3, 4, "abc", 3); },
     [] { xcb_poly_text_8_request_t r{74, 0, 0, 1, 2, 3, 4}; return bytesOf(r, {3, 0, 'a', 'b', 'c'}); }},
    {"PolyText16", [](OfflineLink& l) { const XChar2b t[2] = {{0, 'a'}, {1, 'b'}}; xprotoPolyText16(l.writer(), 1, 2, 3, 4, t, 2); },
     [] { xcb_poly_text_16_request_t r{75, 0, 0, 1, 2, 3, 4}; return bytesOf(r, {2, 0, 0, 'a', 1, 'b'}); }},
    {"RaiseWindow", [](OfflineLink& l) { xprotoRaiseWindow(l.writer(), 9); },
     [] { xcb_configure_window_request_t r{12, 0, 0, 9, 64, {}}; return bytesOf(r, words({0})); }},
    {"LowerWindow", [](OfflineLink& l) { xprotoLowerWindow(l.writer(), 9); },
     [] { xcb_configure_window_request_t r{12, 0, 0, 9, 64, {}}; return bytesOf(r, words({1})); }},
    {"ResizeWindow", [](OfflineLink& l) { xprotoResizeWindow(l.writer(), 9, 30, 40); },
     [] { xcb_configure_window_request_t r{12, 0, 0, 9, 12, {}}; return bytesOf(r, words({30, 40})); }},
    {"SelectInput", [](OfflineLink& l) { xprotoSelectInput(l.writer(), 9, 0x8001); },
     [] { xcb_change_window_attributes_request_t r{2, 0, 0, 9, 0x800}; return bytesOf(r, words({0x8001})); }},
    {"SetClipRectangles", [](OfflineLink& l) { const XRectangle rect{-1, 2, 3, 4}; xprotoSetClipRectangles(l.writer(), 3, 7, 5, 6, &rect, 1); },
     [] { xcb_set_clip_rectangles_request_t r{59, 3, 0, 7, 5, 6}; xcb_rectangle_t rect{-1, 2, 3, 4}; Bytes t(8); std::memcpy(t.data(), &rect, 8); return bytesOf(r, t); }},
    {"SetDashes", [](OfflineLink& l) { const u8 d[3] = {4, 2, 1}; xprotoSetDashes(l.writer(), 7, 1, d, 3); },
     [] { xcb_set_dashes_request_t r{58, 0, 0, 7, 1, 3}; return bytesOf(r, {4, 2, 1}); }},
    {"SetFontPath", [](OfflineLink& l) { const char* p[2] = {"built-ins", "/x"}; xprotoSetFontPath(l.writer(), p, 2); },
     [] { xcb_set_font_path_request_t r{51, 0, 0, 2, {}}; return bytesOf(r, {9, 'b', 'u', 'i', 'l', 't', '-', 'i', 'n', 's', 2, '/', 'x'}); }},
    {"UngrabServer", [](OfflineLink& l) { xprotoUngrabServer(l.writer()); }, [] { return bare(37); }},
    {"UnmapWindow", [](OfflineLink& l) { xprotoUnmapWindow(l.writer(), 9); }, [] { return idOnly(10, 9); }},
    {"CopyPlane", [](OfflineLink& l) { requestCopyPlane(l.link(), 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x10); },
     [] { xcb_copy_plane_request_t r{63, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x10}; return bytesOf(r); }},
    {"GetKeyboardMapping", [](OfflineLink& l) { requestGetKeyboardMapping(l.link(), 8, 248); },
     [] { xcb_get_keyboard_mapping_request_t r{101, 0, 0, 8, 248}; return bytesOf(r); }},
    {"GrabButton", [](OfflineLink& l) { requestGrabButton(l.link(), 1, 9, 4, 1, 0, 8, 7, 3, 0x8000); },
     [] { xcb_grab_button_request_t r{28, 1, 0, 9, 4, 1, 0, 8, 7, 3, 0, 0x8000}; return bytesOf(r); }},
    {"GrabKey", [](OfflineLink& l) { requestGrabKey(l.link(), 1, 9, 4, 38, 1, 0); },
     [] { xcb_grab_key_request_t r{33, 1, 0, 9, 4, 38, 1, 0, {}}; return bytesOf(r); }},
    {"GrabKeyboard", [](OfflineLink& l) { requestGrabKeyboard(l.link(), 1, 9, 1, 0); },
     [] { xcb_grab_keyboard_request_t r{31, 1, 0, 9, 0, 1, 0, {}}; return bytesOf(r); }},
    {"GrabServer", [](OfflineLink& l) { requestGrabServer(l.link()); }, [] { return bare(36); }},
    {"ImageText8", [](OfflineLink& l) { requestImageText8(l.link(), 1, 2, 3, 4, "hi!", 3); },
     [] { xcb_image_text_8_request_t r{76, 3, 0, 1, 2, 3, 4}; return bytesOf(r, {'h', 'i', '!'}); }},
    {"ImageText16", [](OfflineLink& l) { const XChar2b t[1] = {{1, 2}}; requestImageText16(l.link(), 1, 2, 3, 4, t, 1); },
     [] { xcb_image_text_16_request_t r{77, 1, 0, 1, 2, 3, 4}; return bytesOf(r, {1, 2}); }},
    {"MoveResizeWindow", [](OfflineLink& l) { requestMoveResizeWindow(l.link(), 9, -5, 6, 70, 80); },
     [] { xcb_configure_window_request_t r{12, 0, 0, 9, 15, {}}; return bytesOf(r, words({u32(-5), 6, 70, 80})); }},
    {"MoveWindow", [](OfflineLink& l) { requestMoveWindow(l.link(), 9, 5, -6); },
     [] { xcb_configure_window_request_t r{12, 0, 0, 9, 3, {}}; return bytesOf(r, words({5, u32(-6)})); }},
    {"NoOperation", [](OfflineLink& l) { requestNoOperation(l.link()); }, [] { return bare(127); }},
    {"PolyFillRectangle", [](OfflineLink& l) { requestPolyFillRectangle(l.link(), 1, 2, -3, 4, 5, 6); },
     [] { xcb_poly_fill_rectangle_request_t r{70, 0, 0, 1, 2}; xcb_rectangle_t rect{-3, 4, 5, 6}; Bytes t(8); std::memcpy(t.data(), &rect, 8); return bytesOf(r, t); }},
    {"SetWindowBackground", [](OfflineLink& l) { requestSetWindowBackground(l.link(), 9, 0xff); },
     [] { xcb_change_window_attributes_request_t r{2, 0, 0, 9, 2}; return bytesOf(r, words({0xff})); }},
    {"SetWindowBackgroundPixmap", [](OfflineLink& l) { requestSetWindowBackgroundPixmap(l.link(), 9, 4); },
     [] { xcb_change_window_attributes_request_t r{2, 0, 0, 9, 1}; return bytesOf(r, words({4})); }},
    {"UngrabButton", [](OfflineLink& l) { requestUngrabButton(l.link(), 3, 9, 0x8000); },
     [] { xcb_ungrab_button_request_t r{29, 3, 0, 9, 0x8000, {}}; return bytesOf(r); }},
    {"UngrabKey", [](OfflineLink& l) { requestUngrabKey(l.link(), 38, 9, 4); },
     [] { xcb_ungrab_key_request_t r{34, 38, 0, 9, 4, {}}; return bytesOf(r); }},
    {"GrabPointer", [](OfflineLink& l) { requestGrabPointer(l.link(), 1, 9, 4, 1, 0, 8, 7); },
     [] { xcb_grab_pointer_request_t r{26, 1, 0, 9, 4, 1, 0, 8, 7, 0}; return bytesOf(r); }},
    {"SetInputFocus", [](OfflineLink& l) { requestSetInputFocus(l.link(), 2, 9); },
     [] { xcb_set_input_focus_request_t r{42, 2, 0, 9, 0}; return bytesOf(r); }},
    {"UngrabKeyboard", [](OfflineLink& l) { requestUngrabKeyboard(l.link()); },
     [] { xcb_ungrab_keyboard_request_t r{32, 0, 0, 0}; return bytesOf(r); }},
    {"UngrabPointer", [](OfflineLink& l) { requestUngrabPointer(l.link()); },
     [] { xcb_ungrab_pointer_request_t r{27, 0, 0, 0}; return bytesOf(r); }},
    {"WarpPointer", [](OfflineLink& l) { requestWarpPointer(l.link(), 9, -5, 6); },
     [] { xcb_warp_pointer_request_t r{41, 0, 0, 0, 9, 0, 0, 0, 0, -5, 6}; return bytesOf(r); }},
    {"ChangeGC", [](OfflineLink& l) { XGCValues v{}; v.foreground = 0xabc; v.arc_mode = 1; requestChangeGC(l.link(), 7, (1u << 2) | (1u << 22), &v); },
     [] { xcb_change_gc_request_t r{56, 0, 0, 7, (1u << 2) | (1u << 22)}; return bytesOf(r, words({0xabc, 1})); }},
    {"ChangeKeyboardMapping", [](OfflineLink& l) { const u32 k[4] = {1, 2, 3, 4}; requestChangeKeyboardMapping(l.link(), 2, 38, 2, k); },
     [] { xcb_change_keyboard_mapping_request_t r{100, 2, 0, 38, 2, {}}; return bytesOf(r, words({1, 2, 3, 4})); }},
    {"SetPointerMapping", [](OfflineLink& l) { const u8 m[2] = {3, 2}; requestSetPointerMapping(l.link(), 5, m, 2); },
     [] { xcb_set_pointer_mapping_request_t r{116, 5, 0}; return bytesOf(r, {3, 2, 0, 0, 0}); }},
    {"StoreColors", [](OfflineLink& l) { requestStoreColors(l.link(), 5, 17, 1, 2, 3); },
     [] { xcb_store_colors_request_t r{89, 0, 0, 5}; xcb_coloritem_t c{17, 1, 2, 3, 7, 0}; Bytes t(12); std::memcpy(t.data(), &c, 12); return bytesOf(r, t); }},
    {"GetImage", [](OfflineLink& l) { requestGetImage(l.link(), 2, 9, 1, 2, 3, 4, ~0u); },
     [] { xcb_get_image_request_t r{73, 2, 0, 9, 1, 2, 3, 4, ~0u}; return bytesOf(r); }},
    {"QueryPointer", [](OfflineLink& l) { requestQueryPointer(l.link(), 9); }, [] { return idOnly(38, 9); }},
    {"QueryKeymap", [](OfflineLink& l) { requestQueryKeymap(l.link()); }, [] { return bare(44); }},
};

class WriterBytes : public ::testing::TestWithParam<WriterCase> {};

TEST_P(WriterBytes, MatchTheProtocol) {
  OfflineLink link;
  GetParam().write(link);
  EXPECT_EQ(link.take(), GetParam().expected());
  EXPECT_EQ(link.link()->requestsSent, 1u) << "one request counted";
}

INSTANTIATE_TEST_SUITE_P(Requests, WriterBytes, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The PutImage requests written for an image: rows, byte length and data of each.
struct Band {
  u16 rows;
  u32 length;
  Bytes data;
};

std::vector<Band> putImage(int format, int depth, int width, int bytesPerLine, int height, std::vector<char> data = {}) {
  if (data.empty()) data.assign(static_cast<size_t>(bytesPerLine) * height * (format == XYPixmap ? depth : 1), 1);
  XImage image{};
  image.width = width;
  image.height = height;
  image.format = format;
  image.depth = depth;
  image.bytes_per_line = bytesPerLine;
  image.data = data.data();
  OfflineLink link;
  EXPECT_EQ(xprotoPutImage(link.writer(), 1, 2, &image, 0, 10), 1);
  Bytes out = link.take();
  std::vector<Band> bands;
  for (size_t at = 0; at < out.size();) {
    u16 words16;
    std::memcpy(&words16, &out[at + 2], 2);
    u32 words32 = words16;
    size_t header = 0;
    if (words16 == 0) {  // the big form
      std::memcpy(&words32, &out[at + 4], 4);
      header = 4;
    }
    Band band{0, 4 * words32, Bytes(out.begin() + at + header + 24, out.begin() + at + 4 * size_t{words32})};
    std::memcpy(&band.rows, &out[at + header + 14], 2);
    bands.push_back(band);
    at += band.length;
  }
  return bands;
}

std::vector<u16> rowsOf(const std::vector<Band>& bands) {
  std::vector<u16> rows;
  for (const Band& b : bands) rows.push_back(b.rows);
  return rows;
}

TEST(PutImageBands, FitTheMaximumRequestSize) {
  EXPECT_EQ(rowsOf(putImage(ZPixmap, 24, 1024, 1024, 1000)), (std::vector<u16>{255, 255, 255, 235}));
  EXPECT_TRUE(putImage(ZPixmap, 24, 1024, 1024, 0).empty());
  // XYPixmap carries every plane of a row: bands count rows times planes.
  std::vector<Band> bands = putImage(XYPixmap, 24, 1024, 1024, 25);
  EXPECT_EQ(rowsOf(bands), (std::vector<u16>{10, 10, 5}));
  for (const Band& b : bands) EXPECT_LE(b.length, 262140u);
  // A row longer than a band still goes out, one row per request.
  EXPECT_EQ(rowsOf(putImage(ZPixmap, 24, 300000, 300000, 3)), (std::vector<u16>{1, 1, 1}));

  // Plane p, row r holds the byte 16p + r: each band must gather its rows
  // from every plane.
  const int planes = 2, rows = 3, bpl = 4;
  std::vector<char> data(planes * rows * bpl);
  Bytes expected;
  for (int p = 0; p < planes; p++)
    for (int r = 0; r < rows; r++) {
      std::memset(&data[(p * rows + r) * bpl], 16 * p + r, bpl);
      expected.insert(expected.end(), bpl, static_cast<u8>(16 * p + r));
    }
  bands = putImage(XYPixmap, planes, 32, bpl, rows, data);
  ASSERT_EQ(bands.size(), 1u);
  EXPECT_EQ(bands[0].data, expected);
}

TEST(PolyText, LongTextIsSplitIntoItemsOf254) {
  std::string text(600, 'q');
  OfflineLink link;
  xprotoPolyText8(link.writer(), 1, 2, 0, 0, text.data(), static_cast<u32>(text.size()));
  Bytes out = link.take();
  ASSERT_EQ(out.size(), 16u + ((3 * 2 + 600 + 3) & ~3u));
  EXPECT_EQ(out[16], 254);
  EXPECT_EQ(out[16 + 256], 254);
  EXPECT_EQ(out[16 + 512], 92);
  EXPECT_EQ(out[16 + 512 + 2 + 91], 'q');
}

}  // namespace
}  // namespace palvon::test
