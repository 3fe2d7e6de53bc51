// Rows of the atom, property and selection requests and SendEvent
// (opcodes 16 to 25).
#include <X11/Xproto.h>

#include "Proxy/dispatch/rows.h"
#include "Proxy/requests/atoms.h"

namespace palvon {

namespace {

// GetProperty: the value's unit is the reply's format (byte 1).
LayoutString getPropertyReplyLayout(const u8* reply, u32 length) {
  switch (length > 1 ? reply[1] : 0) {
    case 32: return "bbsI";
    case 16: return "bbsiiiiiiiS";
    default: return "bbsiiii";
  }
}

// SendEvent: the header, then the event by its own layout. The event code
// is one byte and needs no swapping to be read; extension events (and
// codes no core event has) get their sequence swapped only.
LayoutString sendEventLayout(const u8* request, u32 length) {
  static constexpr LayoutString kLayouts[35] = {
      "bbsiibbs", "bbsiibbs",                                               // 0, 1
      "bbsiibbsiiiisssss", "bbsiibbsiiiisssss", "bbsiibbsiiiisssss",        // 2-4
      "bbsiibbsiiiisssss", "bbsiibbsiiiisssss", "bbsiibbsiiiisssss",        // 5-7
      "bbsiibbsiiiisssss",                                                  // 8
      "bbsiibbsi", "bbsiibbsi",                                             // 9, 10
      "bbsii",                                                              // 11 KeymapNotify
      "bbsiibbsisssss", "bbsiibbsissssss", "bbsiibbsis", "bbsiibbsi",       // 12-15
      "bbsiibbsiisssss",                                                    // 16
      "bbsiibbsii", "bbsiibbsii", "bbsiibbsii", "bbsiibbsii",               // 17-20
      "bbsiibbsiiiss", "bbsiibbsiiisssss", "bbsiibbsiiissssss",             // 21-23
      "bbsiibbsiiss", "bbsiibbsiss",                                        // 24, 25
      "bbsiibbsiii", "bbsiibbsiii", "bbsiibbsiii", "bbsiibbsiii",           // 26-29
      "bbsiibbsiiiiii", "bbsiibbsiiiii", "bbsiibbsii",                      // 30-32
      "bbsiibbsii",                                                         // 33 ClientMessage: data by format below
      "bbsiibbs",                                                           // 34
  };
  if (length < 14) return "bbsii";
  u8 code = request[12] & 0x7f;
  if (code == 33) {
    switch (request[13]) {
      case 16: return "bbsiibbsiiS";
      case 32: return "bbsiibbsI";
      default: return "bbsiibbsii";
    }
  }
  return code < 35 ? kLayouts[code] : "bbsiibbs";
}

// clang-format off
constexpr RequestRow kRows[] = {
    {X_InternAtom, "InternAtom", ProcInternAtom, nullptr, "bbss", "bbsii", countedSize(8, 4, 2, 8), Route::kAtomHead},
    {X_GetAtomName, "GetAtomName", ProcGetAtomName, nullptr, "bbsi", "bbsis", exactSize(8), Route::kAtomHead},
    {X_ChangeProperty, "ChangeProperty", ProcChangeProperty, nullptr, "H24", "", atLeastSize(24), Route::kPropertyHead},
    {X_DeleteProperty, "DeleteProperty", ProcDeleteProperty, nullptr, "bbsii", "", exactSize(12), Route::kPropertyHead},
    {X_GetProperty, "GetProperty", ProcGetProperty, nullptr, "bbsiiiii", "bbsiiii", exactSize(24), Route::kPropertyHead,
     nullptr, getPropertyReplyLayout},
    {X_ListProperties, "ListProperties", ProcListProperties, nullptr, "bbsi", "bbsissiiiiiI", exactSize(8), Route::kPropertyHead},
    {X_SetSelectionOwner, "SetSelectionOwner", ProcSetSelectionOwner, nullptr, "bbsiii", "", exactSize(16), Route::kPropertyHead},
    {X_GetSelectionOwner, "GetSelectionOwner", ProcGetSelectionOwner, ReplyGetSelectionOwner, "bbsi", "bbsii", exactSize(8), Route::kAtomHead},
    {X_ConvertSelection, "ConvertSelection", ProcConvertSelection, nullptr, "bbsiiiii", "", exactSize(24), Route::kPropertyHead},
    {X_SendEvent, "SendEvent", ProcSendEvent, nullptr, "bbsii", "", exactSize(44), Route::kNone, sendEventLayout},
};
// clang-format on

}  // namespace

const RowTable kPropertyRows = {kRows, rowCount(kRows)};

}  // namespace palvon
