#include "Xext/video/multimedia.h"

namespace palvon {

const char* multimediaInit(ExtensionEntry*) { return "Multimedia streams are not supported by this proxy"; }

}  // namespace palvon
