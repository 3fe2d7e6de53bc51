// Opening heads: a configured display name becomes a live Head bound to the
// proxy's own connection to that server (one ServerDisplay per server,
// shared by its heads). Opening checks the name, contests the server with
// other proxies by priority, checks that the server can serve the running
// session, saves what the proxy will change there (modifiers, keyboard
// mapping, pointer and power settings) and makes the proxy's small windows.
// Closing a connection normally puts the saved state back.
//
// The start-up sequence calls one entry per step:
//   openConfiguredHeads()            open every configured head (after the
//                                    meta screens exist)
//   applyConfiguredScreenSettings()  resolve placements, apply each head's
//                                    block (Proxy/heads/settings.h)
//   adjustScreenCapabilities(false)  Proxy/heads/reconcile.h
//   probeHeads(true)                 Proxy/heads/probe.h
// and between two runs:
//   closeHeadsOnReset()              Proxy/heads/probe.h, during the reset
//   reopenLostHeads(), adjustScreenCapabilities(true), probeHeads(false)
//                                    before the next run
//
// Every failure comes back as a text with a status (kHeadStatus*); the caller
// decides: start-up goes on without a head only for kHeadStatusOffline under
// the option Failsafe. Main thread only.
#pragma once

#include "Proxy/config/config.h"
#include "Proxy/heads/screen.h"
#include "Proxy/servers/display.h"
#include "base/strings.h"

namespace palvon {

// Status of a failed head set-up.
constexpr u32 kHeadStatusOffline = 1;      // unreachable or lost: retry, or go on without it
constexpr u32 kHeadStatusConfig = 2;       // configuration error
constexpr u32 kHeadStatusCannotServe = 3;  // the server cannot serve the running session
constexpr u32 kHeadStatusNoMemory = 4;     // out of memory or head creation failed

// Kinds of announceHeadChange.
constexpr u32 kHeadChangeChanged = 0;
constexpr u32 kHeadChangeCreated = 1;
constexpr u32 kHeadChangeRemoved = 2;

// The selection (and property) by which proxies sharing a server contest it.
constexpr const char* kLockSelectionName = "_PALVON_ATOM";

// What a head is opened with.
struct HeadOpenRequest {
  const char* name;           // display name as configured (null: $DISPLAY)
  const char* headName;       // the head's name; null: the display name
  MetaScreen* screen;         // null for a head outside any meta screen
  ServerDisplay* display;     // an open display to use, or null to find or open one
  bool inWindow;
  bool probeOnly;
  bool namedByClient;         // the name came from a client (ServerDisplay::namedByClient)
  u32 connectTimeoutMs;
  u32 offlineTimeoutMs;       // used only with the option Failsafe
  u32 priority;
  u32 defencePriority;
  i32 border;                 // -1: automatic
  u32 visualFlags;            // handed to createHead
};

// The head, or null with *status and *error set. A probe-only head whose
// server cannot be reached comes back without a display (warning logged).
Head* initHead(const HeadOpenRequest& request, u32* status, const char** error);

// Finds nothing: opens a new display record for "host:n" (configured name
// as written), contests the server with other proxies, checks it against
// the session and puts it on the list (when it belongs to a meta screen).
// Null with *status and *error set; a half-made record is closed.
ServerDisplay* openHeadDisplay(const char* name, const char* configuredName, const HeadOpenRequest& request,
                               bool inMetaScreen, u32* status, const char** error);

// Opens the record's connection when it has none (also after a reset for a
// display that lost it) and saves the server's state. Null or the error; on
// error the connection is closed again (as offline when the server stopped
// answering).
const char* connectHeadDisplay(ServerDisplay* server, bool probeOnly, u32* status);
// Runs work(argument) on a display opened while clients are served as one
// guarded call (false when the server broke or stalled past its opening
// deadline); on any other display plainly (true).
bool runWhileOpening(Display* display, void (*work)(void*), void* argument);

// The automatic border (configured -1): 0 when all heads are screens of one
// server in one left-to-right row, else 1; clamped to 0..32767 and to half
// the screen. Returns whether the border changed.
bool computeHeadBorder(Head* head, i32 configured);
// Store max(value, 1).
void setHeadClipWidth(Head* head, i32 value);
void setHeadClipHeight(Head* head, i32 value);

// Logs the change, recomputes a resizable meta screen after a geometry
// change, brings the pointer back to a head marked for it when the head
// left or its geometry changed, and tells the clients that follow heads.
void announceHeadChange(Head* head, u32 kind, u32 mask);
// Marks the head that held the pointer when its change or removal began:
// the next announceHeadChange of that head moves the pointer back to the
// meta point (through the client's links, or the proxy's own connections
// for none; `warp` moves the real pointer as well) and logs it. One mark at
// a time; the announcement consumes it.
void markPointerReturn(Head* head, ProxyClient* client, i32 x, i32 y, bool warp);

// Runs the keyboard-map tool "vorkel" of the installation's bin directory on
// the display with the display's map file (from the configuration
// directory), as "vorkel -display <configured name> <map file>": executed
// with those words, never through a shell. Null or the error text.
const char* runKeyboardMapTool(ServerDisplay* server);

// The image display's default image format (a copy; data cleared), which
// every display's image-format-differs flag is measured against.
extern XImage imageDisplayFormat;
// Makes the display the image display (null: none), copies its format and
// recomputes every display's image-format-differs flag.
void setImageDisplay(ServerDisplay* server);

// Saves the server's keyboard mapping (the previous save freed first) and
// pointer settings again; null or the error.
const char* saveKeyboardAndPointer(ServerDisplay* server);

// What closing a connection does to the server's state (called by
// disconnectServerDisplay, Proxy/servers/display.h): restoreServerState puts back
// modifiers, input, keyboard mapping, pointer and power settings (each
// failure a warning; nothing when nothing was saved); releaseServerState frees what the proxy kept for the
// connection (saved mapping, map text, colormap table, text font, selection
// sync), without talking to an offline server.
bool restoreServerState(ServerDisplay* server);  // whether anything was sent
void releaseServerState(ServerDisplay* server, bool offline);
// The connection's descriptor order and the shared idle order that drains
// queued events (alive while any connection is open).
void attachDisplayOrders(ServerDisplay* server);
void detachDisplayOrders(ServerDisplay* server);

// Recomputes the display's image-format-differs flag against the image
// display's format.
void updateImageFormatFlag(ServerDisplay* server);
// The resource-id partition of a server for the proxy's id mask: base
// shift, proxy-id shift, index mask and foreign mask.
void computeIdPartition(ServerDisplay* server, u32 proxyMask);
// The next id of the global head-id counter that nothing uses (the first
// head has id 1).
u32 nextHeadId();

// Waits the reset delay between releasing a contested server and taking it
// (2 s) when no client is connected; with clients connected the loop must
// go on serving them, so the wait is skipped.
void waitResetDelay();

// --- Start-up entries -----------------------------------------------------------------

// Opens every configured head in configuration order into its meta screen
// (which must exist). Under Failsafe a head that cannot be reached and is
// not static is dropped with "%s (trying to continue...)". An anyScreen head
// whose server has a next screen gets a copy for it, in a new meta screen
// east of its own. Null or the error that ends the start-up.
const char* openConfiguredHeads();

// Resolves each head's placement against the head of its reference entry
// and applies the head's block (its given settings plus placement and
// offsets). Null or the error.
const char* applyConfiguredScreenSettings();

// The head made for a configuration entry (null when it was dropped).
Head* configuredHead(const HeadConfig* entry);
// A head that leaves is no entry's any more (called as it is freed).
void forgetConfiguredHead(const Head* head);

// Between two runs: reopens every head whose display was lost, binds it and
// puts it back in its screen. A head that fails is logged and dropped.
void reopenLostHeads();

// The display of the first head not shown in a window (meta screens in
// order, heads in order); null when all are in windows.
ServerDisplay* firstRootHeadDisplay();

}  // namespace palvon
