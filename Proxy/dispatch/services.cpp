#include "Proxy/dispatch/services.h"

namespace palvon {

ServiceHooks serviceHooks;

void recordPointerHeadChange(Head*) {}
void recordPointerMotion(i32, i32) {}
void recordCursorChange(u32) {}
void recordWindowMove(ProxyWindow*) {}
void recordDisplayEvent(Display*, const XEvent*) {}
bool offerRecordingHotkey(Display*, const XKeyEvent*) { return false; }

}  // namespace palvon
