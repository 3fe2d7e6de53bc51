// The RENDER module's format translation as the core's cursor and pixel
// paths call it: through hooks the module installs while it runs, since the
// core does not link the modules.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;

// The picture-format id on the head's server; unchanged without the module.
u32 pictFormatForHead(u32 format, const Head* head);
extern u32 (*pictFormatForHeadHook)(u32 format, const Head* head);
// A joining head gets the module's formats matched before anything made
// there names one (cursors and pictures); null or an error text.
const char* adjustPictFormatsForHead(Head* head);
extern const char* (*adjustPictFormatsHook)(Head* head);

}  // namespace palvon
