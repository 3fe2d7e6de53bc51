// Requests, replies, events and errors as rows: the one description of the
// protocol that the dispatcher, the swapper and the logs read.
//
// HOW A MODULE ADDS ITS ROWS
//   The core protocol's rows are constexpr tables, one per protocol area, in
//   Proxy/dispatch/rows/*.cpp (windows, properties and atoms, input and grabs, fonts
//   and pixmaps, GCs, drawing and text, images, colours, cursors and
//   extension queries, server-wide), plus the event and error tables.
//   initCoreDispatchTables() puts them into the DispatchTables once at start-up.
//   To give a core request its handler, put it into the request's row in
//   place of nullptr (and declare it in the module's header); a row without
//   one answers BadImplementation. A reply handler likewise: without one, a
//   row with a reply layout passes the reply on unchanged (forwardReply).
//   An extension module's init makes one call,
//     registerExtensionRows(entry, "NAME", ProtocolRows{...})
//   with its request rows keyed by minor opcode, its event rows by event
//   index (0 = the first event the registry gave it) and its error rows by
//   error index. It returns null or the refusal text, which the init returns
//   unchanged. Minors without a row keep the unsupported handler.
//   A doubled key, or a core major without a row, is refused at start-up
//   (checkCoreRows) and by the rows test.
//
// WHAT THE DISPATCHER DID BEFORE A REQUEST HANDLER RUNS
//   1. counted the request: client->requestCounter is its sequence number;
//   2. swapped it in place by the row's request layout when the client's
//      byte order differs (the handler reads every field in the proxy's
//      order; only data the layout does not name, such as image bytes or
//      PolyText items, is as the client sent it);
//   3. checked its length in 64 bits against the row's size rule and
//      answered BadLength (16, bad value = the length in bytes) with the
//      request's sequence when it does not fit; the handler was then not
//      called. A rule of SizeKind::kAny leaves the check to the handler;
//   4. handed it to the recording hook when the client is recorded;
//   5. set currentRequest.row to the row and cleared the client's request
//      resource (setRequestResource sets it; routes take its meta screen).
//   The handler then validates ids and values (errors only through
//   sendXError / sendExtensionError), records the request's resource, and
//   forwards along the row's route with forwardRequest (dispatch.h), which
//   loops over the target heads, lets the handler rewrite each copy for its
//   head and swaps it for a server of the other byte order; a copy that
//   cannot be made is answered with BadAlloc.
//
// WHAT THE DISPATCHER DID BEFORE A REPLY, EVENT OR ERROR HANDLER RUNS
//   Reply: reply hooks were offered the raw reply first; then the whole
//   reply was swapped once into the proxy's order by the reply layout of
//   the row of the request it answers (special layouts included), the
//   sequence was popped (client->sequenceAnswered, link->requestKeyAnswered)
//   and the client's sequence written into bytes 2-3.
//   Event: the code was renumbered to the proxy's, the event swapped by its
//   row's layout, its sequence popped and replaced by the client's (not for
//   KeymapNotify, which carries none).
//   Error: renumbered, swapped by "bbsis", popped, the client's sequence
//   written, the major opcode at byte 10 mapped back to the proxy's.
//   The handler translates ids back and hands the message on with
//   sendReplyToClient / sendEventToClient / sendErrorToClient and the same
//   layout, which swaps it for a client of the other byte order. No handler
//   swaps a message itself.
//
// Rows are constant data with static storage; the tables keep pointers to
// them. Main thread only.
#pragma once

#include "Xext/swap/byteswap.h"
#include "base/strings.h"

namespace palvon {

struct ExtensionEntry;

// Called with the request (in the client's input, already in the proxy's
// byte order) and its length in bytes; a BIG-REQUESTS request arrives with
// its extended-length word removed and its 16-bit length field 0.
using RequestHandler = void (*)(u8* request, u32 length);
// Called with a reply in the proxy's order and its length in bytes.
using ReplyHandler = void (*)(u8* reply, u32 length);
// Called with an event in the proxy's order (32 bytes; a GenericEvent
// carries its own length).
using EventHandler = void (*)(u8* event);
// Called with a 32-byte error in the proxy's order.
using ErrorHandler = void (*)(u8* error);
// The layout of a message whose layout depends on a byte inside it (a
// format, an embedded event code); only single bytes, which need no
// swapping, are read, and none at or after `length`. Null in most rows.
using LayoutChooser = LayoutString (*)(const u8* message, u32 length);

// Where a request goes once its handler has validated it.
enum class Route : u8 {
  kNone,          // nowhere: invalid, unsupported, or the handler decides alone
  kLocal,         // answered by the proxy itself; nothing reaches a server
  kEveryHead,     // every head of the request's meta screen
  kEveryScreen,   // every head of every meta screen
  kEveryServer,   // one head of every real server
  kMainHead,      // the main head of the request's meta screen
  kColorHead,     // the colour head of the request's meta screen
  kAtomHead,      // the head on the atom server
  kPropertyHead,  // the head holding the window's properties
  kPointerHead,   // the head holding the pointer
  kInputHead,     // the first head of the input-control server
  kFontHead,      // the font server's first head
  kImageHead,     // the first head of the image display
  kFewestIdBits,  // over every meta screen, the first head whose server
                  // gives its clients the fewest resource-id bits
};

// How long a request must be. All sizes in bytes; checks run in 64 bits.
enum class SizeKind : u8 {
  kAny,      // no check here (the handler checks, or the request is invalid)
  kExact,    // exactly `fixed`
  kAtLeast,  // at least `fixed`
  kList,     // `fixed` plus a whole number of `unit`-byte elements
  kMask,     // `fixed` plus 4 bytes per bit set in the value mask at `at`
  kCounted,  // `fixed` plus count x factor x unitBits / 8 bytes, padded to 4
};

struct SizeRule {
  SizeKind kind;
  u8 at;          // kMask, kCounted: offset of the mask or count
  u8 width;       // its width in bytes (1, 2 or 4)
  u8 factorAt;    // kCounted: offset of a byte that multiplies the count, 0 none
  u16 fixed;
  u16 unit;       // kList: bytes per element; kCounted: bits per counted item
};

constexpr SizeRule anySize() { return {SizeKind::kAny, 0, 0, 0, 0, 0}; }
constexpr SizeRule exactSize(u16 bytes) { return {SizeKind::kExact, 0, 0, 0, bytes, 0}; }
constexpr SizeRule atLeastSize(u16 bytes) { return {SizeKind::kAtLeast, 0, 0, 0, bytes, 0}; }
constexpr SizeRule listSize(u16 fixed, u16 elementBytes) { return {SizeKind::kList, 0, 0, 0, fixed, elementBytes}; }
constexpr SizeRule maskSize(u16 fixed, u8 maskAt, u8 maskWidth) {
  return {SizeKind::kMask, maskAt, maskWidth, 0, fixed, 0};
}
constexpr SizeRule countedSize(u16 fixed, u8 countAt, u8 countWidth, u16 itemBits, u8 factorAt = 0) {
  return {SizeKind::kCounted, countAt, countWidth, factorAt, fixed, itemBits};
}

// True when a request of `length` bytes (fields in the proxy's order)
// satisfies the rule; a request too short to hold its mask or count fails.
bool sizeFits(const SizeRule& rule, const u8* request, u32 length);

// One request: its key, name, handlers, layouts, size rule and route.
struct RequestRow {
  u8 opcode;                    // core rows: the major; extension rows: the minor
  const char* name;             // "CreateWindow"
  RequestHandler request;       // null: the unimplemented handler
  ReplyHandler reply;           // null: forwardReply when the row has a reply, else handleUnexpectedReply
  LayoutString requestLayout;
  LayoutString replyLayout;     // "" or null: the request has no reply
  SizeRule size;
  Route route;
  LayoutChooser requestLayoutOf = nullptr;  // when set, used instead of requestLayout
  LayoutChooser replyLayoutOf = nullptr;    // when set, used instead of replyLayout
};

// One event code (core: the code; extension: index from the first event).
// A null handler passes the event on (forwardEvent); a null layout is
// registered by count alone (events the proxy makes itself).
struct EventRow {
  u8 code;
  const char* name;
  EventHandler handler;
  LayoutString layout;
};

// What an error's 32-bit value is, for its log text and its translation
// back into the client's terms.
enum class ErrorValue : u8 {
  kNone,        // no value in the log text
  kText,        // "%u" below 1000, else "0x%x"
  kResourceId,  // a resource id: translated back, "0x%x"
  kIdChoice,    // a resource id: translated back, "%u" below 1000, else "0x%x"
  kAtom,        // "%u"
  kKillClient,  // as kText, translated back only when KillClient failed
};

// One error code (core: the code; extension: index from the first error).
struct ErrorRow {
  u8 code;
  const char* name;
  ErrorHandler handler;   // null: handleServerError
  ErrorValue value;
};

// What one module registers in one call.
struct ProtocolRows {
  const RequestRow* requests;
  u32 requestCount;
  const EventRow* events;
  u32 eventCount;
  const ErrorRow* errors;
  u32 errorCount;
};

template <class T, u32 N>
constexpr u32 rowCount(const T (&)[N]) {
  return N;
}

// Messages that are no request's: every error (code, sequence, bad value,
// minor and major opcode), a connection set-up and a set-up refusal's
// first eight bytes.
inline constexpr LayoutString kErrorLayout = "bbsis";
// A reply's header: what is swapped of a reply nobody describes.
inline constexpr LayoutString kReplyHeaderLayout = "bbsi";
inline constexpr LayoutString kConnectionSetupLayout = "bbsssss";
inline constexpr LayoutString kSetupRefusalLayout = "bbsss";

// The core protocol's tables (Proxy/dispatch/rows/*.cpp).
struct RowTable {
  const RequestRow* rows;
  u32 count;
};
extern const RowTable kWindowRows;
extern const RowTable kPropertyRows;
extern const RowTable kInputRows;
extern const RowTable kFontRows;
extern const RowTable kGCRows;
extern const RowTable kDrawingRows;
extern const RowTable kTextRows;
extern const RowTable kImageRows;
extern const RowTable kColorRows;
extern const RowTable kCursorRows;
extern const RowTable kServerRows;
// Every core area in opcode order of its first row.
extern const RowTable* const kCoreRequestTables[];
extern const u32 kCoreRequestTableCount;
extern const EventRow kCoreEventRows[];
extern const u32 kCoreEventRowCount;
extern const ErrorRow kCoreErrorRows[];
extern const u32 kCoreErrorRowCount;

// Null, or the text naming the first missing or doubled core key.
const char* checkCoreRows();
// The same check over any set of tables (the text is temporary).
const char* checkRequestTables(const RowTable* const* tables, u32 count);
// Fills every request, reply, event and error slot: the core rows, the
// unsupported rows on every extension major, the default event and error
// rows. Null or the message of checkCoreRows.
const char* initCoreDispatchTables();
// The core row of a major (0..127), also before initCoreDispatchTables ran.
const RequestRow& coreRequestRow(u8 major);
// The layout of a core request, for the proxy's own request writers.
inline LayoutString coreRequestLayout(u8 major) { return coreRequestRow(major).requestLayout; }
// The layout of a core event (2..34), also before initCoreDispatchTables
// ran; "bbs" for any other code.
LayoutString coreEventLayout(u8 code);

// Registers the extension (registerExtension with the row counts) and
// fills its rows at the entry's major, first event and first error. Null or
// the refusal text ("X extension event base exhausted", a doubled key).
const char* registerExtensionRows(ExtensionEntry* entry, const char* name, const ProtocolRows& rows);
// The generic events (code 35) of an extension: routed by the extension's
// major opcode in byte 1.
void registerGenericEventRow(u8 major, const EventRow* row);

}  // namespace palvon
