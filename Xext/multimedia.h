// Multimedia streams as far as the rest of the proxy calls them. The proxy
// offers no multimedia: multimediaInit refuses, so the registry withdraws
// the extension and no client ever holds a stream.
#pragma once

#include "Proxy/extensions.h"

namespace palvon {

struct MultimediaStream;

// Refuses with a message (multimedia is not offered).
const char* multimediaInit(ExtensionEntry* entry);
// Null: there is no stream to close.
const char* multimediaFreeClientStream(MultimediaStream* stream, bool keeping);

}  // namespace palvon
