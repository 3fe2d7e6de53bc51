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
  // Loop-clock time (ms) of the last traffic seen from the server; the
  // watchdog measures silence from here.
  u64 lastTrafficMs;
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

// --- Records and connections ------------------------------------------------
// Connects to the named server (time-out in ms, 0 for 10 s) and puts a new
// record with that display at the end of the list (index = its position).
// The connection is registered with the failsafe layer. Returns null or the
// error text; *out is set on success. Main thread.
const char* openServerDisplay(const char* name, u64 timeoutMs, ServerDisplay** out);
// Closes the Xlib connection (without waiting for a lost server) and cancels
// the record's timers and orders; the record stays on the list with a null
// display. Logs "Closing connection to display %s (offline=%d) ...".
void disconnectServerDisplay(ServerDisplay* server, bool offline);
// Unlinks the record from the list, clears the roles that named it,
// renumbers the remaining records and frees it (closing its connection
// first when open).
void freeServerDisplay(ServerDisplay* server);
// The record of an Xlib display; null when none.
ServerDisplay* findServerDisplay(const Display* display);

// --- Server time and pings -------------------------------------------------
// Makes the server send one PropertyNotify carrying its current time: a 1x1
// InputOnly window at -1,-1 gets the property POINT written, then is
// destroyed; flushed. Returns the window's id (0 when offline).
Window pingDisplay(Display* display);

// --- Offline handling -------------------------------------------------------
// Hands the display's offline time-out to the failsafe layer and starts the
// keep-alive ping (every tenth of it) and the watchdog, when the option
// Failsafe is set and the display has no static head; otherwise clears both.
// A time-out of 0 becomes 20000 ms. Called when a head's display is opened
// and when its screen settings change.
void armOfflineTimeout(ServerDisplay* server);
// Notes traffic from this display: its watchdog starts counting again.
// Cheap enough for every burst of input.
void restartDisplayWatchdog(Display* display);
// XfsSync on the display; true when the display is offline afterwards.
bool syncServerDisplay(ServerDisplay* server);
// Whether a head of any meta screen on this server display has the tag
// static (such a display is never dropped and has no offline time-out).
bool displayHasStaticHead(const ServerDisplay* server);
// Takes a lost server out of the session: closes its connection, removes its
// heads from their screens (or frees the record when it has none), answers
// what the clients still wait for from it and re-arms their pending
// requests on the remaining servers.
void dropServerDisplay(ServerDisplay* server);

// The steps of a drop that belong to other layers. Each is called when set;
// the layers install theirs at start-up. Left unset, a drop only closes the
// connection and frees a record without heads.
struct LostServerHooks {
  // Removes a head from its meta screen; null or a message that ends the
  // proxy (a static head, for instance).
  const char* (*removeHead)(Head* head, bool offline);
  // Answers, in the lost server's place, every request the clients still
  // wait for from it.
  void (*answerClients)();
  // Re-arms every client's newest pending request on the remaining servers.
  void (*rearmPending)();
  // Handles the events queued or readable on the display (readable: the
  // descriptor had input).
  void (*processEvents)(Display* display, bool readable);
};
extern LostServerHooks lostServerHooks;

}  // namespace palvon
