#include "Xext/modules.h"

#include "Xext/bigreq.h"
#include "Xext/glx.h"
#include "Xext/multimedia.h"
#include "Xext/pose.h"
#include "Xext/render.h"
#include "Xext/sunallplanes.h"
#include "Xext/xcmisc.h"
#include "Xext/xge.h"

namespace palvon {

namespace {

constexpr ExtensionModule kBuiltinModules[] = {
    {"BIG-REQUESTS", 128, initBigRequestsExtension},
    {"DOUBLE-BUFFER", 64, nullptr},
    {"DPMS", 65, nullptr},
    {"FBPM", 65, nullptr},
    {"GLX", 68, initGLXExtension},
    {"SGI-GLX", 68, initGLXExtension},
    {"MIT-SHM", 65, nullptr},
    {"MIT-SCREEN-SAVER", 64, nullptr},
    {"Multi-Buffering", 65, nullptr},
    {"RANDR", 67, nullptr},
    {"RENDER", 11, initRenderExtension},
    {"SCREEN-SAVER", 64, nullptr},
    {"SHAPE", 65, nullptr},
    {"SUN_ALLPLANES", 64, initAllPlanesExtension},
    {"SYNC", 192, nullptr},
    {"XC-MISC", 65, initXCMiscExtension},
    {"Generic Event Extension", 64, initGenericEventExtension},
    {"XINERAMA", 65, nullptr},
    {"XInputExtension", 69, nullptr},
    {"XInputDeviceEvents", 69, nullptr},
    {"XKEYBOARD", 64, nullptr},
    {"XpExtension", 64, nullptr},
    {"MORVANDELL KEYMAP", 385, nullptr},
    {"MORVANDELL META", 512, nullptr},
    {"MORVANDELL MULTIMEDIA", 64, multimediaInit},
    {"MORVANDELL POSE", 517, poseInit},
    {"MORVANDELL TRANSLUCENT", 387, nullptr},
    {"XIE", 320, nullptr},
    {"XTEST", 130, nullptr},
    {"XVideo", 130, nullptr},
};

}  // namespace

const ExtensionModule* builtinExtensionModules(u32* count) {
  *count = sizeof kBuiltinModules / sizeof kBuiltinModules[0];
  return kBuiltinModules;
}

void installBuiltinExtensionModules() {
  u32 count = 0;
  const ExtensionModule* modules = builtinExtensionModules(&count);
  setExtensionModules(modules, count);
}

}  // namespace palvon
