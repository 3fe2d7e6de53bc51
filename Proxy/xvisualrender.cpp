// RENDER picture formats of a display, and the visuals that use them.
#include <cstring>

#include "Proxy/xvisual.h"
#include "base/logging.h"

namespace palvon {

namespace {

// Reads a reply body front to back; a read past its end fails and leaves
// the reader at the end, so a claim the body cannot hold ends the parse.
class BodyReader {
 public:
  BodyReader(const u8* data, u64 size) : data_(data), size_(size) {}
  bool has(u64 n) const { return size_ - at_ >= n; }
  u32 u32At(u64 offset) const {
    u32 value;
    memcpy(&value, data_ + at_ + offset, 4);
    return value;
  }
  u16 u16At(u64 offset) const {
    u16 value;
    memcpy(&value, data_ + at_ + offset, 2);
    return value;
  }
  u8 u8At(u64 offset) const { return data_[at_ + offset]; }
  void skip(u64 n) { at_ += n; }

 private:
  const u8* data_;
  u64 size_;
  u64 at_ = 0;
};

constexpr u64 kPictFormInfoSize = 28;
constexpr u64 kPictScreenSize = 8;
constexpr u64 kPictDepthSize = 8;
constexpr u64 kPictVisualSize = 8;

u8 maskBits(u16 mask) { return static_cast<u8>(__builtin_popcount(mask)); }

void readFormat(const BodyReader& in, PictFormatRecord* format) {
  format->id = in.u32At(0);
  format->type = in.u8At(4);
  format->depth = in.u8At(5);
  // The direct format: red, green, blue, alpha as (shift, mask) pairs.
  format->redShift = static_cast<u8>(in.u16At(8));
  format->redBits = maskBits(in.u16At(10));
  format->greenShift = static_cast<u8>(in.u16At(12));
  format->greenBits = maskBits(in.u16At(14));
  format->blueShift = static_cast<u8>(in.u16At(16));
  format->blueBits = maskBits(in.u16At(18));
  format->alphaShift = static_cast<u8>(in.u16At(20));
  format->alphaBits = maskBits(in.u16At(22));
  format->colormap = in.u32At(24);
}

void addVisual(PictFormatRecord* formats, u32 count, u32 formatId, u32 visual, u32 screen) {
  for (u32 f = 0; f < count; f++) {
    if (formats[f].id != formatId) continue;
    u32 used = 0;
    while (used < kPictFormatVisualsMax && formats[f].visuals[used]) used++;
    if (used < kPictFormatVisualsMax) formats[f].visuals[used] = visual;
    formats[f].screen = static_cast<u8>(screen);
    return;
  }
}

}  // namespace

PictFormatRecord* parsePictFormats(const u8* body, u64 bytes, u32 numFormats, u32 numScreens, u32* formatsRead) {
  u64 fit = bytes / kPictFormInfoSize;
  u32 count = static_cast<u32>(numFormats < fit ? numFormats : fit);
  auto* formats = static_cast<PictFormatRecord*>(memCalloc(count ? count : 1, sizeof(PictFormatRecord)));
  if (!formats) return nullptr;
  BodyReader in(body, bytes);
  for (u32 f = 0; f < count; f++, in.skip(kPictFormInfoSize)) readFormat(in, &formats[f]);
  *formatsRead = count;
  if (count < numFormats) return formats;  // cut short: no screens follow
  for (u32 s = 0; s < numScreens && in.has(kPictScreenSize); s++) {
    u32 depths = in.u32At(0);
    in.skip(kPictScreenSize);
    for (u32 d = 0; d < depths && in.has(kPictDepthSize); d++) {
      u32 visuals = in.u16At(2);
      in.skip(kPictDepthSize);
      for (u32 v = 0; v < visuals && in.has(kPictVisualSize); v++, in.skip(kPictVisualSize))
        addVisual(formats, count, in.u32At(4), in.u32At(0), s);
    }
  }
  return formats;
}

}  // namespace palvon
