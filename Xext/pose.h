// The recording extension module. The proxy offers no recording: poseInit
// refuses, so the registry withdraws the extension, no client can start a
// recording, and the recording service hooks stay empty.
#pragma once

#include "Proxy/extensions.h"

namespace palvon {

// Refuses with a message (recording is not offered).
const char* poseInit(ExtensionEntry* entry);

}  // namespace palvon
