// The RENDER module's format translation as the core's cursor and pixel
// paths call it: through a hook, since the core does not link the modules.
#include "Proxy/heads/pending.h"

namespace palvon {

u32 (*pictFormatForHeadHook)(u32 format, const Head* head);

u32 pictFormatForHead(u32 format, const Head* head) {
  return pictFormatForHeadHook ? pictFormatForHeadHook(format, head) : format;
}

const char* (*adjustPictFormatsHook)(Head* head);

const char* adjustPictFormatsForHead(Head* head) { return adjustPictFormatsHook ? adjustPictFormatsHook(head) : nullptr; }

}  // namespace palvon
