// The multimedia extension module. The proxy offers no multimedia:
// multimediaInit refuses, so the registry withdraws the extension and no
// client ever holds a stream.
#pragma once

#include "Proxy/dispatch/extensions.h"

namespace palvon {

// Refuses with a message (multimedia is not offered).
const char* multimediaInit(ExtensionEntry* entry);

}  // namespace palvon
