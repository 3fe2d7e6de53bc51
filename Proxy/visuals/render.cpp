// RENDER picture formats of a display, and the visuals that use them.
#include <X11/Xlibint.h>
#include <X11/extensions/render.h>

#include <cstdlib>
#include <cstring>

#include "Proxy/servers/failsafe.h"
#include "Proxy/servers/raw.h"
#include "Proxy/visuals/visual.h"
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

// The server's RENDER version, taken from the QueryVersion reply as it
// passes, so that the version and the formats cost one round trip.
struct VersionState {
  unsigned long sequence;
  u32 major, minor;
};

Bool takeVersionReply(Display* display, xReply* reply, char* buffer, int length, XPointer data) {
  auto* state = reinterpret_cast<VersionState*>(data);
  if (display->last_request_read != state->sequence || reply->generic.type == X_Error) return False;
  // QueryVersion replies carry two words of data after the generic part.
  u32 words[8];
  auto* full = reinterpret_cast<const u8*>(_XGetAsyncReply(display, reinterpret_cast<char*>(words), reply, buffer,
                                                            length, 0, True));
  memcpy(&state->major, full + 8, 4);
  memcpy(&state->minor, full + 12, 4);
  return True;
}

}  // namespace

PictFormatRecord* queryRenderPictFormats(Display* display, u32* numFormats, u32* numScreens) {
  *numFormats = *numScreens = 0;
  u8 opcode = rawExtensionOpcode(display, RENDER_NAME);
  if (!opcode || !rawBegin(display)) return nullptr;
  u8* request = rawRequest(display, opcode, X_RenderQueryVersion, 12);
  if (!request) return nullptr;
  rawPut32(request, 4, 0);   // client version 0.11
  rawPut32(request, 8, 11);
  VersionState version{display->request, 0, 0};
  _XAsyncHandler async;
  async.next = display->async_handlers;
  async.handler = takeVersionReply;
  async.data = reinterpret_cast<XPointer>(&version);
  display->async_handlers = &async;
  RawReply reply;
  bool ok = rawRequest(display, opcode, X_RenderQueryPictFormats, 4) && rawReply(display, &reply);
  // Also after a broken connection: the handler lives on this stack frame.
  DeqAsyncHandler(display, &async);
  if (!ok) return nullptr;
  u32 read = 0;
  PictFormatRecord* formats = parsePictFormats(reply.data, reply.size, reply.word(8), reply.word(12), &read);
  if (formats) {
    *numFormats = read;
    *numScreens = reply.word(12);
  }
  rawReplyFree(&reply);
  return formats;
}

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
