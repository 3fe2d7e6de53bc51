#include "Proxy/join/capture.h"

#include <X11/X.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/displayevents.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/requests/images.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "xsupport/region.h"
#include "xsupport/ximage.h"

namespace palvon {

namespace {

// One capture. Every read waiting on the link holds a reference, and so
// does the round trip that ends the capture: a read answered after the
// caller got its image back (the link closed first) finds target null.
struct CaptureJob {
  u32 references;
  XImage* target;
  CaptureDone done;
  void* argument;
  u8 flag;
  u8 incomplete;
};

// One box read from the head: where it goes in the target and how the
// head's pixels become the target's.
struct CaptureRead {
  CaptureJob* job;
  i32 x, y;  // in the target
  u32 width, height;
  u32 depth;  // of the head's pixels
  u32 redMask, greenMask, blueMask;
  u8 indexed;
  // An emulated indexed visual shows pixel p as p in one channel of the
  // real visual: the index is taken out of that channel first.
  u32 indexMask, indexShift;
  u32* pixels;  // indexed: the target pixel of each index
  u32 pixelCount;
  ShmSegment* segment;  // read through shared memory: where the pixels land
};

// Reads may go through shared memory until the first flush that waits for
// GL turns it off for good: GL drawing does not show in such a read.
bool shmReadsAllowed = true;

void unrefJob(CaptureJob* job) {
  if (--job->references) return;
  std::free(job);
}

// The caller gets its image back: nothing writes into it afterwards.
void finishJob(CaptureJob* job, bool complete) {
  if (!job->target) return;
  job->target = nullptr;
  job->done(job->argument, complete && !job->incomplete);
}

void releaseRead(void* data) {
  auto* read = static_cast<CaptureRead*>(data);
  CaptureJob* job = read->job;
  destroyShmSegment(read->segment);
  std::free(read->pixels);
  std::free(read);
  unrefJob(job);
}

void finishCapture(const u8*, void* argument) { finishJob(static_cast<CaptureJob*>(argument), true); }

// Also when the link closed before the round trip came back.
void releaseCapture(void* argument) {
  auto* job = static_cast<CaptureJob*>(argument);
  finishJob(job, false);
  unrefJob(job);
}

// A target channel takes the top bits of a 16-bit colour value.
u32 placeChannel(u16 value, u32 mask) {
  if (!mask) return 0;
  u32 shift = u32(__builtin_ctz(mask)), bits = u32(__builtin_popcount(mask));
  return (u32(value) >> (16 - std::min(bits, 16u)) << shift) & mask;
}

struct SubtreeCapture {
  CaptureJob* job;
  Head* head;
  ServerLink* link;
  HeadRect area;        // meta
  HeadRect headArea;    // the area on the head: the target's frame
  bool ok;
};

void setRootFrame(const Head* head) {
  const MetaScreen* screen = head->metaScreen;
  setScalerFrame(head->scaler, 0, 0, screen ? screen->width : 0, screen ? screen->height : 0);
}

bool subtractBounding(Region* region, const ProxyWindow* window) {
  Region* bounding = windowBoundingRegion(window);
  if (!bounding) return false;
  bool ok = regionSubtract(region, region, bounding);
  regionDestroy(bounding);
  return ok;
}

// What of the window itself is visible, in meta coordinates: its clip
// shape less its shown children and the shown siblings above it and above
// every ancestor, inside every ancestor's clip shape. Null when memory ran
// out.
Region* ownVisibleRegion(const ProxyWindow* window) {
  Region* region = windowClipShapeRegion(window);
  bool ok = region != nullptr;
  for (const ProxyWindow* child = window->topChild; ok && child; child = child->nextLower) {
    if (child->shown) ok = subtractBounding(region, child);
  }
  for (const ProxyWindow* at = window; ok && at; at = at->parent) {
    for (const ProxyWindow* above = at->nextUpper; ok && above; above = above->nextUpper) {
      if (above->shown) ok = subtractBounding(region, above);
    }
    if (!ok || !at->parent) break;
    Region* clip = windowClipShapeRegion(at->parent);
    ok = clip && regionIntersect(region, region, clip);
    regionDestroy(clip);
  }
  if (ok) return region;
  regionDestroy(region);
  return nullptr;
}

// The table of an indexed visual: target pixel per head pixel. Null with
// a log line when the window's colormap is unknown, and when memory ran
// out (*failed set).
u32* makePixelTable(const ProxyWindow* window, const XImage* target, u32* count, bool* failed) {
  u32 id = window->colormap == 1 && window->screen ? window->screen->defaultColormap : window->colormap;
  auto* colormap = static_cast<ColormapRecord*>(id ? lookupResourceByType(id, RT_COLORMAP) : nullptr);
  if (!colormap || !colormap->visual) {
    LOGF(logChStep, "Window colormap not found");
    return nullptr;
  }
  const VisualRecord* visual = colormap->visual;
  *count = std::max<u32>(visual->colormapSize, 1);
  auto* table = static_cast<u32*>(std::calloc(*count, sizeof(u32)));
  if (!table) {
    *failed = true;
    return nullptr;
  }
  ColormapTables tables{colormap->red,      colormap->green,     colormap->blue,     visual->colormapSize,
                        visual->visualClass, visual->redMask,    visual->greenMask,  visual->blueMask};
  for (u32 pixel = 0; pixel < *count; pixel++) {
    XColor colour{};
    getColormapEntry(&tables, pixel, &colour);
    table[pixel] = placeChannel(colour.red, u32(target->red_mask)) |
                   placeChannel(colour.green, u32(target->green_mask)) |
                   placeChannel(colour.blue, u32(target->blue_mask));
  }
  return table;
}

void convertPixels(CaptureRead* read, Display* display, u32 depth, const u8* data, u64 bytes);

// A box read through shared memory: the reply (as the server sent it) says
// the image is in the read's segment; an error ends the capture incomplete.
int readThroughSegment(ServerLink* link, const u8* reply, void* argument) {
  auto* read = static_cast<CaptureRead*>(argument);
  if (reply[0] != X_Reply) {
    read->job->incomplete = 1;
    releaseRead(read);
    return 1;
  }
  Display* display = link->server.display ? link->server.display->display : nullptr;
  convertPixels(read, display, reply[1], read->segment->address, read->segment->size);
  return 1;
}

// One box (head coordinates) read into the target; false when memory ran
// out or the link could not take the request.
bool readBox(SubtreeCapture& c, const CaptureRead& model, const u32* table, u32 id, const HeadRect& window,
             const RegionBox& box) {
  const XImage* target = c.job->target;
  i32 x1 = std::max<i32>(box.x1, c.headArea.x), y1 = std::max<i32>(box.y1, c.headArea.y);
  i32 x2 = std::min<i32>(box.x2, c.headArea.x + std::min(c.headArea.width, target->width));
  i32 y2 = std::min<i32>(box.y2, c.headArea.y + std::min(c.headArea.height, target->height));
  if (x1 >= x2 || y1 >= y2) return true;
  auto* read = static_cast<CaptureRead*>(std::malloc(sizeof(CaptureRead)));
  if (!read) return false;
  *read = model;
  read->job = c.job;
  read->x = x1 - c.headArea.x, read->y = y1 - c.headArea.y;
  read->width = u32(x2 - x1), read->height = u32(y2 - y1);
  read->pixels = nullptr;
  if (table) {
    read->pixels = static_cast<u32*>(memdup(table, model.pixelCount * sizeof(u32)));
    if (!read->pixels) {
      std::free(read);
      return false;
    }
  }
  read->segment = nullptr;
  c.job->references++;
  i16 x = i16(x1 - window.x), y = i16(y1 - window.y);
  if (shmReadsAllowed && shmGetImageHook) {
    read->segment = shmGetImageHook(c.link, c.head, id, x, y, u16(read->width), u16(read->height), read->depth, ~0u,
                                    readThroughSegment, read);
    if (read->segment) return true;
  }
  if (!requestGetImage(c.link, ZPixmap, id, x, y, u16(read->width),
                       u16(read->height), ~0u)) {
    releaseRead(read);
    return false;
  }
  stashRequestData(c.link, kStashCapture, read, releaseRead);
  return true;
}

// The window's own boxes; false when memory ran out.
bool captureWindowBoxes(SubtreeCapture& c, const ProxyWindow* window) {
  Head* head = c.head;
  Region* region = ownVisibleRegion(window);
  if (!region) return false;
  // Only what the head shows can be read: outside its part of the screen
  // a window's GetImage is refused.
  const HeadRect& shown = head->logical;
  bool ok = regionIntersectRect(region, region, shown.x, shown.y, u32(std::max(shown.width, 0)),
                                u32(std::max(shown.height, 0)));
  if (ok && head->scaler) {
    setRootFrame(head);
    ok = scaleRegion(head->scaler, region);
  }
  if (ok) ok = regionIntersectRect(region, region, c.headArea.x, c.headArea.y, u32(c.headArea.width),
                                   u32(c.headArea.height));
  if (!ok || !regionNotEmpty(region)) {
    regionDestroy(region);
    return ok;
  }
  HeadRect at{window->x, window->y, window->width, window->height};
  if (head->scaler) scalePoint32(head->scaler, &at.x, &at.y, &at.width, &at.height);
  u32 id = translateXid(window->id, RT_WINDOW, head);
  const VisualRecord* visual = lookupHeadVisual(window->visual, head);
  if (!visual) {
    LOGF(logChStep, "No server visual to query");
    regionDestroy(region);
    return true;
  }
  CaptureRead model{};
  model.depth = visual->emulatedVisualId && visual->emulatedDepth ? visual->emulatedDepth : visual->depth;
  model.redMask = visual->redMask, model.greenMask = visual->greenMask, model.blueMask = visual->blueMask;
  model.indexed = visual->visualClass < TrueColor;
  if (model.indexed && visual->emulatedVisualId && visual->redMask) {
    model.indexMask = visual->redMask;
    model.indexShift = u32(__builtin_ctz(visual->redMask));
  }
  u32* table = nullptr;
  bool failed = false;
  if (model.indexed) {
    table = makePixelTable(window, c.job->target, &model.pixelCount, &failed);
    if (!table) {
      regionDestroy(region);
      return !failed;
    }
  }
  const RegionBox* boxes = regionRects(region);
  for (long i = regionNumRects(region) - 1; ok && i >= 0; i--) ok = readBox(c, model, table, id, at, boxes[i]);
  std::free(table);
  regionDestroy(region);
  return ok;
}

// Every shown window of the subtree. The boxes of different windows never
// overlap, so the order of the reads does not matter.
int captureShownWindow(ProxyWindow* window, void* argument) {
  auto& c = *static_cast<SubtreeCapture*>(argument);
  if (!window->shown) return 1;
  if (captureWindowBoxes(c, window)) return 0;
  c.ok = false;
  return 2;
}

Head* headShowingWindow(const ProxyWindow* window) {
  Head* head = getWindowFirstHead(window);
  if (!head && window->screen) head = window->screen->colorHead;
  return head;
}

}  // namespace

HeadRect captureAreaOnHead(const Head* head, const HeadRect& area) {
  HeadRect onHead = area;
  if (head && head->scaler) {
    setRootFrame(head);
    scaleArea32(head->scaler, &onHead);
  }
  return onHead;
}

const char* queueWindowAreaOn(ProxyClient* client, ProxyWindow* window, Head* head, const HeadRect& area, u8 flag,
                              XImage* target, void* argument, CaptureDone done) {
  if (!head) head = headShowingWindow(window);
  ServerLink* link = head && client ? clientLink(client, head->serverIndex) : nullptr;
  if (!link || !target || !done)
    return tmpPrintf("Can't capture window 0x%x on %s", window->id, head ? headName(head) : "no head");
  auto* job = static_cast<CaptureJob*>(std::calloc(1, sizeof(CaptureJob)));
  if (!job) return PALVON_OOM();
  *job = {1, target, done, argument, flag, 0};
  SubtreeCapture c{job, head, link, area, captureAreaOnHead(head, area), true};
  traverseWindowTree(window, captureShownWindow, &c);
  if (c.ok && queueRoundTripCallback(link, finishCapture, job, releaseCapture)) {
    logProblem(flushServerLink(link), __FILE__, __LINE__);
    return nullptr;
  }
  // The reads already queued may still be answered: they find no target.
  job->target = nullptr;
  unrefJob(job);
  return PALVON_OOM();
}

const char* queueWindowAreaOnHead(ProxyClient* client, ProxyWindow* window, const HeadRect& area, u8 flag,
                                  XImage* target, void* argument, CaptureDone done) {
  return queueWindowAreaOn(client, window, nullptr, area, flag, target, argument, done);
}

namespace {

// The read's pixels (`bytes` of them at data, of the given depth, in the
// display's layout) into the target; the record is freed.
void convertPixels(CaptureRead* read, Display* display, u32 depth, const u8* data, u64 bytes) {
  XImage* target = read->job->target;
  if (!target || !display) return releaseRead(read);
  XImage image{};
  const ImageFormat* format = ximageFormatForDisplay(display, ZPixmap, read->depth, nullptr);
  bool whole = depth == read->depth &&
               ximageInit(&image, int(read->width), int(read->height), 0,
                          reinterpret_cast<char*>(const_cast<u8*>(data)), format) &&
               u64(image.bytes_per_line) * read->height <= bytes;
  if (!whole) {
    LOGF(logChXerror, "Short capture reply (%u bytes for %ux%u)", u32(bytes), read->width, read->height);
    read->job->incomplete = 1;
    return releaseRead(read);
  }
  if (read->indexed) {
    for (u32 y = 0; y < read->height; y++) {
      for (u32 x = 0; x < read->width; x++) {
        u32 pixel = u32(XGetPixel(&image, int(x), int(y)));
        if (read->indexMask) pixel = (pixel & read->indexMask) >> read->indexShift;
        XPutPixel(target, read->x + int(x), read->y + int(y), pixel < read->pixelCount ? read->pixels[pixel] : 0);
      }
    }
  } else {
    image.red_mask = read->redMask, image.green_mask = read->greenMask, image.blue_mask = read->blueMask;
    ximageCopy(&image, 0, 0, int(read->width), int(read->height), target, read->x, read->y);
  }
  // The data stays its owner's: the image on the stack owns nothing.
  releaseRead(read);
}

}  // namespace

void convertCapturedImage(void* data, Display* display, const u8* reply, u32 length) {
  auto* read = static_cast<CaptureRead*>(data);
  if (length < 32) {
    read->job->incomplete = 1;
    return releaseRead(read);
  }
  convertPixels(read, display, reply[1], reply + 32, length - 32);
}

bool dropCapturedImageOfError(ServerLink* link) {
  auto* read = link ? static_cast<CaptureRead*>(takeStashedData(link, kStashCapture)) : nullptr;
  if (!read) return false;
  read->job->incomplete = 1;
  releaseRead(read);
  return true;
}

void flushWindowHead(ProxyWindow* window, bool waitForGL) {
  // GL rendering is not waited for: no GL layer draws into windows here.
  if (waitForGL) shmReadsAllowed = false;
  Head* head = headShowingWindow(window);
  if (headDisplayOpen(head)) XfsFlush(head->display);
  logProblem(flushAllServerLinks(), __FILE__, __LINE__);
}

// --- Into a file ----------------------------------------------------------------------

namespace {

struct FileCapture {
  XImage* image;
  u32 window;
  char path[];
};

void writeCaptureFile(void* argument, bool complete) {
  auto* capture = static_cast<FileCapture*>(argument);
  XImage* image = capture->image;
  u64 bytes = u64(image->width) * u64(image->height) * 3;
  u8* rgb = complete ? static_cast<u8*>(std::malloc(bytes ? bytes : 1)) : nullptr;
  FILE* file = rgb ? std::fopen(capture->path, "wb") : nullptr;
  if (file) {
    ximageToRGB24(image, rgb, 0, 0, image->width);
    std::fprintf(file, "P6\n%d %d\n255\n", image->width, image->height);
    bool written = std::fwrite(rgb, 1, bytes, file) == bytes;
    if (std::fclose(file) != 0 || !written) complete = false;
  }
  if (!complete || !file)
    LOGF(logChProblem, "Capture of window 0x%x into %s failed", capture->window, capture->path);
  std::free(rgb);
  XDestroyImage(image);
  std::free(capture);
}

}  // namespace

const char* captureWindowToFile(ProxyClient* client, u32 windowId, Head* head, const char* path) {
  ProxyWindow* window = lookupWindow(windowId);
  if (!window) return tmpPrintf("No window 0x%x", windowId);
  if (!client) client = window->owner;
  if (!head) head = headShowingWindow(window);
  HeadRect area{window->x, window->y, window->width, window->height};
  HeadRect onHead = captureAreaOnHead(head, area);
  static const ImageFormat kRGB{ZPixmap, 24, 32, 32, LSBFirst, LSBFirst, 32, 0xff0000, 0xff00, 0xff};
  size_t length = std::strlen(path);
  auto* capture = static_cast<FileCapture*>(std::malloc(sizeof(FileCapture) + length + 1));
  XImage* image = capture ? ximageCreateWithData(&kRGB, onHead.width, onHead.height) : nullptr;
  if (!image) {
    std::free(capture);
    return PALVON_OOM();
  }
  capture->image = image;
  capture->window = windowId;
  std::memcpy(capture->path, path, length + 1);
  const char* error = queueWindowAreaOn(client, window, head, area, 0, image, capture, writeCaptureFile);
  if (error) {
    XDestroyImage(image);
    std::free(capture);
  }
  return error;
}

}  // namespace palvon
