// Rows of the pointer, grab and focus requests (opcodes 26 to 44).
#include <X11/Xproto.h>

#include "Proxy/dispatch/rows.h"
#include "Proxy/requests/input.h"
#include "Proxy/servers/queries.h"

namespace palvon {

namespace {

// Routes: kNone where the handler chooses the grab head (the pointer's, or
// the main head of the window's screen); kEveryHead for passive grabs,
// which skip heads that cannot deliver them; WarpPointer moves the meta
// pointer, which the heads follow.
// clang-format off
constexpr RequestRow kRows[] = {
    {X_GrabPointer, "GrabPointer", ProcGrabPointer, ReplyGrabPointer, "bbsisbbiii", "bbsi", exactSize(24), Route::kNone},
    {X_UngrabPointer, "UngrabPointer", ProcUngrabPointer, nullptr, "bbsi", "", exactSize(8), Route::kEveryServer},
    {X_GrabButton, "GrabButton", ProcGrabButton, nullptr, "bbsisbbiibbs", "", exactSize(24), Route::kEveryHead},
    {X_UngrabButton, "UngrabButton", ProcUngrabButton, nullptr, "bbsis", "", exactSize(12), Route::kEveryHead},
    {X_ChangeActivePointerGrab, "ChangeActivePointerGrab", ProcChangeActivePointerGrab, nullptr, "bbsiis", "", exactSize(16), Route::kPointerHead},
    {X_GrabKeyboard, "GrabKeyboard", ProcGrabKeyboard, ReplyGrabKeyboard, "bbsiibbs", "bbsi", exactSize(16), Route::kNone},
    {X_UngrabKeyboard, "UngrabKeyboard", ProcUngrabKeyboard, nullptr, "bbsi", "", exactSize(8), Route::kEveryServer},
    {X_GrabKey, "GrabKey", ProcGrabKey, nullptr, "bbsisbbb", "", exactSize(16), Route::kEveryHead},
    {X_UngrabKey, "UngrabKey", ProcUngrabKey, nullptr, "bbsis", "", exactSize(12), Route::kEveryHead},
    {X_AllowEvents, "AllowEvents", ProcAllowEvents, nullptr, "bbsi", "", exactSize(8), Route::kPointerHead},
    {X_GrabServer, "GrabServer", ProcGrabServer, nullptr, "bbs", "", exactSize(4), Route::kLocal},
    {X_UngrabServer, "UngrabServer", ProcUngrabServer, nullptr, "bbs", "", exactSize(4), Route::kLocal},
    {X_QueryPointer, "QueryPointer", ProcQueryPointer, ReplyQueryPointer, "bbsi", "bbsiiisssss", exactSize(8), Route::kPointerHead},
    {X_GetMotionEvents, "GetMotionEvents", ProcGetMotionEvents, ReplyGetMotionEvents, "bbsiii", "bbsiiiiiii[iss]", exactSize(16), Route::kPointerHead},
    {X_TranslateCoords, "TranslateCoordinates", ProcTranslateCoordinates, ReplyTranslateCoordinates, "bbsiiss", "bbsiiss", exactSize(16), Route::kMainHead},
    {X_WarpPointer, "WarpPointer", ProcWarpPointer, nullptr, "bbsiissssss", "", exactSize(24), Route::kLocal},
    {X_SetInputFocus, "SetInputFocus", ProcSetInputFocus, nullptr, "bbsii", "", exactSize(12), Route::kEveryServer},
    {X_GetInputFocus, "GetInputFocus", ProcGetInputFocus, ReplyGetInputFocus, "bbs", "bbsii", exactSize(4), Route::kInputHead},
    {X_QueryKeymap, "QueryKeymap", ProcQueryKeymap, ReplyQueryKeymap, "bbs", "bbsi", exactSize(4), Route::kInputHead},
};
// clang-format on

}  // namespace

const RowTable kInputRows = {kRows, rowCount(kRows)};

}  // namespace palvon
