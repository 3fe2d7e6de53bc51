// The GLX extension module. The proxy offers no GLX: the module's init
// refuses, so the registry withdraws the extension and no client ever sees
// it; without GLX objects the GLX service hooks stay empty.
#pragma once

#include "Proxy/dispatch/extensions.h"

namespace palvon {

// Refuses with a message (GLX is not offered).
const char* initGLXExtension(ExtensionEntry* entry);

}  // namespace palvon
