// The recording extension module. The proxy offers no recording: poseInit
// refuses, so the registry withdraws the extension, no client can start a
// recording, and the recording service hooks stay empty.
#pragma once

#include "Proxy/dispatch/extensions.h"
#include "Proxy/dispatch/services.h"

namespace palvon {

// Refuses with a message (recording is not offered).
const char* poseInit(ExtensionEntry* entry);

// The recording's services under their own names, for the layers below:
// each goes through the hook the module installs, and does nothing while
// none is installed.
inline void recordScreenChange(MetaScreen* screen, u32 changeMask) {
  if (serviceHooks.recordScreenChange) serviceHooks.recordScreenChange(screen, changeMask);
}
inline int poseRecordFont(void* font, void* sink, void* filter) {
  return serviceHooks.recordFont ? serviceHooks.recordFont(font, sink, filter) : 1;
}
inline void poseForgetFont(u32 id) {
  if (serviceHooks.forgetFont) serviceHooks.forgetFont(id);
}

}  // namespace palvon
