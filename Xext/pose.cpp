#include "Xext/pose.h"

namespace palvon {

const char* poseInit(ExtensionEntry*) { return "Recording is not supported by this proxy"; }

void poseStopRecording(Recording*, const char*, int) {}
void poseRecordReply(const u8*, u32, u8, u8, ProxyClient*) {}
void poseRecordError(ProxyClient*, const u8*, const u8*) {}
void poseLockRecording(Recording*) {}
void poseCheckRecordBuffer(Recording*) {}
void poseBeginStateCopy(void*) {}
void poseEndStateCopy(void*) {}
void recordPointerMotion(u32, int, int, int, Recording*) {}
void recordCursorImage(u32, const void*, Recording*) {}
void recordPointerScreen(u32, Head*, Recording*) {}
const char* poseGrabHotkey(void*, Head*) { return nullptr; }
void recordScreenChange(MetaScreen*, u32) {}

void poseRecordRequest(const u8*, u32) {}
void poseRecordExtensionRequest(const u8*, u32) {}
void poseRecordGlobalRequest(const u8*, u32) {}
void poseRecordDrawableRequest(const u8*, u32) {}
void poseRecordInputRequest(const u8*, u32) {}
void poseRecordBellRequest(const u8*, u32) {}
void poseRecordPutImage(const u8*, u32) {}
void poseRecordWindowRequest(ProxyWindow*, const u8*, u32) {}
void poseRecordWindowTreeRequest(ProxyWindow*, const u8*, u32, u8) {}
void poseRecordCreateWindow(const u8*, u32, ProxyWindow*) {}
void poseRecordEvent(const u8*) {}
void poseRecordKeyEvent(const u8*) {}
void poseRecordButtonEvent(const u8*) {}
void poseRecordClientStart(ProxyClient*) {}
void poseDetachWindow(ProxyWindow*) {}
void poseDoDelayedStops(u32) {}
void poseForgetFont(u32) {}
void poseRecordPointerGrab(u32, ProxyWindow*) {}
void poseTrackKey(u32, u32, u32, bool, int) {}
void* poseAllocRecord(Recording*, u8, u32, u32) { return nullptr; }
int poseRecordAtom(u32, const char*, void*) { return 1; }
void poseRecordColor(void*, const void*) {}
int poseRecordColorCell(u32, const void*, void*) { return 1; }
int poseRecordFont(void*, void*, void*) { return 1; }
int poseRecordPictureFormat(u32, void*) { return 1; }
void poseRecordRequestData(u8, const u8*, u32, const u8*, u32) {}
void poseRecordShmImage(u32, u32, u32, const void*, int, int) {}
void poseRecordVisualForSink(const void*, void*) {}
void poseRecordXvPort(u32) {}
int poseSinkRecordsExtensions(void*) { return 0; }
int poseSinkRecordsResource(ProxyClient*, void*, void*) { return 1; }
int poseSinkRecordsWindow(ProxyWindow*, void*) { return 1; }

}  // namespace palvon
