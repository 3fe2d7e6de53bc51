#include "Xext/modules.h"

#include "Xext/bigreq.h"
#include "Xext/dbe.h"
#include "Xext/dpms.h"
#include "Xext/glx.h"
#include "Xext/keymap.h"
#include "Xext/meta.h"
#include "Xext/multibuf.h"
#include "Xext/multimedia.h"
#include "Xext/pose.h"
#include "Xext/print.h"
#include "Xext/randr.h"
#include "Xext/render.h"
#include "Xext/screensaver.h"
#include "Xext/shape.h"
#include "Xext/shm.h"
#include "Xext/sunallplanes.h"
#include "Xext/sync.h"
#include "Xext/translucent.h"
#include "Xext/xcmisc.h"
#include "Xext/xge.h"
#include "Xext/xie.h"
#include "Xext/xinerama.h"
#include "Xext/xinput.h"
#include "Xext/xkb.h"
#include "Xext/xtest.h"
#include "Xext/xvideo.h"

namespace palvon {

namespace {

constexpr ExtensionModule kBuiltinModules[] = {
    {"BIG-REQUESTS", 128, initBigRequestsExtension},
    {"DOUBLE-BUFFER", 64, initDoubleBufferExtension},
    {"DPMS", 65, initDpmsExtension},
    {"FBPM", 65, initFbpmExtension},
    {"GLX", 68, initGLXExtension},
    {"SGI-GLX", 68, initGLXExtension},
    {"MIT-SHM", 65, initShmExtension},
    {"MIT-SCREEN-SAVER", 64, initMitScreenSaverExtension},
    {"Multi-Buffering", 65, initMultiBufferExtension},
    {"RANDR", 67, initRandrExtension},
    {"RENDER", 11, initRenderExtension},
    {"SCREEN-SAVER", 64, initSgiScreenSaverExtension},
    {"SHAPE", 65, initShapeExtension},
    {"SUN_ALLPLANES", 64, initAllPlanesExtension},
    {"SYNC", 192, initSyncExtension},
    {"XC-MISC", 65, initXCMiscExtension},
    {"Generic Event Extension", 64, initGenericEventExtension},
    {"XINERAMA", 65, initXineramaExtension},
    {"XInputExtension", 69, initXInputExtension},
    {"XInputDeviceEvents", 69, nullptr},
    {"XKEYBOARD", 64, initXkbExtension},
    {"XpExtension", 64, initPrintExtension},
    {"MORVANDELL KEYMAP", 385, initKeymapExtension},
    {"MORVANDELL META", 512, initMetaExtension},
    {"MORVANDELL MULTIMEDIA", 64, multimediaInit},
    {"MORVANDELL POSE", 517, poseInit},
    {"MORVANDELL TRANSLUCENT", 387, initTranslucentExtension},
    {"XIE", 320, initXieExtension},
    {"XTEST", 130, initXTestExtension},
    {"XVideo", 130, initXVideoExtension},
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
