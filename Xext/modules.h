// The table of extension modules the proxy is built with. main hands it to
// the extension registry (setExtensionModules) before the start-up, so the
// proxy core never refers to a module itself.
#pragma once

#include "Proxy/dispatch/extensions.h"

namespace palvon {

// The rows {name, default version, init}; a row without an init is known
// (it has a default version) but has no module yet, so it is never offered.
const ExtensionModule* builtinExtensionModules(u32* count);
// setExtensionModules with the table above.
void installBuiltinExtensionModules();

}  // namespace palvon
