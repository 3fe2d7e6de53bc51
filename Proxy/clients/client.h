// X clients of the proxy: the listeners of the proxy's display number, the
// ProxyClient record of every accepted connection, finding clients by number
// or resource id, and the close-down of a client by its close-down mode.
//
// Ownership: client records are made by startClient. stopClient ends a
// client (destroy branch, or a kept client stopped again) and marks the
// record `stopped`; the record itself is freed only after the step of the
// event loop that stopped it, the way cancelled orders are. A caller may
// therefore read `stopped` after any call that may stop the client, and
// must then leave the record alone. Every call comes from the main thread.
// Returned error texts live in the ring of temporary strings.
#pragma once

#include "base/buffer.h"
#include "base/outbuffer.h"
#include "base/strings.h"

struct _XtransConnInfo;

namespace palvon {

struct BesideJob;
struct Order;
struct ServerLink;
struct PendingRequest;
struct Region;
struct PassiveGrab;
struct RedirectNote;
struct ClientRecording;
struct MetaScreen;
struct ProxyWindow;

// Close-down modes of the X protocol (SetCloseDownMode).
constexpr u8 kDestroyAll = 0;
constexpr u8 kRetainPermanent = 1;
constexpr u8 kRetainTemporary = 2;

// Client numbers are slots of the resource database; slot 0 is the proxy.
constexpr u32 kMaxClientSlots = 1024;
// Size of the authorization data a client keeps after its set-up.
constexpr u32 kGrantedDataMax = 128;
// A connection whose set-up has not completed this long after its accept
// is closed, as a plain server closes it. Test builds may shorten it.
constexpr u32 kClientSetupTimeoutMs = 60000;
extern u32 clientSetupTimeoutMs;
// At most this many accepted connections wait for their set-up at once;
// one more closes the one that has waited longest. Idle connections thus
// hold a bounded number of client slots, and a real client, whose set-up
// follows its connect at once, finds one.
constexpr u32 kMaxHalfOpenClients = 128;
// At most this many threads wait for name servers at once, the look-ups
// of clients that left included (each ends only with the name server's
// answer or time-out); of those, clients still waiting hold at most
// kMaxHalfOpenClients.
constexpr u32 kMaxHostLookupThreads = 4 * kMaxHalfOpenClients;
// Whether a line about a refused connection may be logged now: the first
// kRefusalLinesPerSecond of each second may; the others are counted and
// named in one line at the end of that second, so that a peer refused in
// a loop cannot fill the disk.
constexpr u32 kRefusalLinesPerSecond = 5;
bool mayLogRefusal();

// What the request parser knows between two reads.
struct ClientParser {
  u32 bytesNeeded;        // 0 set-up expected, 4 requests, kParserStop stop
  u32 swapped;            // 1: the client sends most significant byte first
  const char* refusal;    // why parsing stopped; "" stops without ending
  u64 discardRemaining;   // bytes of a refused big request still to skip
};
constexpr u32 kParserSetup = 0;
constexpr u32 kParserRequests = 4;
constexpr u32 kParserStop = 0xffffffffu;

// One connected X client. Zero-filled when created.
struct ProxyClient {
  ProxyClient* next;
  ProxyClient* previous;       // the head's previous is the tail
  u32 number;                  // resource-database slot; ids carry it above the shift
  _XtransConnInfo* transport;  // null for an internal client or after close
  Order* readOrder;            // descriptor readable, or the 8 ms resume timer
  Order* writeOrder;           // descriptor writable while output is pending
  ByteBuffer input;            // bytes read and not yet parsed
  OutBuffer output;            // replies, events and errors for the client
  i32 descriptor;
  ClientParser parser;
  ServerLink** links;          // one per server display, in server-list order
  u32 linkCount;
  u32 requestCounter;          // the client's sequence number
  Region* region;
  u16 sequenceAnswered;        // client sequence of the message being delivered
  u16 lastEventSequence;
  u32 composedHeldAt;          // request the last held composed event waits on
  u32 lastMessageType;         // type byte of the last reply, event or error
  PendingRequest* pendingHead;
  PendingRequest* pendingTail;
  u32 pendingCount;            // entries on the pending list (pending.h)
  u8 hasLinks;                 // the connection set-up opened the server links
  u8 grabExempt;               // served during another client's server grab
  u8 reinitStop;               // stopped at the end of a run
  u8 closeDownMode;            // kDestroyAll, kRetainPermanent, kRetainTemporary
  u8 setupRepliesAwaited;
  u8 bigRequests;              // BIG-REQUESTS enabled
  u8 readingResumeTimer;       // readOrder is a resume (timer or next turn), not the descriptor
  u8 dispatching;              // its input is being parsed
  u8 stopped;                  // stopClient ran; the record only waits to be freed
  u8 holdsColorCells;          // some colormap has an entry or emulated cell it owns: its end walks them
  ProxyClient* nextStopped;    // the records waiting to be freed (next stays null)
  u32 recordSwitches;
  void* recordAttachments;
  ClientRecording* recording;
  u32 authorizationId;
  u32 grantedLength;
  u8 grantedData[kGrantedDataMax];
  PassiveGrab* passiveGrabs;
  RedirectNote* redirectNotes;
  u32 errorCounter;            // errors sent to the client
  char* peerName;              // printable peer when known (heap)
  // Pending entries waiting for their round trips, newest first (pending.h).
  PendingRequest* unarmedPending;
  // Added by the resource database: the counter of ids the proxy takes in
  // the client's own space (counts down from the top, 0 when created), and
  // the resource that the current request names (setRequestResource).
  u32 ownIdCounter;
  u32 requestResourceType;
  void* requestResourceObject;
  MetaScreen* requestResourceScreen;
  ProxyWindow* requestTranslucentWindow;  // null unless a translucent window
  // Added with the properties: what the client's own windows say of it,
  // each set once by the first value seen (NUL-terminated, cut to size):
  // WM_CLIENT_MACHINE, WM_NAME and the class part of WM_CLASS.
  char machineName[64];
  char programName[32];
  char className[32];
  // Added with the start-up: the authorization name the client presented,
  // sent on to a server for which the proxy has no credentials of its own
  // (with grantedData).
  u8 grantedNameLength;
  char grantedName[31];
  // Added by the window attributes: the save-set, the windows that stay when
  // the client leaves (malloc'ed, null when empty).
  ProxyWindow** saveSet;
  i32 saveSetCount;
  // Added by XKEYBOARD: set once the client sent UseExtension, so that a
  // joining server hears it too.
  u8 usesXkb;
  // Added with the META extension: the events the client selected
  // (metacore.h), and the mark of a control client, whose end never resets
  // the proxy.
  u8 metaEvents;
  u8 metaClient;
  // Added with streamed replies (links/streamedreply.h): the link whose
  // reply is being passed to the client as it arrives (null: none), the
  // messages that wait behind that reply, and the mark of a client whose
  // streamed reply was cut off, which the order ends at the loop's next turn.
  ServerLink* streamingLink;
  OutBuffer behindStream;
  u8 streamCut;
  Order* streamCutOrder;
  // Armed at the accept, dropped once the set-up has arrived whole.
  Order* setupTimer;
  // The look-up of the host's name that the set-up waits for (null: none);
  // the client is not read meanwhile.
  BesideJob* hostLookup;
  // Added with copies across heads (requests/copies.h): copies whose
  // pixels are being carried from head to head, and RENDER drawings that a
  // head blends in true colours for the proxy to store as colour indexes.
  // The client is not read meanwhile: its next requests must find them
  // written.
  u32 awaitingPixels;
  // Added with requests run later (input.h, runRequestLater): the copy of
  // the request the client's later requests wait behind, and the timer
  // until it runs (null once it is due).
  u8* laterRequest;
  u32 laterLength;
  Order* laterTimer;
  // Round trips of holdUntilServerPasses not answered yet: the client's
  // later requests wait for them.
  u32 serverHolds;
  // While either hold keeps the socket unread: the watch for the peer's
  // hang-up, so that the client's end is noticed at once (null otherwise).
  Order* heldEndOrder;
};

// A listening transport of the proxy's display number.
struct Listener {
  Listener* next;
  _XtransConnInfo* transport;
  Order* readOrder;
  Order* acceptOrder;          // idle order of the pending accept
  i32 descriptor;
};

// The client list (head's previous is the tail), its length, the listeners,
// the client whose input is being handled and the proxy's display number
// (-1 until the listeners are open; the one number getProxyDisplayNumber
// and the log file name read).
extern ProxyClient* clientList;
extern u32 clientCount;
extern Listener* listenerList;
extern ProxyClient* currentClient;
extern i32 proxyDisplayNumber;

// The number after the last ':' of a display name, up to a '.'; -1 when
// there is none or it is too large for a TCP port.
int parseDisplayNumber(const char* name);

// Opens the listeners of the display (null name: display 0) and reads the
// host access file of its number. accessControl 0 switches host checks off.
const char* openListeningPorts(const char* displayName, int accessControl);
// Closes every listener (at exit).
void closeListeningPorts();
// All connection-oriented listeners for the numbers; null when none.
_XtransConnInfo** createClientListeners(const int* numbers, int count, int* listenerCount);
void onListenerReadable(void* listener);

// Accepts a client from the listener (null: an internal client without a
// transport). Null when no record could be made or the accept failed.
ProxyClient* startClient(Listener* listener);
ProxyClient* findClientByNumber(u32 number);
ProxyClient* findClientByXid(u32 xid);
// The peer's printable name; the text lives until the next call.
const char* getClientHostName(const ProxyClient* client);
// Closes the transport and drops the client's I/O; a final flush of pending
// output is bounded by kCloseFlushTimeoutMs.
void closeClientConnection(ProxyClient* client);
constexpr u32 kCloseFlushTimeoutMs = 250;
// The close-down. keepOnClose is 1 when the client's own socket ended and 0
// when the proxy ends the client. A destroyed client is marked `stopped`
// and freed after the current step: read nothing but `stopped` afterwards.
void stopClient(ProxyClient* client, const char* reason, int keepOnClose);
void watchClientWritable(void* client);
// The client's set-up has arrived whole: its set-up time-out ends.
void endClientSetupWait(ProxyClient* client);
// Frees the stopped records now. The event loop does it at the start of the
// step after a stop; call it directly only where no stopped record can be in
// use (at exit, at the end of a test).
void freeStoppedClients();
// The highest client number that the resource-id bits in force allow.
u32 maxClientNumber();
// The name of a close-down mode ("DestroyAll", ... , "UNKNOWN").
const char* closeDownModeName(u8 mode);

// Transport helpers over xtrans.
int getTransportFd(_XtransConnInfo* transport);
int isLocalTransport(_XtransConnInfo* transport);
bool resetListener(_XtransConnInfo* transport);
void closeListener(_XtransConnInfo* transport);
void closeClientTransport(_XtransConnInfo* transport);
_XtransConnInfo* acceptClientTransport(_XtransConnInfo* listener, int* descriptor);

// Hooks of subsystems that are not part of the client layer; each may stay
// null. They are called on the transitions named.
struct ClientHooks {
  void (*sessionStarted)(int descriptor);         // an authorized client began
  void (*sessionClosing)(int descriptor);         // a client's transport closes
  void (*requestReset)(const char* reason);       // the last real client left
  void (*releaseClient)(ProxyClient* client, bool keeping);  // per-client state of other layers
  const char* (*clientName)(const ProxyClient* client);
};
extern ClientHooks clientHooks;

}  // namespace palvon
