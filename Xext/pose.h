// Recording as far as the rest of the proxy calls it. The proxy offers no
// recording: poseInit refuses, so the registry withdraws the extension and
// no client can start a recording. With no recording ever running, the
// recording hooks have nothing to record: they do nothing and succeed.
#pragma once

#include "Proxy/extensions.h"
#include "base/strings.h"

namespace palvon {

struct ProxyClient;
struct ServerLink;
struct Head;
struct MetaScreen;
struct Recording;
struct ProxyWindow;

// Refuses with a message (recording is not offered).
const char* poseInit(ExtensionEntry* entry);

void poseStopRecording(Recording* recording, const char* reason, int code);
void poseRecordReply(const u8* reply, u32 length, u8 major, u8 minor, ProxyClient* client);
void poseRecordError(ProxyClient* client, const u8* error, const u8* request);
void poseLockRecording(Recording* recording);
void poseCheckRecordBuffer(Recording* recording);
void poseBeginStateCopy(void* state);
void poseEndStateCopy(void* state);
void recordPointerMotion(u32 device, int x, int y, int flag, Recording* recording);
void recordCursorImage(u32 device, const void* image, Recording* recording);
void recordPointerScreen(u32 device, Head* head, Recording* recording);
// Null: no hotkey to grab.
const char* poseGrabHotkey(void* unused, Head* head);
void recordScreenChange(MetaScreen* screen, u32 changeMask);

// Hooks of the request, reply and event handlers; called only when a client
// is recorded, which never happens.
void poseRecordRequest(const u8* request, u32 length);
void poseRecordExtensionRequest(const u8* request, u32 length);
void poseRecordGlobalRequest(const u8* request, u32 length);
void poseRecordDrawableRequest(const u8* request, u32 length);
void poseRecordInputRequest(const u8* request, u32 length);
void poseRecordBellRequest(const u8* request, u32 length);
void poseRecordPutImage(const u8* request, u32 length);
void poseRecordWindowRequest(ProxyWindow* window, const u8* request, u32 length);
void poseRecordWindowTreeRequest(ProxyWindow* window, const u8* request, u32 length, u8 data);
void poseRecordCreateWindow(const u8* request, u32 length, ProxyWindow* window);
void poseRecordEvent(const u8* event);
void poseRecordKeyEvent(const u8* event);
void poseRecordButtonEvent(const u8* event);
void poseRecordClientStart(ProxyClient* client);
void poseDetachWindow(ProxyWindow* window);
void poseDoDelayedStops(u32 device);
void poseForgetFont(u32 id);
void poseRecordPointerGrab(u32 device, ProxyWindow* window);
void poseTrackKey(u32 device, u32 keycode, u32 keysym, bool pressed, int flag);
// Writers of records into a recording: nothing to write into; they succeed
// (1, or a null record for poseAllocRecord, whose callers hold a recording).
void* poseAllocRecord(Recording* recording, u8 byte0, u32 code, u32 length);
int poseRecordAtom(u32 atom, const char* name, void* sink);
void poseRecordColor(void* colormap, const void* color);
int poseRecordColorCell(u32 colormap, const void* color, void* sink);
int poseRecordFont(void* font, void* sink, void* filter);
int poseRecordPictureFormat(u32 format, void* sink);
void poseRecordRequestData(u8 major, const u8* header, u32 headerLength, const u8* data, u32 dataLength);
void poseRecordShmImage(u32 screen, u32 drawable, u32 gc, const void* image, int dstX, int dstY);
void poseRecordVisualForSink(const void* visual, void* sink);
void poseRecordXvPort(u32 port);
// Sink queries: a sink that is not a recording records everything.
int poseSinkRecordsExtensions(void* sink);
int poseSinkRecordsResource(ProxyClient* client, void* resource, void* sink);
int poseSinkRecordsWindow(ProxyWindow* window, void* sink);

}  // namespace palvon
