// What the proxy core calls in the recording, multimedia, GLX and keymap
// modules.
//
// Those modules live above the core (they are extension modules), so the
// core reaches them only through this record. Every member is null until the
// module that provides it installs it at start-up; a caller skips a null
// member, which is exactly what an absent module would have done (nothing is
// recorded when no recording runs, no GLX object exists without GLX).
//
// Main thread only. The record lives for the process's lifetime.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct ClientRecording;
struct Head;
struct MetaScreen;
struct MultimediaStream;
struct ProxyClient;
struct ProxyWindow;
struct ServerLink;

struct ServiceHooks {
  // --- Recording: called only for a client or link that is being recorded.
  // A request of a recorded client, after the dispatcher counted, swapped
  // and checked it and before its handler runs.
  void (*recordRequest)(ProxyClient* client, const u8* request, u32 length);
  void (*recordReply)(const u8* reply, u32 length, u8 major, u8 minor, ProxyClient* client);
  // The 32-byte error and the request it answers.
  void (*recordError)(ProxyClient* client, const u8* error, const u8* request);
  void (*recordEvent)(ProxyClient* client, const u8* event);
  void (*stopRecording)(ClientRecording* recording, const char* reason, int code);
  // Bracket a write to a recorded client: lock, then check and throttle.
  void (*lockRecording)(ClientRecording* recording);
  void (*checkRecordBuffer)(ClientRecording* recording);
  // Bracket a reply hook handled during normal dispatch; stateCopyComplete
  // when a link's last hook is gone.
  void (*beginStateCopy)(ServerLink* link);
  void (*endStateCopy)(ServerLink* link);
  void (*stateCopyComplete)(ServerLink* link);
  void (*recordPointerMotion)(u32 device, int x, int y, int flag, ClientRecording* recording);
  void (*recordPointerScreen)(u32 device, Head* head, ClientRecording* recording);
  void (*recordScreenChange)(MetaScreen* screen, u32 changeMask);
  // A font opened (written into the recording or sink; 1 on success) and
  // a font id given up.
  int (*recordFont)(void* font, void* sink, void* filter);
  void (*forgetFont)(u32 id);
  // Null or an error text, which the caller logs.
  const char* (*grabRecordingHotkey)(Head* head);

  // --- Multimedia: closes one stream of a leaving client; null or a text.
  const char* (*freeClientStream)(MultimediaStream* stream, bool keeping);

  // --- GLX.
  void (*freeClientGLXTags)(ProxyClient* client);
  // Bring a joining head into GLX / copy GLX objects to it; null or a text.
  const char* (*copyGLXPixmapsToHead)(void* copyState, Head* head);
  const char* (*copyGLXObjectsToHead)(void* copyState);

  // --- Keyboard mappings per client: a new client, a leaving client, and
  // the client's own GetKeyboardMapping (true when answered from its map).
  void (*createClientKeymap)(ProxyClient* client);
  void (*dropClientKeymap)(ProxyClient* client);
  bool (*applyClientKeymap)(ProxyClient* client, u16 sequence, u32 first, u32 count);
};

extern ServiceHooks serviceHooks;

// Where the heads, input and window layers tell a running recording what
// happened outside the clients' requests. Sessions are not recorded: these
// do nothing, and no key is taken as a recording hotkey (false).
void recordPointerHeadChange(Head* head);
void recordPointerMotion(i32 x, i32 y);
void recordCursorChange(u32 device);
void recordWindowMove(ProxyWindow* window);
void recordDisplayEvent(Display* display, const XEvent* event);
bool offerRecordingHotkey(Display* display, const XKeyEvent* event);

}  // namespace palvon
