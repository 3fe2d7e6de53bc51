// Matching the visuals of a meta screen to the visuals of its heads: which
// head visual shows each meta visual, and narrowing the meta visuals to
// what every head can show.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "xsupport/misc.h"

namespace palvon {

VisualMatchContext visualMatchContext = {true, false};

namespace {

bool isSloppy(const Head* head) { return head && (head->tags & kHeadTagSloppyVisuals); }

// The GL part of a head visual's cost for a meta visual.
u32 scoreGLMatch(const VisualRecord* meta, const VisualRecord* candidate, const Head* head) {
  if (!meta->glxVersion) return candidate->glxVersion ? 5 : 0;
  if (!candidate->glxVersion) {
    if (isSloppy(head)) return 30;
    // Dropping GL from a visual that clients may already use is not allowed.
    return visualMatchContext.clientsConnected ? kVisualIncompatible : 500000;
  }
  if (meta->rgba != candidate->rgba || meta->level != candidate->level || meta->stereo != candidate->stereo)
    return kVisualIncompatible;
  u32 score = meta->doubleBuffer != candidate->doubleBuffer ? 10 : 0;
  const u8 colorSizes[2][8] = {
      {meta->redSize, meta->greenSize, meta->blueSize, meta->alphaSize, meta->accumRedSize, meta->accumGreenSize,
       meta->accumBlueSize, meta->accumAlphaSize},
      {candidate->redSize, candidate->greenSize, candidate->blueSize, candidate->alphaSize,
       candidate->accumRedSize, candidate->accumGreenSize, candidate->accumBlueSize, candidate->accumAlphaSize}};
  for (u32 i = 0; i < 8; i++) {
    if (colorSizes[0][i] > colorSizes[1][i]) return kVisualIncompatible;
    if (colorSizes[0][i] < colorSizes[1][i]) score += 5;
  }
  const u32 bufferSizes[2][5] = {
      {meta->depthSize, meta->stencilSize, meta->auxBuffers, meta->fbConfig[kFbSampleBuffers],
       meta->fbConfig[kFbSamples]},
      {candidate->depthSize, candidate->stencilSize, candidate->auxBuffers, candidate->fbConfig[kFbSampleBuffers],
       candidate->fbConfig[kFbSamples]}};
  for (u32 i = 0; i < 5; i++) {
    if (bufferSizes[0][i] > bufferSizes[1][i]) score += 100;
    if (bufferSizes[0][i] < bufferSizes[1][i]) score += 5;
  }
  return score;
}

u32 scoreHeadVisual(const VisualRecord* meta, const VisualRecord* candidate, const Head* head) {
  u32 score = 0;
  if (meta->depth > candidate->depth) return kVisualIncompatible;
  if (meta->depth < candidate->depth) {
    // A shallower visual is shown only on a depth the head maps to this one.
    if (!head || meta->depth >= head->depthTableSize || meta->depth >= sizeof(head->depthTable) ||
        head->depthTable[meta->depth] != candidate->depth)
      return kVisualIncompatible;
    score += 50;
  }
  score += scoreVisualMatch(meta, candidate, 0);
  if (score >= kVisualIncompatible) return kVisualIncompatible;
  if (visualMatchContext.glxEnabled) score += scoreGLMatch(meta, candidate, head);
  return std::min(score, kVisualIncompatible);
}

template <typename T>
void narrow(T& meta, T head) {
  meta = std::min(meta, head);
}

// Narrows a meta visual to what its match on a head can show.
void reconcileWithMatch(VisualRecord* meta, const VisualRecord* match) {
  narrow(meta->depth, match->depth);
  narrow(meta->colormapSize, match->colormapSize);
  narrow(meta->bitsPerRgb, match->bitsPerRgb);
  if ((meta->visualClass == kClassTrueColor || meta->visualClass == kClassDirectColor) &&
      meta->redBits > match->redBits && meta->greenBits >= match->greenBits && meta->blueBits >= match->blueBits) {
    meta->redMask = match->redMask, meta->greenMask = match->greenMask, meta->blueMask = match->blueMask;
    meta->redShift = match->redShift, meta->greenShift = match->greenShift, meta->blueShift = match->blueShift;
    meta->redBits = match->redBits, meta->greenBits = match->greenBits, meta->blueBits = match->blueBits;
  }
  if (meta->dbeCapable && match->dbeCapable) {
    narrow(meta->dbePerfLevel, match->dbePerfLevel);
  } else {
    meta->dbeCapable = 0;
    meta->dbePerfLevel = 0;
  }
  if (meta->glxVersion && match->glxVersion) {
    narrow(meta->doubleBuffer, match->doubleBuffer);
    narrow(meta->stereo, match->stereo);
    u8* metaSizes[] = {&meta->redSize,      &meta->greenSize,      &meta->blueSize,       &meta->alphaSize,
                       &meta->accumRedSize, &meta->accumGreenSize, &meta->accumBlueSize, &meta->accumAlphaSize,
                       &meta->bufferSize,   &meta->depthSize,      &meta->stencilSize};
    const u8 matchSizes[] = {match->redSize,      match->greenSize,      match->blueSize,
                             match->alphaSize,    match->accumRedSize,   match->accumGreenSize,
                             match->accumBlueSize, match->accumAlphaSize, match->bufferSize,
                             match->depthSize,    match->stencilSize};
    for (u32 i = 0; i < sizeof(matchSizes); i++) narrow(*metaSizes[i], matchSizes[i]);
    narrow(meta->auxBuffers, match->auxBuffers);
  } else {
    // Everything from the GLX version to the frame-buffer attributes.
    auto* first = reinterpret_cast<u8*>(&meta->glxVersion);
    auto* end = reinterpret_cast<u8*>(&meta->fbConfig[kFbConfigAttributes]);
    memset(first, 0, end - first);
  }
}

}  // namespace

VisualRecord* findMatchingHeadVisual(VisualRecord* metaVisual, VisualRecord* headVisuals, i32 headCount,
                                     const Head* head, [[maybe_unused]] i32 metaCount, bool reconcile) {
  VisualRecord* best = nullptr;
  u32 bestScore = kVisualIncompatible;
  for (i32 i = headCount - 1; i >= 0 && bestScore; i--) {
    u32 score = scoreHeadVisual(metaVisual, &headVisuals[i], head);
    if (score < bestScore) {
      bestScore = score;
      best = &headVisuals[i];
    }
  }
  if (best && isSloppy(head) && bestScore >= 500000) best = nullptr;
  if (best && reconcile) reconcileWithMatch(metaVisual, best);
  return best;
}

const char* buildHeadVisualMatches(Head* head, MetaScreen* screen) {
  i32 count = std::max(screen->visualCount, 0);
  freeHeadVisuals(head->visualMatches, head->visualMatchCount);
  head->visualMatchCount = 0;
  head->pixelsAsIs = 0;
  head->visualMatches = static_cast<VisualRecord*>(memCalloc(count ? count : 1, sizeof(VisualRecord)));
  if (!head->visualMatches) return PALVON_OOM();
  head->visualMatchCount = count;
  for (i32 i = 0; i < count; i++) {
    VisualRecord* meta = &screen->visuals[i];
    VisualRecord* match = findMatchingHeadVisual(meta, head->visuals, head->visualCount, head, count, false);
    if (!match) {
      if (isSloppy(head)) continue;
      return tmpPrintf("Display %s has no visual %s - Make sure the common visuals are specified in your "
                       "configuration",
                       xFullDisplayName(head->display), describeVisual(meta));
    }
    if (!copyVisualRecord(match, &head->visualMatches[i])) return PALVON_OOM();
    if (detailFlags & kDetailVisuals)
      LOGF(logChInfo, "visual #%u = %s", meta->visualId, describeVisual(&head->visualMatches[i]));
  }
  bool asIs = true;
  for (i32 i = 0; i < count && asIs; i++) {
    const VisualRecord* match = &head->visualMatches[i];
    if (match->visualId && headVisualConverts(&screen->visuals[i], match)) asIs = false;
  }
  head->pixelsAsIs = asIs;
  return nullptr;
}

VisualRecord* lookupHeadVisual(const VisualRecord* metaVisual, const Head* head) {
  if (!metaVisual || !head || !head->display || !head->visualMatches || !head->metaScreen) return nullptr;
  const MetaScreen* screen = head->metaScreen;
  if (!screen->visuals || screen->visualCount <= 0) return nullptr;
  // By the id's distance from the first id; a search when ids have gaps.
  i64 slot = static_cast<i64>(metaVisual->visualId) - screen->visuals[0].visualId;
  if (slot < 0 || slot >= screen->visualCount || screen->visuals[slot].visualId != metaVisual->visualId) {
    slot = -1;
    for (i32 i = 0; i < screen->visualCount && slot < 0; i++) {
      if (screen->visuals[i].visualId == metaVisual->visualId) slot = i;
    }
    if (slot < 0) return nullptr;
  }
  return headVisualAt(head, i32(slot));
}

VisualRecord* headVisualAt(const Head* head, i32 slot) {
  if (!head->display || !head->visualMatches || slot < 0) return nullptr;
  if (slot >= head->visualMatchCount) return nullptr;  // matches of an older visual list
  VisualRecord* match = &head->visualMatches[slot];
  return match->visualId ? match : nullptr;
}

const char* reconcileMetaVisuals(MetaScreen* screen) {
  for (Head* head = screen->heads; head; head = head->next) {
    if (!head->display) continue;
    for (i32 i = 0; i < screen->visualCount;) {
      VisualRecord* meta = &screen->visuals[i];
      if (findMatchingHeadVisual(meta, head->visuals, head->visualCount, head, screen->visualCount, true) ||
          isSloppy(head)) {
        i++;
        continue;
      }
      LOGF(logChXhint, "No %s at %s", describeVisual(meta), head->name);
      clearVisualGamma(meta);
      memmove(meta, meta + 1, sizeof(VisualRecord) * (screen->visualCount - i - 1));
      screen->visualCount--;
    }
  }
  if (screen->visualCount <= 0)
    return "No visuals left after adjusting - Maybe color tag not set to the screen with the least significant "
           "visual bits";
  return nullptr;
}

void logMetaVisualDetails(const MetaScreen* screen) {
  if (!(detailFlags & kDetailVisuals)) return;
  for (i32 i = 0; i < screen->visualCount; i++) {
    const VisualRecord* meta = &screen->visuals[i];
    LOGF(logChInfo, "%s%s", describeVisual(meta), meta == screen->rootVisual ? " [default]" : "");
    for (const Head* head = screen->heads; head; head = head->next) {
      const VisualRecord* match = lookupHeadVisual(meta, head);
      if (match) LOGF(logChInfo, "  %s@%s", describeVisual(match), head->name);
    }
  }
}

}  // namespace palvon
