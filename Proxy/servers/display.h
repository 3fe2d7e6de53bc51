// ServerDisplay: the proxy's own Xlib connection to one real X server, with
// what the proxy keeps about that server (byte order, image format, font
// paths, extension code maps, clock and offline state).
//
// Ownership: the records sit on one list (serverDisplayList) in creation
// order; the heads layer opens and closes them. `index` equals the index of
// this server in every client's ServerLink array. Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "Proxy/dispatch/extensions.h"
#include "Proxy/input/headinput.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct Order;
struct ServerLink;
struct KeyboardMappingSave;
struct PointerSettings;
struct PowerSettings;

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
  u8 local;                   // its host is this machine (isDisplayLocal when opened)
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
  // The connection is being closed (disconnectServerDisplay): a server
  // that stops answering now is no loss to handle.
  u8 closing;
  // Time (ms, the loop's clock read then, ordersClockNow) of the first
  // question the proxy put to the server after its last traffic (a
  // keep-alive ping, a blocking wait on one of its connections); 0 while it
  // owes no answer.
  u64 askedSinceMs;
  char displayName[kDisplayNameMax];     // "host:N" as opened
  char configuredName[kDisplayNameMax];  // as the configuration or META gave it
  // The registry's translation of codes for this server.
  ExtensionCodeMap codes;
  VisualColormap* visualColormaps;
  u32 pointerButtons;
  // XKEYBOARD's request and event codes on the server; 0 when it lacks it.
  u8 xkbMajor;
  u8 xkbEvent;
  XImage defaultImage;        // 1x1 XYPixmap of the default visual, data cleared
  // Resource-id partition of the server.
  u32 baseShift;
  u32 proxyIdShift;
  u32 indexMask;
  u32 foreignMask;
  // Time (ms, the loop's clock read when it came, ordersClockNow) of the
  // last traffic seen from the server, answers read inside the X library's
  // waits included; the watchdog measures silence from here.
  u64 lastTrafficMs;
  // Added with opening heads: what the proxy changes on the server and puts
  // back when it closes the connection normally, and its own windows there.
  char* keyboardMapText;            // map file for the keyboard-map tool (owned)
  u32 savedModifiers;               // core keyboard modifier state
  KeyboardMappingSave* savedKeyboard;  // null when not saved
  PointerSettings* savedPointer;       // null when not saved
  PowerSettings* savedPower;           // null when not saved
  // The server's font path when the proxy connected, put back at closing
  // (a reset would otherwise adopt what the last client set).
  char** savedFontPath;
  u32 savedFontPathCount;
  Window inputWindows[3];           // 1x1 InputOnly: one on the root, two children of it
  XFontStruct* textFont;            // the configured text font, null when missing
  u32 screenCount;
  u8 probeOnly;                     // opened for a probe-only head
  u8 inWindowOpened;                // opened for a head shown in a window
  u8 namedByClient;                 // a client named it: only credentials of its own name go there
  u8 stateSaved;                    // the saved state above is to be put back
  // Added with pointer and keyboard coordination: the last pointer position
  // seen, the head under the pointer and the null mouse.
  DisplayInput input;
  // Added with clock synchronisation (the adopted start of the server's
  // clock is clockOffsetMs, the current half round trip halfRoundTripMs).
  Window pingWindow;                // the ping of the current round; 0: no answer awaited
  i64 newStartMs;                   // this round's start: server time - half round trip
  u32 previousHalfRoundTripMs;
  i64 driftMs, previousDriftMs;     // offset to the time display against the adopted one
  // Added with DOUBLE-BUFFER: its requests reach this display as
  // Multi-Buffering (a head of it is configured with emulateDoubleBuffer).
  u8 dbeEmulated;
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
// A zeroed record for the named server (name "host:n", configured name as
// written), identity code maps, index = the number of displays on the list;
// not on the list and without a connection. Null when memory runs out.
ServerDisplay* newServerDisplay(const char* name, const char* configuredName);
// While clients are served, a step that opens a server holds every one of
// them up: from its start, its host-name look-ups, the connect and the X
// set-up are given this long together, and each wait for an answer to the
// proxy's first questions this long again. The opening as a whole, from
// the connect on, is given the server's connect time-out.
constexpr u64 kServedOpeningMs = 2000;
// The deadline of such a step beginning now, for its LookUpBound
// (base/lookups.h); 0 (no bound) without clients.
long long servedOpeningDeadline();
// The refusal of a step whose host-name look-up the bound gave up.
const char* lookUpGivenUpText(const char* name);

// Opens the record's Xlib connection (nothing when it has one), time-out in
// ms (0 for 10 s), and registers it with the failsafe layer. The configured
// name is used (else the display name); a name whose host is this machine
// is tried in its local form first, with half the time-out. While clients
// are connected the connect's time-out is at most kServedOpeningMs, counted
// from the start of the step's bound, and the calls that follow in the same
// step are bounded as kServedOpeningMs says. Null or the error text.
const char* openServerConnection(ServerDisplay* server, u64 timeoutMs);
// Appends the record to the list (index = its position); nothing when it is
// on the list already.
void addServerDisplay(ServerDisplay* server);
// Connects to the named server (time-out in ms, 0 for 10 s) and puts a new
// record with that display at the end of the list (index = the lowest index
// no other display holds).
// The connection is registered with the failsafe layer. Returns null or the
// error text; *out is set on success. Main thread.
const char* openServerDisplay(const char* name, u64 timeoutMs, ServerDisplay** out);
// Closes the Xlib connection (without waiting for a lost server) and cancels
// the record's timers and orders; the record stays on the list with a null
// display. Logs "Closing connection to display %s (offline=%d) ...".
void disconnectServerDisplay(ServerDisplay* server, bool offline);
// Puts the state the proxy changed back on the server (restoreServerState)
// as one guarded call: a server that breaks or stalls on the way ends only
// this, never the proxy. Whether anything was sent and the display is still
// online.
bool putServerStateBack(ServerDisplay* server);
// Unlinks the record from the list, clears the roles that named it, closes
// every client's link to it and frees it (closing its connection first when
// open). The other records keep their index, their links their slots.
void freeServerDisplay(ServerDisplay* server);
// The record of an Xlib display; null when none.
ServerDisplay* findServerDisplay(const Display* display);

// --- Display names -----------------------------------------------------------
// Texts returned from a static buffer are overwritten by the next call of the
// same function.
// The host part of the display's name; this machine's name for ":n" and
// "unix:n" (static buffer).
const char* displayHostName(Display* display);
// Whether the display's host is this machine.
bool isDisplayLocal(Display* display);
// Resolves a name for opening: null takes $DISPLAY (*resolved null when
// unset); a non-empty name without ':' is handed to the installation's
// "sunRayLookup -d <name>" when that program exists, whose first output line
// replaces it on exit status 0. Returns null, or the program's line as the
// error message when it failed. *resolved points to the name, to $DISPLAY or
// to a static buffer.
const char* lookupDisplayName(const char* name, const char** resolved);
// With the name starting "<this host>:" (any case): the rest from ':' on.
const char* stripLocalHostPrefix(const char* name);
// "" and "unix" give this host's name; others resolve, an address back to a
// name. Null when unknown (static buffer).
const char* canonicalHostName(const char* host);
// "<canonical host>:<number>" without the screen; null for a name without
// ':' or a display number that is empty or not decimal (static buffer).
const char* canonicalDisplayName(const char* name);
// The canonical host of a display name, or its host as written when it does
// not resolve; "" when the name has no ':' (static buffer).
const char* displayHostPart(const char* name);
// Null stands for $DISPLAY or ":0.0". Equal texts (any case), or the same
// display number on hosts with the same canonical name.
bool isSameDisplay(const char* a, const char* b);
// Splits a display name: *host is a fresh copy (this host's name for none
// or "unix"), *family FamilyLocal (256) for the "local"/"unix" protocols or
// this host, else FamilyInternet. False for a malformed name.
bool parseDisplayName(const char* name, char** host, u32* number, u32* family);
// Whether the proxy could listen as display number `number` now.
bool isDisplayNumberFree(u32 number);

// --- Server time and pings -------------------------------------------------
// Makes the server send one PropertyNotify carrying its current time: a 1x1
// InputOnly window at -1,-1 gets the property POINT written, then is
// destroyed; flushed. Returns the window's id (0 when offline).
Window pingDisplay(Display* display);
// pingDisplay, then waits (bounded by the offline time-out) for the
// PropertyNotify and returns its time stamp; CurrentTime when offline.
Time getServerTime(Display* display);
// A point in the display's request stream: the number of the next request
// and a 1x1 InputOnly window selecting StructureNotify that is created and
// destroyed at once; its DestroyNotify marks that point when it comes back.
struct DisplayMarker {
  unsigned long request;
  Window window;
};
void markDisplayRequest(Display* display, DisplayMarker* marker);

// --- The lock selection -------------------------------------------------------
// Under a server grab: false when another window owns the selection;
// otherwise takes it for the window and writes the text with its NUL as the
// property named by the selection (STRING, 8, Replace). Flushed.
bool setSelectionText(Display* display, Atom selection, Window window, const char* text);
// The selection's owner and the text of the property of that name on it (at
// most 4096 bytes, STRING, 8); *text is a fresh copy for the caller to free.
// False when there is no owner, or (reported "UNE") no such property.
bool getSelectionText(Display* display, Atom selection, Window* owner, char** text);

// --- Extensions ------------------------------------------------------------------
// Null when MIT-SHM works between the proxy and the server, else the reason
// (temporary string): "Display is remote", "No MIT-SHM extension",
// "shmget(64 bytes) failed: ..." or "shmat() failed: ...".
const char* probeMitShm(Display* display);
// Whether a standard DOUBLE-BUFFER is present; then its version.
bool queryDoubleBufferExtension(Display* display, int* major, int* minor);
// The major opcode of Multi-Buffering on the server, 0 when absent.
int queryMultiBufferingExtension(Display* display);
// The same, under the name the extension modules use.
inline int displayMbufMajor(Display* display) { return queryMultiBufferingExtension(display); }
// Writes XINERAMA_CENTER_HINT (INTEGER, 16, x and y) on the window; flushed.
void setXineramaCenterHint(Display* display, Window window, int x, int y);

// --- Tables ---------------------------------------------------------------------
// One colormap (AllocNone, on the screen's root) per visual of every screen;
// ended by an entry of depth 0. Null when memory runs out.
VisualColormap* createVisualColormaps(Display* display);
// The colormap of the first entry with that screen and depth; the depth of
// the entry with that screen and visual. Both report "UNE" and give 0 when
// nothing matches.
u32 findVisualColormap(const VisualColormap* table, u32 screen, u32 depth);
u32 findKeyedEntry(const VisualColormap* table, u32 screen, u32 visualId);
// Frees the table, and its colormaps on the server when a display is given.
void freeVisualColormaps(Display* display, VisualColormap* table);
// The names of atoms 1, 2, ... up to the first without a name (at most
// 16383); free with freeAtomNames.
char** listAtomNames(Display* display, u32* count);
void freeAtomNames(char** names, u32 count);
// owners[i] is the owner of the selection named by atom i + 1, for atoms up
// to the first the server refuses. Null when the display went offline. The
// caller frees the array.
Window* listSelectionOwners(Display* display, u32* count);

// --- Colours ---------------------------------------------------------------------
// Allocates white and black read-only; "UNE" and false when either fails.
bool allocBlackAndWhite(Display* display, Colormap colormap, unsigned long* black, unsigned long* white);
// Takes every free cell of the colormap, asking in chunks of 256 that halve
// on each refusal. *pixels (the caller frees it) and *count are empty when
// nothing was free. Returns null, or the offline message when the display
// went offline.
const char* allocAllColorCells(Display* display, Colormap colormap, unsigned long** pixels, u32* count);

// --- Errors, properties, shared memory ---------------------------------------------
// "X error <name> <resource> in <request> #<serial> from <display>"
// (temporary string); request names are the proxy's.
const char* formatXErrorEvent(Display* display, const XErrorEvent* event);
// The whole property, not deleted. *data (free with free) holds *length
// items in Xlib's layout (format 32 items as longs); an empty property gives
// a one-byte buffer and length 0. Null or "XGetWindowProperty() failed".
const char* readWholeProperty(Display* display, Window window, Atom property, unsigned char** data,
                              unsigned long* length, Atom* type, int* format);
// Copies type, format and data (Replace); an empty source deletes the target.
void copyProperty(Display* from, Window fromWindow, Atom property, Display* to, Window toWindow, Atom toProperty);
// copyProperty for every property of the source window, same atom numbers.
void copyAllProperties(Display* from, Window fromWindow, Display* to, Window toWindow);
// A private segment of `size` bytes (owner-only), attached; null when that
// fails (counted in shmSegmentFailures).
ShmSegment* createShmSegment(u64 size, bool readOnly);
void destroyShmSegment(ShmSegment* segment);  // null is ignored
extern u32 shmSegmentFailures;
// Nearest integer, halves away from zero; saturates at the int range.
int roundToInt(double value);

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

// --- For the client and link layers ------------------------------------------
// The Xlib display of the link's server, or of the first server display when
// no link is given; null when there is none.
Display* getLinkXDisplay(const ServerLink* link);
// XLoadQueryFont on the link's server display, after a round trip on the
// link when the server has not yet answered all of the client's requests.
// Null when the font is unknown or the display went offline. Free with
// XFreeFont.
XFontStruct* queryFontOnClientServer(ServerLink* link, const char* name);
// Notes traffic on a link of this server (null is ignored); allocation-free.
void noteServerDisplayTraffic(ServerDisplay* server);
// Whether the server is silent as a whole (nothing from it on any of its
// connections for `ms`) while the option Failsafe keeps it in the session
// whatever happens (a static head, the atom or the resource server): every
// client then waits for it alike, as for a plain server that has stopped,
// and none is cut for that silence.
bool serverKeptThroughSilence(const ServerDisplay* server, u64 ms);
// The one Failsafe decision on a silent server, whichever part of the proxy
// notices the silence first (the watchdog, a link's stall, a blocking wait
// on a link). A server that Failsafe drops is due to be dropped a whole
// offline time-out after it fell silent while the proxy was asking it
// something: the loop-clock time (ms) of that, or 0 while it owes no answer
// or Failsafe does not drop it.
u64 failsafeDueMs(const ServerDisplay* server);
// Notes that the proxy now waits for an answer from the server (null is
// ignored).
void noteServerAsked(ServerDisplay* server);
// For a wait of the X library on a server display's own connection, begun
// at that loop-clock time, which is a question to the server: how long it
// may still last before the server is due to be dropped for its silence (at
// least a keep-alive period from its start; 0: due now, and nothing the
// server sent lies unread on its links); UINT64_MAX when Failsafe does not
// drop the server so, or it has sent something there.
u64 failsafeWaitLeftMs(Display* display, u64 waitBeganMs);
// When the server is due and nothing it sent lies unread on any of its
// connections (what does is taken as traffic: the proxy was held up, not
// the server): declares it lost, so that the loop drops it next, and
// returns true.
bool declareSilentServerLost(ServerDisplay* server);
// With the option Failsafe: whether the server display itself is lost (its
// connection closed already, its loss declared, silent past its due time, or
// an XfsSync finds it offline). False without Failsafe.
bool serverDisplayLost(ServerDisplay* server);
// When serverDisplayLost: closes every client's link to the server, drops
// the server and returns true, so that a broken link does not end its
// client.
bool dropLostServer(ServerDisplay* server);
// The text of a failed link set-up: "Connection to %s is offline - ..." when
// serverDisplayLost, else `text`.
const char* serverLinkLostText(ServerDisplay* server, const char* text);
// Closes every client's link to the server without waiting for it: the
// server is leaving the session, and may be stopped.
void closeLinksToServer(const ServerDisplay* server);

// The steps of a drop that belong to other layers. Each is called when set;
// the layers install theirs at start-up. Left unset, a drop only closes the
// connection and frees a record without heads.
struct LostServerHooks {
  // Removes a head from its meta screen; null or a message that ends the
  // proxy (a static head, for instance).
  const char* (*removeHead)(Head* head, bool offline);
  // Answers, in the lost server's place, every request the clients still
  // wait for from it (run while their links to it still hold what it owes).
  void (*answerClients)(ServerDisplay* server);
  // Re-arms every client's newest pending request on the remaining servers.
  void (*rearmPending)();
  // Handles the events queued or readable on the display (readable: the
  // descriptor had input).
  void (*processEvents)(Display* display, bool readable);
};
extern LostServerHooks lostServerHooks;

// The proxy's answers in a lost server's place (the hooks the start-up
// installs): every request with a reply that the server was sent and has
// not answered, when no other server's answer is held for it, is answered
// by the proxy (GrabPointer and GrabKeyboard: status not viewable;
// QueryPointer: the proxy's pointer; a window's GetImage: the image from
// the heads that remain, the server's part zeros (answerLostImagePiece);
// an extension's request: its module's lost-server hook; the rest:
// BadImplementation). Then every client's newest pending request is armed
// again on the remaining servers.
void answerLostServerClients(ServerDisplay* server);
void rearmPendingRequests();

}  // namespace palvon
