// ServerDisplay: the proxy's own Xlib connection to one real X server, with
// what the proxy keeps about that server (byte order, image format, font
// paths, extension code maps, clock and offline state).
//
// Ownership: the records sit on one list (serverDisplayList) in creation
// order; the heads layer opens and closes them. `index` equals the index of
// this server in every client's ServerLink array. Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "Proxy/extensions.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct Order;

constexpr u32 kDisplayNameMax = 256;

// The server's image layout as client-side images need it.
struct ServerImageFormat {
  u8 byteOrder;     // LSBFirst 0, MSBFirst 1
  u8 bitmapUnit;
  u8 bitmapBitOrder;
  u8 bitmapPad;
};

// One colormap per visual of the server, made on that screen's root with
// AllocNone; the table ends with an entry whose depth is 0.
struct VisualColormap {
  u32 screen;
  u32 depth;
  u32 visualId;
  u32 colormap;
};

// A SysV shared-memory segment the proxy made or attached.
struct ShmSegment {
  i32 segmentId;
  u8* address;
  u64 size;
};

struct ServerDisplay {
  ServerDisplay* next;
  Display* display;           // null when closed
  u32 serial;                 // position on the list at creation
  u32 index;                  // index in every client's link array
  Head* firstHead;
  Atom lockSelection;         // the selection by which the proxy locks this server
  // Flags.
  u8 serverFonts;             // the server keeps its own fonts
  u8 imageFormatDiffers;      // image layout differs from the image display's
  u8 inputControlActive;
  u8 selectionSync;
  u8 selectionRefresh;
  u8 byteOrderDiffers;        // the server's byte order differs from ours
  u8 inputDisabled;           // input switched off by the proxy
  u8 shmUsable;               // the MIT-SHM probe passed
  ServerImageFormat imageFormat;
  u32 priority;
  u32 defencePriority;
  char** fontPaths;
  u32 fontPathCount;
  // Clock synchronisation.
  u64 lastPingMs;
  u32 halfRoundTripMs;
  i64 clockOffsetMs;
  // Offline handling.
  u64 offlineTimeoutMs;       // 0: not configured (20000 when armed)
  u32 connectTimeoutMs;
  Order* keepAliveTimer;
  Order* watchdogTimer;
  Order* lossOrder;
  Order* readOrder;           // the connection's descriptor in the event loop
  char displayName[kDisplayNameMax];     // "host:N" as opened
  char configuredName[kDisplayNameMax];  // as the configuration or META gave it
  // The registry's translation of codes for this server.
  ExtensionCodeMap codes;
  VisualColormap* visualColormaps;
  u32 pointerButtons;
  XImage defaultImage;        // 1x1 XYPixmap of the default visual, data cleared
  // Resource-id partition of the server.
  u32 baseShift;
  u32 proxyIdShift;
  u32 indexMask;
  u32 foreignMask;
};

// The server displays in creation order and their count.
extern ServerDisplay* serverDisplayList;
extern u32 serverDisplayCount;

// Role holders (null when unset).
extern ServerDisplay* inputControlDisplay;
extern ServerDisplay* imageDisplay;
extern ServerDisplay* atomDisplay;
extern ServerDisplay* timeDisplay;
extern ServerDisplay* fontDisplay;
extern ServerDisplay* resourceServerDisplay;

}  // namespace palvon
