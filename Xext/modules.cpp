#include "Xext/modules.h"

#include "Xext/buffers/dbe.h"
#include "Xext/buffers/multibuf.h"
#include "Xext/meta/meta.h"
#include "Xext/randr/randr.h"
#include "Xext/randr/xinerama.h"
#include "Xext/render/render.h"
#include "Xext/shm/shm.h"
#include "Xext/small/bigreq.h"
#include "Xext/small/dpms.h"
#include "Xext/small/glx.h"
#include "Xext/small/pose.h"
#include "Xext/small/print.h"
#include "Xext/small/screensaver.h"
#include "Xext/small/shape.h"
#include "Xext/small/sunallplanes.h"
#include "Xext/small/sync.h"
#include "Xext/small/xcmisc.h"
#include "Xext/small/xge.h"
#include "Xext/translucent/translucent.h"
#include "Xext/video/multimedia.h"
#include "Xext/video/xvideo.h"
#include "Xext/xie/xie.h"
#include "Xext/xinput/keymap.h"
#include "Xext/xinput/xinput.h"
#include "Xext/xinput/xkb.h"
#include "Xext/xinput/xtest.h"

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
    {"XInputDeviceEvents", 69, initXInputExtension},
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
