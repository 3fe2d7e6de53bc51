// RENDER glyph sets: the record of each set with every upload it still
// holds, forwarded to the heads of the set's screen (every head for a
// format without visuals) with images scaled for zoomed heads; and glyph
// sets and pictures written onto a joining head.
#include <X11/X.h>
#include <X11/extensions/render.h>

#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/resources/resource.h"
#include "Xext/render/internal.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u8 kBadPictFormat = 0, kBadGlyphSet = 3;

}  // namespace

// Every glyph's info by id, open addressing, for the extents of drawings
// that must be known before the heads draw them.
struct GlyphMetrics {
  u32 capacity;  // a power of two, at least twice the glyphs
  u32 count;
  struct Entry {
    u32 id;
    u8 used;
    xGlyphInfo info;
  } entries[1];
};

namespace {

GlyphMetrics* newMetrics(u32 capacity) {
  auto* m = static_cast<GlyphMetrics*>(memCalloc(1, sizeof(GlyphMetrics) + sizeof(GlyphMetrics::Entry) * capacity));
  if (m) m->capacity = capacity;
  return m;
}

GlyphMetrics::Entry* metricsSlot(GlyphMetrics* m, u32 id) {
  u32 at = (id * 0x9e3779b1u) & (m->capacity - 1);
  while (m->entries[at].used && m->entries[at].id != id) at = (at + 1) & (m->capacity - 1);
  return &m->entries[at];
}

// Enters an upload's glyphs (a later upload of an id replaces its info);
// false when the table could not grow.
bool enterGlyphs(GlyphSetRecord* set, const u8* data, u32 count) {
  for (u32 i = 0; i < count; i++) {
    GlyphMetrics* m = set->metrics;
    if (2 * (m->count + 1) > m->capacity) {
      GlyphMetrics* grown = newMetrics(m->capacity * 2);
      if (!grown) return false;
      for (u32 k = 0; k < m->capacity; k++)
        if (m->entries[k].used) *metricsSlot(grown, m->entries[k].id) = m->entries[k];
      grown->count = m->count;
      free(m);
      set->metrics = m = grown;
    }
    u32 id = get32(data + 4 * i);
    GlyphMetrics::Entry* entry = metricsSlot(m, id);
    const u8* info = data + 4ull * count + 12ull * i;
    if (!entry->used) m->count++;
    *entry = {id, 1, {get16(info), get16(info + 2), i16(get16(info + 4)), i16(get16(info + 6)),
                      i16(get16(info + 8)), i16(get16(info + 10))}};
  }
  return true;
}

void freeGlyphSetRecord(GlyphSetRecord* set) {
  for (GlyphUpload* upload = set->first; upload;) {
    GlyphUpload* next = upload->next;
    free(upload);
    upload = next;
  }
  free(set->names);
  free(set->metrics);
  free(set);
}

// One name of the set leaves; the set goes with its last name.
void destroyGlyphSetResource(u32 id, void* object) {
  auto* set = static_cast<GlyphSetRecord*>(object);
  for (u32 i = 0; i < set->nameCount; i++) {
    if (set->names[i] != id) continue;
    memmove(&set->names[i], &set->names[i + 1], sizeof(u32) * (set->nameCount - i - 1));
    set->nameCount--;
    break;
  }
  if (!set->nameCount) freeGlyphSetRecord(set);
}

MetaScreen* glyphSetScreenOf(u32, void* object) { return static_cast<GlyphSetRecord*>(object)->screen; }

bool addName(GlyphSetRecord* set, u32 id) {
  auto* names = static_cast<u32*>(memRealloc(set->names, sizeof(u32) * (set->nameCount + 1)));
  if (!names) return false;
  set->names = names;
  set->names[set->nameCount++] = id;
  return true;
}

struct GlyphForwarding {
  GlyphSetRecord* set;
  CopyRewrite rewrite;  // null: the glyph set id at byte 4 only
  bool failed;
};

void rewriteSetId(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_SERVER_ID, target.head));
}

struct Forward {
  const u8* request;
  u32 length;
  GlyphForwarding* f;
};

bool forwardOne(const RouteTarget& target, void* argument) {
  auto* w = static_cast<Forward*>(argument);
  if (!glyphSetOnHead(w->f->set, target.head)) return true;
  u8* copy = copyRequestToServer(w->request, w->length, target.link);
  if (!copy) return !(w->f->failed = true);
  (w->f->rewrite ? w->f->rewrite : rewriteSetId)(copy, w->length, target, w->f);
  swapServerRequest(target.link, copy, w->length, currentRequest.row->requestLayout);
  return true;
}

// To the heads of the set's screen, or of every screen for a set without
// one; BadAlloc when a copy could not be made.
void forwardGlyphRequest(GlyphForwarding* f, const u8* request, u32 length) {
  Forward w{request, length, f};
  forEachTarget(f->set->screen ? Route::kEveryHead : Route::kEveryScreen, forwardOne, &w);
  if (f->failed) sendXError(BadAlloc, 0, request, length, nullptr);
}

// --- AddGlyphs ------------------------------------------------------------------------

// The request for a zoomed head: the same glyph ids, the infos and images
// scaled for the head. False when it could not be written.
bool writeScaledGlyphs(RequestWriter* writer, u32 serverSet, const GlyphSetRecord* set, const u8* body, u32 count,
                       u32 bodyLength, const Head* head) {
  u64 infosAt = 4ull * count, imagesAt = 16ull * count;
  auto* infos = static_cast<xGlyphInfo*>(memdup(body + infosAt, 12ull * count));
  u8* images = nullptr;
  u32 imagesLength = 0;
  bool ok = infos && scaleGlyphs(head, set->format->depth, infos, count, body + imagesAt, u32(bodyLength - imagesAt),
                                 &images, &imagesLength);
  u64 size = 12 + imagesAt + imagesLength;
  u8* request = ok && size <= 0xffffffffu ? renderRequest(writer, X_RenderAddGlyphs, u32(size)) : nullptr;
  if (request) {
    put32(request + 4, serverSet);
    put32(request + 8, count);
    memcpy(request + 12, body, infosAt);
    memcpy(request + 12 + infosAt, infos, 12ull * count);
    memcpy(request + 12 + imagesAt, images, imagesLength);
    finishWriterRequest(writer, request, u32(size), "H-25");
  }
  free(infos);
  free(images);
  return request != nullptr;
}

struct AddForwarding {
  GlyphSetRecord* set;
  const u8* request;
  u32 length;
  bool failed;
};

bool addOnHead(const RouteTarget& target, void* argument) {
  auto* a = static_cast<AddForwarding*>(argument);
  if (!glyphSetOnHead(a->set, target.head)) return true;
  u32 count = get32(a->request + 8);
  u32 serverSet = translateXid(get32(a->request + 4), RT_SERVER_ID, target.head);
  if (target.head && target.head->scaler && count) {
    if (!writeScaledGlyphs(&target.link->writer, serverSet, a->set, a->request + 12, count, a->length - 12,
                           target.head))
      return !(a->failed = true);
    return true;
  }
  u8* copy = copyRequestToServer(a->request, a->length, target.link);
  if (!copy) return !(a->failed = true);
  put32(copy + 4, serverSet);
  swapServerRequest(target.link, copy, a->length, "H-25");
  return true;
}

GlyphUpload* keepUpload(GlyphSetRecord* set, const u8* body, u32 count, u32 length) {
  auto* upload = static_cast<GlyphUpload*>(memAlloc(sizeof(GlyphUpload) + length));
  if (!upload) return nullptr;
  upload->next = nullptr;
  upload->count = count;
  upload->length = length;
  memcpy(upload->data, body, length);
  if (set->last) set->last->next = upload;
  else set->first = upload;
  set->last = upload;
  return upload;
}

// The glyph at `index` of the upload: where its image starts and its size.
u32 uploadImageBytes(const GlyphUpload* upload, u32 index, u32 depth) {
  const u8* info = upload->data + 4ull * upload->count + 12ull * index;
  return glyphImageBytes(depth, get16(info), get16(info + 2));
}

bool listed(const u8* glyphs, u32 count, u32 id) {
  for (u32 i = 0; i < count; i++)
    if (get32(glyphs + 4 * i) == id) return true;
  return false;
}

// Keeps the glyphs of the upload that are not freed, in place; false when
// none is left.
bool pruneUpload(GlyphUpload* upload, const u8* glyphs, u32 count, u32 depth) {
  u32 n = upload->count;
  u8* ids = upload->data;
  u8* infos = upload->data + 4ull * n;
  u8* images = infos + 12ull * n;
  u64 readAt = 0, imageEnd = upload->length - 16ull * n;
  u32 kept = 0;
  // Infos and images move down; ids and infos are packed again below.
  u64 writeAt = 0;
  for (u32 i = 0; i < n; i++) {
    u32 bytes = uploadImageBytes(upload, i, depth);
    if (readAt + bytes > imageEnd) bytes = u32(imageEnd - readAt);
    if (!listed(glyphs, count, get32(ids + 4 * i))) {
      memmove(ids + 4 * kept, ids + 4 * i, 4);
      memmove(infos + 12 * kept, infos + 12 * i, 12);
      memmove(images + writeAt, images + readAt, bytes);
      writeAt += bytes;
      kept++;
    }
    readAt += bytes;
  }
  if (kept == n) return true;
  // The three parts were packed in their old places: close the gaps.
  memmove(upload->data + 4ull * kept, infos, 12ull * kept);
  memmove(upload->data + 16ull * kept, images, writeAt);
  upload->count = kept;
  upload->length = u32(16ull * kept + writeAt);
  return kept != 0;
}

}  // namespace

u32 glyphImageBytes(u32 depth, u32 width, u32 height) {
  u32 bitsPerPixel = depth == 1 ? 1 : depth == 4 ? 4 : depth == 8 ? 8 : 32;
  u64 bytes = (u64(width) * bitsPerPixel + 31) / 32 * 4 * height;
  return bytes > 0xffffffffu ? 0xffffffffu : u32(bytes);
}

void pruneGlyphUploads(GlyphSetRecord* set, const u8* glyphs, u32 count) {
  GlyphUpload* previous = nullptr;
  for (GlyphUpload* upload = set->first; upload;) {
    GlyphUpload* next = upload->next;
    if (pruneUpload(upload, glyphs, count, set->format ? set->format->depth : 8)) {
      previous = upload;
    } else {
      if (previous) previous->next = next;
      else set->first = next;
      if (set->last == upload) set->last = previous;
      free(upload);
    }
    upload = next;
  }
}

const xGlyphInfo* findGlyphInfo(GlyphSetRecord* set, u32 glyph) {
  if (!set->metrics) {
    set->metrics = newMetrics(64);
    for (const GlyphUpload* upload = set->first; upload && set->metrics; upload = upload->next) {
      if (enterGlyphs(set, upload->data, upload->count)) continue;
      free(set->metrics);
      set->metrics = nullptr;
    }
    if (!set->metrics) return nullptr;
  }
  const GlyphMetrics::Entry* entry = metricsSlot(set->metrics, glyph);
  return entry->used ? &entry->info : nullptr;
}

GlyphSetRecord* lookupGlyphSet(u32 id) {
  return id ? static_cast<GlyphSetRecord*>(lookupResourceByType(id, RT_GLYPHSET)) : nullptr;
}

bool glyphSetOnHead(const GlyphSetRecord* set, const Head* head) {
  return !set || !set->screen || !head || head->metaScreen == set->screen;
}

void registerGlyphSetType() {
  registerResourceType({RT_GLYPHSET, "GLYPHSET", destroyGlyphSetResource, glyphSetScreenOf, nullptr});
}

// --- Handlers -------------------------------------------------------------------------

void ProcRenderCreateGlyphSet(u8* request, u32 length) {
  u32 id = get32(request + 4), formatId = get32(request + 8);
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  const ProxyPictFormat* format = findPictFormat(formatId);
  if (!format) return sendExtensionError(kBadPictFormat, formatId, request, length, nullptr);
  auto* set = static_cast<GlyphSetRecord*>(memCalloc(1, sizeof(GlyphSetRecord)));
  if (!set || !addName(set, id)) {
    free(set);
    return sendXError(BadAlloc, 32, request, length, nullptr);
  }
  set->format = format;
  set->screen = pictFormatScreen(format);
  if (!addResource(id, RT_GLYPHSET, set)) return sendXError(BadAlloc, 32, request, length, nullptr);
  setRequestResource(currentClient, id);
  GlyphForwarding f{set, [](u8* copy, u32, const RouteTarget& target, void*) {
                      put32(copy + 4, translateXid(get32(copy + 4), RT_SERVER_ID, target.head));
                      put32(copy + 8, renderFormatForHead(get32(copy + 8), target.head));
                    },
                    false};
  forwardGlyphRequest(&f, request, length);
}

// The new id becomes a second name of the same record, so that freeing
// either works and a joining server is given both.
void ProcRenderReferenceGlyphSet(u8* request, u32 length) {
  u32 id = get32(request + 4), existing = get32(request + 8);
  GlyphSetRecord* set = lookupGlyphSet(existing);
  if (!set) return sendExtensionError(kBadGlyphSet, existing, request, length, nullptr);
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  if (!addName(set, id)) return sendXError(BadAlloc, 0, request, length, nullptr);
  if (!addResource(id, RT_GLYPHSET, set)) return sendXError(BadAlloc, 0, request, length, nullptr);
  setRequestResource(currentClient, existing);
  GlyphForwarding f{set, [](u8* copy, u32, const RouteTarget& target, void*) {
                      put32(copy + 4, translateXid(get32(copy + 4), RT_SERVER_ID, target.head));
                      put32(copy + 8, translateXid(get32(copy + 8), RT_SERVER_ID, target.head));
                    },
                    false};
  forwardGlyphRequest(&f, request, length);
}

void ProcRenderFreeGlyphSet(u8* request, u32 length) {
  u32 id = get32(request + 4);
  GlyphSetRecord* set = lookupGlyphSet(id);
  if (!set) return sendExtensionError(kBadGlyphSet, id, request, length, nullptr);
  setRequestResource(currentClient, id);
  GlyphForwarding f{set, nullptr, false};
  forwardGlyphRequest(&f, request, length);
  freeResourceById(id, RT_NONE);
}

void ProcRenderAddGlyphs(u8* request, u32 length) {
  u32 id = get32(request + 4), count = get32(request + 8);
  if (16ull * count > length - 12) return sendXError(BadLength, length, request, length, nullptr);
  GlyphSetRecord* set = lookupGlyphSet(id);
  if (!set) return sendExtensionError(kBadGlyphSet, id, request, length, nullptr);
  if (count && !keepUpload(set, request + 12, count, length - 12))
    return sendXError(BadAlloc, 0, request, length, nullptr);
  if (set->metrics && !enterGlyphs(set, request + 12, count)) {
    free(set->metrics);  // made again when next asked for
    set->metrics = nullptr;
  }
  setRequestResource(currentClient, id);
  AddForwarding a{set, request, length, false};
  forEachTarget(set->screen ? Route::kEveryHead : Route::kEveryScreen, addOnHead, &a);
  if (a.failed) sendXError(BadAlloc, 0, request, length, nullptr);
}

// Freed glyphs leave the kept uploads too: a long-lived client would grow
// the proxy for ever, and a joining server would get them back.
void ProcRenderFreeGlyphs(u8* request, u32 length) {
  u32 id = get32(request + 4);
  GlyphSetRecord* set = lookupGlyphSet(id);
  if (!set) return sendExtensionError(kBadGlyphSet, id, request, length, nullptr);
  u32 count = (length - 8) / 4;
  pruneGlyphUploads(set, request + 8, count);
  free(set->metrics);
  set->metrics = nullptr;
  setRequestResource(currentClient, id);
  GlyphForwarding f{set, nullptr, false};
  forwardGlyphRequest(&f, request, length);
}

// --- A joining head --------------------------------------------------------------------

namespace {

bool writeGlyphSet(GlyphSetRecord* set, ProxyClient* client, RequestWriter* writer, Head* head) {
  auto id = [&](u32 clientId) { return head ? translateXid(clientId, RT_SERVER_ID, head) : clientId; };
  u8* create = renderRequest(writer, X_RenderCreateGlyphSet, 12);
  if (!create) return false;
  put32(create + 4, id(set->names[0]));
  put32(create + 8, head ? renderFormatForHead(set->format->id, head) : set->format->id);
  finishWriterRequest(writer, create, 12, "bbsii");
  for (const GlyphUpload* upload = set->first; upload; upload = upload->next) {
    if (head && head->scaler) {
      if (!writeScaledGlyphs(writer, id(set->names[0]), set, upload->data, upload->count, upload->length, head))
        return false;
      continue;
    }
    u8* add = renderRequest(writer, X_RenderAddGlyphs, 12 + upload->length);
    if (!add) return false;
    put32(add + 4, id(set->names[0]));
    put32(add + 8, upload->count);
    memcpy(add + 12, upload->data, upload->length);
    finishWriterRequest(writer, add, 12 + upload->length, "H-25");
  }
  for (u32 i = 1; i < set->nameCount; i++) {
    u8* reference = renderRequest(writer, X_RenderReferenceGlyphSet, 12);
    if (!reference) return false;
    put32(reference + 4, id(set->names[i]));
    put32(reference + 8, id(set->names[0]));
    finishWriterRequest(writer, reference, 12, "bbsii");
  }
  (void)client;
  return true;
}

RequestWriter* writerFor(ProxyClient* client, RequestWriter* writer, Head* head) {
  if (!head) return writer;
  ServerLink* link = client ? clientLink(client, head->serverIndex) : nullptr;
  return link ? &link->writer : nullptr;
}

}  // namespace

int copyGlyphSetsToDisplay(RequestWriter* writer, Head* head) {
  u32 count = 0;
  u32* ids = listResourceIdsOfType(RT_GLYPHSET, &count);
  LOGF(logChStep, "Copying %d render glyph sets...", int(count));
  int ok = 1;
  for (u32 i = count; i-- > 0 && ok;) {
    GlyphSetRecord* set = lookupGlyphSet(ids[i]);
    // A set is written once, under its first name, with the others after it.
    if (!set || set->names[0] != ids[i] || !glyphSetOnHead(set, head)) continue;
    ProxyClient* client = findClientByXid(ids[i]);
    RequestWriter* w = writerFor(client, writer, head);
    if (w && !writeGlyphSet(set, client, w, head)) ok = 0;
  }
  free(ids);
  return ok;
}

namespace {

int copyPicture(u32 id, void* object, ProxyClient* client, void* argument, Head* head) {
  auto* p = static_cast<PictureRecord*>(object);
  bool secondPass = *static_cast<int*>(argument);
  bool late = p->format && p->alphaMap;
  if (late != secondPass || !pictureOnHead(p, head)) return 1;
  RequestWriter* w = writerFor(client, static_cast<RequestWriter*>(nullptr), head);
  if (!w) return 1;
  u32 drawable = pictureDrawable(p);
  u32 serverDrawable = head ? translateXid(drawable, RT_DRAWABLE, head) : drawable;
  if (p->pixmap && head) serverDrawable = translateXid(drawable, RT_PIXMAP, head);
  return replicatePicture(p, client, w, head, head ? translateXid(id, RT_SERVER_ID, head) : id, serverDrawable);
}

}  // namespace

int copyPicturesToDisplay(RequestWriter* writer, Head* head) {
  if (!head) return writer ? 1 : 0;  // recordings take pictures through their own sink
  for (int pass = 0; pass < 2; pass++)
    if (!forEachResourceOfType(RT_PICTURE, copyPicture, &pass, head)) return 0;
  return 1;
}

}  // namespace palvon
