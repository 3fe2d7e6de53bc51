// The RENDER module's format translation as the core calls it.
#include "Proxy/dispatch/renderhook.h"

namespace palvon {

u32 (*pictFormatForHeadHook)(u32 format, const Head* head);

u32 pictFormatForHead(u32 format, const Head* head) {
  return pictFormatForHeadHook ? pictFormatForHeadHook(format, head) : format;
}

const char* (*adjustPictFormatsHook)(Head* head);

const char* adjustPictFormatsForHead(Head* head) { return adjustPictFormatsHook ? adjustPictFormatsHook(head) : nullptr; }

}  // namespace palvon
