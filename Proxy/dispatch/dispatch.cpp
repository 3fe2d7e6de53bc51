// The dispatch tables: registration of rows, the checks of their keys, and
// the request prologue.
#include "Proxy/dispatch/dispatch.h"

#include <X11/X.h>

#include <cstdio>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/dispatch/prologue.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/links/errors.h"
#include "Proxy/proxystate.h"
#include "base/bits.h"
#include "base/wordswap.h"

namespace palvon {

RequestContext currentRequest;

const RowTable* const kCoreRequestTables[] = {&kWindowRows, &kPropertyRows, &kInputRows, &kFontRows,
                                              &kGCRows,     &kDrawingRows,  &kImageRows, &kTextRows,
                                              &kColorRows,  &kCursorRows,   &kServerRows};
const u32 kCoreRequestTableCount = sizeof kCoreRequestTables / sizeof kCoreRequestTables[0];

namespace {

// What every slot holds until a row claims it.
constexpr RequestRow kUnsupportedRow = {0,  nullptr, handleUnsupportedRequest, handleUnsupportedReply, "bbs",
                                        "", anySize(), Route::kNone};
constexpr EventRow kUnsupportedEventRow = {0, nullptr, handleUnsupportedEvent, "bbs"};
constexpr ErrorRow kUnsupportedErrorRow = {0, "Unsupported", handleUnsupportedError, ErrorValue::kText};

DispatchTables& tables() { return proxyState.dispatch; }

// The core rows by major, made once from the area tables (they are constant
// data, so this works before initCoreDispatchTables and in tools and tests).
struct CoreIndex {
  const RequestRow* rows[128];
  const char* problem;
};

CoreIndex buildIndex(const RowTable* const* tablesToIndex, u32 tableCount) {
  CoreIndex index{};
  for (u32 t = 0; t < tableCount; t++) {
    const RowTable& table = *tablesToIndex[t];
    for (u32 k = 0; k < table.count; k++) {
      const RequestRow& row = table.rows[k];
      if (index.problem) break;
      if (row.opcode >= 128)
        index.problem = tmpPrintf("Core request row %u (%s) is not a core major", row.opcode, row.name);
      else if (index.rows[row.opcode])
        index.problem = tmpPrintf("Doubled core request row %u (%s)", row.opcode, row.name);
      else
        index.rows[row.opcode] = &row;
    }
  }
  for (u32 major = 0; major < 128 && !index.problem; major++) {
    if (!index.rows[major]) index.problem = tmpPrintf("No core request row for major %u", major);
  }
  return index;
}

CoreIndex buildCoreIndex() {
  CoreIndex index = buildIndex(kCoreRequestTables, kCoreRequestTableCount);
  // The text outlives the ring of temporary strings.
  if (index.problem) index.problem = memStrdup(index.problem);
  return index;
}

const CoreIndex& coreIndex() {
  static const CoreIndex index = buildCoreIndex();
  return index;
}

// The first key that two rows of one table share, as text; null when none.
u8 keyOf(const RequestRow& row) { return row.opcode; }
u8 keyOf(const EventRow& row) { return row.code; }
u8 keyOf(const ErrorRow& row) { return row.code; }

template <class Row>
const char* doubledKey(const Row* rows, u32 count, const char* what, const char* module) {
  bool seen[256] = {};
  for (u32 k = 0; k < count; k++) {
    u8 key = keyOf(rows[k]);
    if (seen[key]) return tmpPrintf("Doubled %s row %u of %s", what, key, module);
    seen[key] = true;
  }
  return nullptr;
}

u64 fieldAt(const u8* request, u8 at, u8 width) {
  switch (width) {
    case 1: return request[at];
    case 2: return loadU16(request + at);
    default: return loadU32(request + at);
  }
}

}  // namespace

// --- Rows and tables ---------------------------------------------------------

// The kinds requestSizeFits (prologue.h) leaves to this call.
bool sizeFits(const SizeRule& rule, const u8* request, u32 length) {
  const u64 n = length;
  switch (rule.kind) {
    case SizeKind::kMask:
      return n >= rule.fixed && n == rule.fixed + 4ull * bitCount(static_cast<u32>(fieldAt(request, rule.at, rule.width)));
    case SizeKind::kCounted: {
      if (n < rule.fixed) return false;
      u64 items = fieldAt(request, rule.at, rule.width) * (rule.factorAt ? request[rule.factorAt] : 1u);
      u64 bytes = (items * rule.unit + 7) / 8;
      return n == ((rule.fixed + bytes + 3) & ~u64{3});
    }
    default: return requestSizeFits(rule, request, length);
  }
}

const char* checkCoreRows() { return coreIndex().problem; }

const char* checkRequestTables(const RowTable* const* tablesToCheck, u32 count) {
  return buildIndex(tablesToCheck, count).problem;
}

const RequestRow& coreRequestRow(u8 major) {
  const RequestRow* row = coreIndex().rows[major & 127];
  return row ? *row : kUnsupportedRow;
}

LayoutString coreEventLayout(u8 code) {
  for (u32 k = 0; k < kCoreEventRowCount; k++)
    if (kCoreEventRows[k].code == code) return kCoreEventRows[k].layout;
  return "bbs";
}

const char* initCoreDispatchTables() {
  if (const char* problem = checkCoreRows()) return problem;
  if (const char* problem = doubledKey(kCoreEventRows, kCoreEventRowCount, "event", "the core protocol"))
    return problem;
  if (const char* problem = doubledKey(kCoreErrorRows, kCoreErrorRowCount, "error", "the core protocol"))
    return problem;
  DispatchTables& t = tables();
  for (u32 key = 0; key < kRequestKeys; key++) {
    u8 major = static_cast<u8>(key);
    t.requests[key] = major < 128 ? &coreRequestRow(major) : &kUnsupportedRow;
  }
  for (u32 code = 0; code < 256; code++) {
    t.events[code] = &kUnsupportedEventRow;
    t.errors[code] = &kUnsupportedErrorRow;
  }
  for (u32 k = 0; k < kCoreEventRowCount; k++) t.events[kCoreEventRows[k].code] = &kCoreEventRows[k];
  for (u32 k = 0; k < kCoreErrorRowCount; k++) t.errors[kCoreErrorRows[k].code] = &kCoreErrorRows[k];
  for (const EventRow*& row : t.genericEvents) row = nullptr;
  return nullptr;
}

const char* registerExtensionRows(ExtensionEntry* entry, const char* name, const ProtocolRows& rows) {
  if (const char* problem = doubledKey(rows.requests, rows.requestCount, "request", name)) return problem;
  if (const char* problem = doubledKey(rows.events, rows.eventCount, "event", name)) return problem;
  if (const char* problem = doubledKey(rows.errors, rows.errorCount, "error", name)) return problem;
  for (u32 k = 0; k < rows.eventCount; k++) {
    if (rows.events[k].code >= rows.eventCount) return tmpPrintf("Event row %u of %s beyond its count", rows.events[k].code, name);
  }
  for (u32 k = 0; k < rows.errorCount; k++) {
    if (rows.errors[k].code >= rows.errorCount) return tmpPrintf("Error row %u of %s beyond its count", rows.errors[k].code, name);
  }
  if (const char* failure = registerExtension(entry, name, rows.eventCount, rows.errorCount)) return failure;
  DispatchTables& t = tables();
  for (u32 k = 0; k < rows.requestCount; k++) t.requests[requestKey(entry->major, rows.requests[k].opcode)] = &rows.requests[k];
  for (u32 k = 0; k < rows.eventCount; k++) {
    u32 code = entry->firstEvent + rows.events[k].code;
    if (code < 256) t.events[code] = &rows.events[k];
  }
  for (u32 k = 0; k < rows.errorCount; k++) {
    u32 code = entry->firstError + rows.errors[k].code;
    if (code < 256) t.errors[code] = &rows.errors[k];
  }
  entry->eventCount = static_cast<u8>(rows.eventCount);
  entry->errorCount = static_cast<u8>(rows.errorCount);
  return nullptr;
}

void registerGenericEventRow(u8 major, const EventRow* row) {
  if (major >= 128) tables().genericEvents[major - 128] = row;
}

void clearExtensionRows(u8 major) {
  if (major < 128) return;
  for (u32 minor = 0; minor < 256; minor++) tables().requests[requestKey(major, static_cast<u8>(minor))] = &kUnsupportedRow;
  tables().genericEvents[major - 128] = nullptr;
}

void clearEventRows(u8 first, u8 count) {
  for (u32 code = first; code < u32{first} + count && code < 256; code++) tables().events[code] = &kUnsupportedEventRow;
}

void clearErrorRows(u8 first, u8 count) {
  for (u32 code = first; code < u32{first} + count && code < 256; code++) tables().errors[code] = &kUnsupportedErrorRow;
}

const RequestRow* requestRowOf(u32 key) {
  const RequestRow* row = tables().requests[key & 0xffff];
  return row ? row : &kUnsupportedRow;
}

const EventRow* eventRowOf(u8 code) {
  const EventRow* row = tables().events[code];
  return row ? row : &kUnsupportedEventRow;
}

const ErrorRow* errorRowOf(u8 code) {
  const ErrorRow* row = tables().errors[code];
  return row ? row : &kUnsupportedErrorRow;
}

static bool hasLayout(LayoutString layout) { return layout && layout[0]; }

LayoutString replyLayoutOf(const RequestRow* row, const u8* reply, u32 length) {
  if (row->replyLayoutOf) return row->replyLayoutOf(reply, length);
  return hasLayout(row->replyLayout) ? row->replyLayout : kReplyHeaderLayout;
}

LayoutString requestLayoutOf(const RequestRow* row, const u8* request, u32 length) {
  return row->requestLayoutOf ? row->requestLayoutOf(request, length) : row->requestLayout;
}

LayoutString eventLayoutOf(const u8* event) {
  u8 code = event[0] & 0x7f;
  if (code == GenericEvent) {
    const EventRow* row = event[1] >= 128 ? tables().genericEvents[event[1] - 128] : nullptr;
    // The length must stay readable whoever owns the rest.
    return row && hasLayout(row->layout) ? row->layout : "bbsis";
  }
  const EventRow* row = eventRowOf(code);
  return row->layout ? row->layout : "bbs";
}

ReplyHandler replyHandlerOf(const RequestRow* row) {
  if (row->reply) return row->reply;
  return hasLayout(row->replyLayout) || row->replyLayoutOf ? forwardReply : handleUnexpectedReply;
}

EventHandler eventHandlerOf(const u8* event) {
  u8 code = event[0] & 0x7f;
  const EventRow* row = code == GenericEvent && event[1] >= 128 ? tables().genericEvents[event[1] - 128]
                                                                 : code == GenericEvent ? nullptr : eventRowOf(code);
  if (!row) return handleUnsupportedEvent;
  return row->handler ? row->handler : forwardEvent;
}

ErrorHandler errorHandlerOf(u8 code) {
  const ErrorRow* row = errorRowOf(code);
  return row->handler ? row->handler : handleServerError;
}

// --- The prologue ------------------------------------------------------------------

// The prologue after the row is found and the request counted, for a
// client of the other byte order (its request is swapped first) or one
// being recorded; prologue.h has the usual one.
void runRarePrologue(ProxyClient* client, u8* request, u32 length, const RequestRow* row) {
  if (client->parser.swapped) swapArriving(requestLayoutOf(row, request, length), request, request + length);
  if (!requestSizeFits(row->size, request, length)) {
    sendXError(BadLength, length, request, length, nullptr);
    return;
  }
  if (client->recording && serviceHooks.recordRequest) serviceHooks.recordRequest(client, request, length);
  runRequestHandler(client, request, length, row);
}

const RequestRow* dispatchClientRequest(ProxyClient* client, u8* request, u32 length) {
  return dispatchClientRequestInline(client, request, length);
}

}  // namespace palvon
