#include "Xext/small/glx.h"

namespace palvon {

const char* initGLXExtension(ExtensionEntry*) { return "GLX is not supported by this proxy"; }

}  // namespace palvon
