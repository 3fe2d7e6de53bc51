// XpExtension.
#include "Xext/small/print.h"

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/resources/resource.h"
#include "Xext/extmodule.h"

namespace palvon {

namespace {

// --- Ids on the way out -----------------------------------------------------------

void translateContext(u8* copy, u32, const RouteTarget& target, void*) {
  if (target.head) put32(copy + 4, translateXid(get32(copy + 4), RT_SERVER_ID, target.head));
}
void translateDrawable(u8* copy, u32, const RouteTarget& target, void*) {
  if (target.head) put32(copy + 4, mapDrawableToHead(get32(copy + 4), target.head));
}
void translateWindow(u8* copy, u32, const RouteTarget& target, void*) {
  if (target.head) put32(copy + 4, translateXid(get32(copy + 4), RT_WINDOW, target.head));
}

// A request with a reply is answered even when no server is left to ask.
bool hasReply() {
  LayoutString layout = currentRequest.row->replyLayout;
  return layout && *layout;
}

void ProcPrintPlain(u8* request, u32 length) {
  if (hasReply()) return forwardOrAnswer(request, length);
  forwardRequest(request, length);
}

void ProcPrintContext(u8* request, u32 length) {
  if (hasReply() && !firstTargetLink(Route::kMainHead)) return forwardOrAnswer(request, length);
  forwardRequest(request, length, translateContext, nullptr);
}
void ProcPrintPutDocumentData(u8* request, u32 length) { forwardRequest(request, length, translateDrawable, nullptr); }
void ProcPrintStartPage(u8* request, u32 length) { forwardRequest(request, length, translateWindow, nullptr); }

// --- Ids on the way back ------------------------------------------------------------

const ServerDisplay* linkDisplay() { return currentLink ? currentLink->server.display : nullptr; }

void ReplyPrintQueryVersion(u8* reply, u32 length) { sendVersionReply(reply, length, kModuleXPrint, "bbsiss"); }

// The id at 8 (a context or a root) as the client knows it.
void ReplyPrintIdAt8(u8* reply, u32 length) {
  if (length >= 12) put32(reply + 8, mapServerXidToClient(get32(reply + 8), linkDisplay()));
  sendReplyToClient(reply, length, "bbsii");
}

// The count at 8 gives the roots from 32; a count past the reply's end
// stops at the end.
void ReplyPrintQueryScreens(u8* reply, u32 length) {
  u64 count = length >= 12 ? get32(reply + 8) : 0;
  u64 room = length >= 32 ? (length - 32) / 4 : 0;
  if (count > room) count = room;
  for (u64 k = 0; k < count; k++)
    put32(reply + 32 + 4 * k, mapServerXidToClient(get32(reply + 32 + 4 * k), linkDisplay()));
  sendReplyToClient(reply, length, "bbsI");
}

void EventPrint(u8* event) {
  if (!(event[0] & 0x80)) put32(event + 4, mapServerXidToClient(get32(event + 4), linkDisplay()));
  sendEventToClient(event, "bbsi", 0);
}

// The context id reaches the client as the server gave it.
void ErrorPrint(u8* error) {
  const ErrorRow* row = errorRowOf(error[1]);
  logServerError(error, "%s 0x%x", row && row->name ? row->name : "?", get32(error + 4));
  sendErrorToClient(error, kErrorLayout);
}

// A string follows the 16 fixed bytes; its length is the word at 8.
constexpr SizeRule kStringAt8 = countedSize(16, 8, 4, 8);

constexpr Route kHead = Route::kMainHead;

constexpr RequestRow kRequests[] = {
    {0, "XPrintQueryVersion", ProcPrintPlain, ReplyPrintQueryVersion, "bbs", "bbsiss", exactSize(4), kHead},
    {1, "XPrintGetPrinterList", ProcPrintPlain, nullptr, "bbsii", "bbsii", atLeastSize(12), kHead},
    {2, "XPrintCreateContext", ProcPrintContext, nullptr, "bbsiii", "", atLeastSize(16), kHead},
    {3, "XPrintSetContext", ProcPrintContext, nullptr, "bbsi", "", exactSize(8), kHead},
    {4, "XPrintGetContext", ProcPrintPlain, ReplyPrintIdAt8, "bbs", "bbsii", exactSize(4), kHead},
    {5, "XPrintDestroyContext", ProcPrintContext, nullptr, "bbsi", "", exactSize(8), kHead},
    {6, "XPrintGetContextScreen", ProcPrintContext, ReplyPrintIdAt8, "bbsi", "bbsii", exactSize(8), kHead},
    {7, "XPrintStartJob", ProcPrintPlain, nullptr, "bbs", "", exactSize(8), kHead},
    {8, "XPrintEndJob", ProcPrintPlain, nullptr, "bbs", "", exactSize(8), kHead},
    {9, "XPrintStartDoc", ProcPrintPlain, nullptr, "bbs", "", exactSize(8), kHead},
    {10, "XPrintEndDoc", ProcPrintPlain, nullptr, "bbs", "", exactSize(8), kHead},
    {11, "XPrintPutDocumentData", ProcPrintPutDocumentData, nullptr, "bbsiiss", "", atLeastSize(16), kHead},
    {12, "XPrintGetDocumentData", ProcPrintContext, nullptr, "bbsii", "bbsiiii", exactSize(12), kHead},
    {13, "XPrintStartPage", ProcPrintStartPage, nullptr, "bbsi", "", exactSize(8), kHead},
    {14, "XPrintEndPage", ProcPrintPlain, nullptr, "bbs", "", exactSize(8), kHead},
    {15, "XPrintSelectInput", ProcPrintContext, nullptr, "bbsii", "", exactSize(12), kHead},
    {16, "XPrintInputSelected", ProcPrintContext, nullptr, "bbsi", "bbsiii", exactSize(8), kHead},
    {17, "XPrintGetAttributes", ProcPrintContext, nullptr, "bbsi", "bbsii", exactSize(12), kHead},
    {18, "XPrintSetAttributes", ProcPrintContext, nullptr, "bbsii", "", kStringAt8, kHead},
    {19, "XPrintGetOneAttribute", ProcPrintContext, nullptr, "bbsii", "bbsii", kStringAt8, kHead},
    {20, "XPrintRehashPrinterList", ProcPrintPlain, nullptr, "bbs", "", exactSize(4), kHead},
    {21, "XPrintGetPageDimensions", ProcPrintContext, nullptr, "bbsi", "bbsiS", exactSize(8), kHead},
    {22, "XPrintQueryScreens", ProcPrintPlain, ReplyPrintQueryScreens, "bbs", "bbsI", exactSize(4), kHead},
    {23, "XPrintSetImageResolution", ProcPrintContext, nullptr, "bbsiss", "bbsis", exactSize(12), kHead},
    {24, "XPrintGetImageResolution", ProcPrintContext, nullptr, "bbsi", "bbsis", exactSize(8), kHead},
};

constexpr EventRow kEvents[] = {
    {0, "XPrintPrintNotify", EventPrint, "bbsi"},
    {1, "XPrintAttributeNotify", EventPrint, "bbsi"},
};

constexpr ErrorRow kErrors[] = {
    {0, "XPrintBadContext", ErrorPrint, ErrorValue::kResourceId},
    {1, "XPrintBadSequence", ErrorPrint, ErrorValue::kResourceId},
    {2, "XPrintBadResourceID", ErrorPrint, ErrorValue::kResourceId},
};

}  // namespace

const char* initPrintExtension(ExtensionEntry* entry) {
  return registerModule(entry, "XpExtension",
                        {kRequests, rowCount(kRequests), kEvents, rowCount(kEvents), kErrors, rowCount(kErrors)},
                        {kModuleXPrint, nullptr, nullptr, false});
}

}  // namespace palvon
