// RENDER: the request table, the module's start and the queries.
#include "Xext/render/render.h"

#include <X11/X.h>
#include <X11/extensions/render.h>

#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/renderhook.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/drawableusers.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/resourcefacts.h"
#include "Xext/extmodule.h"
#include "Xext/render/internal.h"
#include "Xext/swap/byteswap.h"
#include "base/logging.h"

namespace palvon {

namespace {

// --- Queries ----------------------------------------------------------------------------

// The servers' versions never reach the client: it gets the one offered.
void ReplyRenderQueryVersion(u8* reply, u32 length) {
  if (length >= 16) {
    u16 version = offeredVersion(kModuleRender);
    put32(reply + 8, version / 64);
    put32(reply + 12, version % 64);
  }
  sendReplyToClient(reply, length, "bbsiii");
}

// Answered from the proxy's own set: the ids are the proxy's, and a format
// the heads do not all have is not offered.
void ProcRenderQueryPictFormats(u8* request, u32) {
  ProxyClient* client = currentClient;
  u32 screens[256];
  u32 screenCount = 0;
  for (MetaScreen* s = proxyState.screens; s && screenCount < 256; s = s->next) screens[screenCount++] = s->number;
  u32 size = pictFormatsReplySize(renderState.formats, renderState.formatCount, screens, screenCount);
  auto* reply = size ? static_cast<u8*>(memAlloc(size)) : nullptr;
  if (!reply) {
    PALVON_OOM();
    return;
  }
  writePictFormatsReply(reply, renderState.formats, renderState.formatCount, screens, screenCount);
  put16(reply + 2, u16(client->requestCounter));
  sendComposedReply(request[0], request[1], reply, size, "H-30", client);
  free(reply);
}

void rewriteFormat(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, renderFormatForHead(get32(copy + 4), target.head));
}

void ProcRenderQueryPictIndexValues(u8* request, u32 length) {
  u32 format = get32(request + 4);
  if (!findPictFormat(format)) return sendExtensionError(0, format, request, length, nullptr);
  forwardRequest(request, length, rewriteFormat);
}

void rewriteFiltersDrawable(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, mapDrawableToHead(get32(copy + 4), target.head));
}

void ProcRenderQueryFilters(u8* request, u32 length) {
  setRequestResource(currentClient, get32(request + 4));
  forwardRequest(request, length, rewriteFiltersDrawable);
}

// The alias list is of 16-bit words, which the header layout leaves alone:
// turned once when the server's order differs and once for a client of the
// other order, so that it reaches the client in the client's order.
void ReplyRenderQueryFilters(u8* reply, u32 length) {
  bool serverSwaps = currentLink && currentLink->writer.swap;
  bool clientSwaps = currentClient && currentClient->parser.swapped;
  if (length >= 32 && serverSwaps != clientSwaps) {
    u64 aliases = get32(reply + 8);
    swapArray16(aliases, reply + 32, reply + length);
  }
  sendReplyToClient(reply, length, "bbsiii");
}

// Requests the servers are not asked: the bad value is the minor.
void ProcRenderNotImplemented(u8* request, u32 length) { sendXError(BadImplementation, request[1], request, length, nullptr); }

// --- The table ---------------------------------------------------------------------------

struct RenderRow {
  u8 from;  // the lowest offered minor version that has the request
  RequestRow row;
};

constexpr RenderRow kRows[] = {
    {0, {X_RenderQueryVersion, "RenderQueryVersion", forwardOrAnswer, ReplyRenderQueryVersion, "bbsii", "bbsiii",
         exactSize(12), Route::kMainHead}},
    {0, {X_RenderQueryPictFormats, "RenderQueryPictFormats", ProcRenderQueryPictFormats, nullptr, "bbs", "H30",
         exactSize(4), Route::kLocal}},
    {7, {X_RenderQueryPictIndexValues, "RenderQueryPictIndexValues", ProcRenderQueryPictIndexValues, nullptr, "bbsi",
         "bbsiiiiiii[issss]", atLeastSize(8), Route::kMainHead}},
    {0, {X_RenderQueryDithers, "RenderQueryDithers", ProcRenderNotImplemented, nullptr, "bbs", "", anySize(),
         Route::kNone}},
    {0, {X_RenderCreatePicture, "RenderCreatePicture", ProcRenderCreatePicture, nullptr, "bbsI", "",
         maskSize(20, 16, 4), Route::kEveryHead}},
    {0, {X_RenderChangePicture, "RenderChangePicture", ProcRenderChangePicture, nullptr, "bbsI", "",
         maskSize(12, 8, 4), Route::kEveryHead}},
    {0, {X_RenderSetPictureClipRectangles, "RenderSetPictureClipRectangles", ProcRenderSetPictureClipRectangles,
         nullptr, "bbsiS", "", listSize(12, 8), Route::kEveryHead}},
    {0, {X_RenderFreePicture, "RenderFreePicture", ProcRenderFreePicture, nullptr, "bbsi", "", exactSize(8),
         Route::kEveryHead}},
    {0, {X_RenderComposite, "RenderComposite", ProcRenderComposite, nullptr, "bbsbbsiiiS", "", exactSize(36),
         Route::kEveryHead}},
    {0, {X_RenderScale, "RenderScale", ProcRenderScale, nullptr, "bbsiiiiS", "", exactSize(32), Route::kEveryHead}},
    {4, {X_RenderTrapezoids, "RenderTrapezoids", ProcRenderTrapezoids, nullptr, "bbsbbsiiissI", "",
         listSize(24, 40), Route::kEveryHead}},
    {4, {X_RenderTriangles, "RenderTriangles", ProcRenderTriangles, nullptr, "bbsbbsiiissI", "", listSize(24, 24),
         Route::kEveryHead}},
    {4, {X_RenderTriStrip, "RenderTriStrip", ProcRenderTriangles, nullptr, "bbsbbsiiissI", "", listSize(24, 8),
         Route::kEveryHead}},
    {4, {X_RenderTriFan, "RenderTriFan", ProcRenderTriangles, nullptr, "bbsbbsiiissI", "", listSize(24, 8),
         Route::kEveryHead}},
    {0, {X_RenderColorTrapezoids, "RenderColorTrapezoids", ProcRenderNotImplemented, nullptr, "bbs", "", anySize(),
         Route::kNone}},
    {0, {X_RenderColorTriangles, "RenderColorTriangles", ProcRenderNotImplemented, nullptr, "bbs", "", anySize(),
         Route::kNone}},
    {0, {X_RenderCreateGlyphSet, "RenderCreateGlyphSet", ProcRenderCreateGlyphSet, nullptr, "bbsii", "",
         exactSize(12), Route::kEveryHead}},
    {0, {X_RenderReferenceGlyphSet, "RenderReferenceGlyphSet", ProcRenderReferenceGlyphSet, nullptr, "bbsii", "",
         exactSize(12), Route::kEveryHead}},
    {0, {X_RenderFreeGlyphSet, "RenderFreeGlyphSet", ProcRenderFreeGlyphSet, nullptr, "bbsi", "", exactSize(8),
         Route::kEveryHead}},
    {0, {X_RenderAddGlyphs, "RenderAddGlyphs", ProcRenderAddGlyphs, nullptr, "H25", "", atLeastSize(12),
         Route::kEveryHead}},
    {0, {X_RenderAddGlyphsFromPicture, "RenderAddGlyphsFromPicture", ProcRenderNotImplemented, nullptr, "bbs", "",
         anySize(), Route::kNone}},
    {3, {X_RenderFreeGlyphs, "RenderFreeGlyphs", ProcRenderFreeGlyphs, nullptr, "bbsI", "", listSize(8, 4),
         Route::kEveryHead}},
    {0, {X_RenderCompositeGlyphs8, "RenderCompositeGlyphs8", ProcRenderCompositeGlyphs, nullptr, "H27", "",
         atLeastSize(28), Route::kEveryHead}},
    {0, {X_RenderCompositeGlyphs16, "RenderCompositeGlyphs16", ProcRenderCompositeGlyphs, nullptr, "H28", "",
         atLeastSize(28), Route::kEveryHead}},
    {0, {X_RenderCompositeGlyphs32, "RenderCompositeGlyphs32", ProcRenderCompositeGlyphs, nullptr, "H29", "",
         atLeastSize(28), Route::kEveryHead}},
    {0, {X_RenderFillRectangles, "RenderFillRectangles", ProcRenderFillRectangles, nullptr, "bbsbbsiS", "",
         listSize(20, 8), Route::kEveryHead}},
    {5, {X_RenderCreateCursor, "RenderCreateCursor", ProcRenderCreateCursor, nullptr, "bbsiiss", "", exactSize(16),
         Route::kEveryScreen}},
    {6, {X_RenderSetPictureTransform, "RenderSetPictureTransform", ProcRenderSetPictureTransform, nullptr, "bbsI",
         "", exactSize(44), Route::kEveryHead}},
    {6, {X_RenderQueryFilters, "RenderQueryFilters", ProcRenderQueryFilters, ReplyRenderQueryFilters, "bbsi",
         "bbsiii", exactSize(8), Route::kMainHead}},
    {6, {X_RenderSetPictureFilter, "RenderSetPictureFilter", ProcRenderSetPictureFilter, nullptr, "H26", "",
         atLeastSize(12), Route::kEveryHead}},
    {8, {X_RenderCreateAnimCursor, "RenderCreateAnimCursor", ProcRenderCreateAnimCursor, nullptr, "bbsI", "",
         anySize(), Route::kEveryScreen}},
    {9, {X_RenderAddTraps, "RenderAddTraps", ProcRenderAddTraps, nullptr, "bbsissI", "", listSize(12, 24),
         Route::kEveryHead}},
    {10, {X_RenderCreateSolidFill, "RenderCreateSolidFill", ProcRenderCreateSourcePicture, nullptr, "bbsissss", "",
          exactSize(16), Route::kEveryScreen}},
    {10, {X_RenderCreateLinearGradient, "RenderCreateLinearGradient", ProcRenderCreateSourcePicture, nullptr,
          "bbsiiiiii", "", atLeastSize(28), Route::kEveryScreen}},
    {10, {X_RenderCreateRadialGradient, "RenderCreateRadialGradient", ProcRenderCreateSourcePicture, nullptr,
          "bbsiiiiiiii", "", atLeastSize(36), Route::kEveryScreen}},
    {10, {X_RenderCreateConicalGradient, "RenderCreateConicalGradient", ProcRenderCreateSourcePicture, nullptr,
          "bbsiiiii", "", atLeastSize(24), Route::kEveryScreen}},
};

// The rows of the offered version: a client must not use what some server
// lacks.
RequestRow offeredRows[rowCount(kRows)];

// The five errors in code order. A picture or glyph-set id goes back to
// the client's; the others are values of the client's own choosing.
constexpr ErrorRow kErrors[] = {
    {0, "BadPictFormat", nullptr, ErrorValue::kText},
    {1, "BadPicture", nullptr, ErrorValue::kResourceId},
    {2, "BadPictOp", nullptr, ErrorValue::kText},
    {3, "BadGlyphSet", nullptr, ErrorValue::kResourceId},
    {4, "BadGlyph", nullptr, ErrorValue::kText},
};

// A joining server's head (its formats were matched as it joined its
// screen): every glyph set and picture made there.
const char* copyRenderToHead(ExtensionEntry*, void* copyState) {
  auto* head = static_cast<Head*>(copyState);
  if (!copyGlyphSetsToDisplay(nullptr, head) || !copyPicturesToDisplay(nullptr, head)) return PALVON_OOM();
  return nullptr;
}

}  // namespace

const char* initRenderExtension(ExtensionEntry* entry) {
  if (const char* refusal = buildPictFormats(entry)) {
    freePictFormats();
    return refusal;
  }
  registerPictureType();
  registerGlyphSetType();
  u32 minor = entry->version % 64, count = 0;
  for (const RenderRow& r : kRows)
    if (entry->version >= 64 || r.from <= minor) offeredRows[count++] = r.row;
  const char* refusal = registerModule(entry, RENDER_NAME, {offeredRows, count, nullptr, 0, kErrors, rowCount(kErrors)},
                                       {kModuleRender, nullptr, resetRenderExtension, false});
  if (refusal) {
    freePictFormats();
    return refusal;
  }
  entry->copyHook = copyRenderToHead;
  pictFormatForHeadHook = renderFormatForHead;
  adjustPictFormatsHook = adjustPictFormats;
  pictureFrameHook = renderPictureFrame;
  drawableUserHooks.freeWindowPictures = freeWindowPictures;
  resourceFactHooks = {describeRenderResource, renderResourceWindow};
  return nullptr;
}

}  // namespace palvon
