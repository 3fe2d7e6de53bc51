#include "Xext/small/pose.h"

namespace palvon {

const char* poseInit(ExtensionEntry*) { return "Recording is not supported by this proxy"; }

}  // namespace palvon
