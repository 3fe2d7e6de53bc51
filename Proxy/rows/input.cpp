// Rows of the pointer, grab and focus requests (opcodes 26 to 44).
#include <X11/Xproto.h>

#include "Proxy/rows.h"
#include "Proxy/serverqueries.h"

namespace palvon {

namespace {

// clang-format off
constexpr RequestRow kRows[] = {
    {X_GrabPointer, "GrabPointer", nullptr, nullptr, "bbsisbbiii", "bbsi", exactSize(24), Route::kPointerHead},
    {X_UngrabPointer, "UngrabPointer", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryServer},
    {X_GrabButton, "GrabButton", nullptr, nullptr, "bbsisbbiibbs", "", exactSize(24), Route::kEveryServer},
    {X_UngrabButton, "UngrabButton", nullptr, nullptr, "bbsis", "", exactSize(12), Route::kEveryServer},
    {X_ChangeActivePointerGrab, "ChangeActivePointerGrab", nullptr, nullptr, "bbsiis", "", exactSize(16), Route::kEveryServer},
    {X_GrabKeyboard, "GrabKeyboard", nullptr, nullptr, "bbsiibbs", "bbsi", exactSize(16), Route::kInputHead},
    {X_UngrabKeyboard, "UngrabKeyboard", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryServer},
    {X_GrabKey, "GrabKey", nullptr, nullptr, "bbsisbbb", "", exactSize(16), Route::kEveryServer},
    {X_UngrabKey, "UngrabKey", nullptr, nullptr, "bbsis", "", exactSize(12), Route::kEveryServer},
    {X_AllowEvents, "AllowEvents", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kPointerHead},
    {X_GrabServer, "GrabServer", nullptr, nullptr, "bbs", "", exactSize(4), Route::kLocal},
    {X_UngrabServer, "UngrabServer", nullptr, nullptr, "bbs", "", exactSize(4), Route::kLocal},
    {X_QueryPointer, "QueryPointer", nullptr, nullptr, "bbsi", "bbsiiisssss", exactSize(8), Route::kPointerHead},
    {X_GetMotionEvents, "GetMotionEvents", nullptr, nullptr, "bbsiii", "bbsiiiiiii[iss]", exactSize(16), Route::kPointerHead},
    {X_TranslateCoords, "TranslateCoordinates", nullptr, nullptr, "bbsiiss", "bbsiiss", exactSize(16), Route::kMainHead},
    {X_WarpPointer, "WarpPointer", nullptr, nullptr, "bbsiissssss", "", exactSize(24), Route::kPointerHead},
    {X_SetInputFocus, "SetInputFocus", nullptr, nullptr, "bbsii", "", exactSize(12), Route::kEveryServer},
    {X_GetInputFocus, "GetInputFocus", ProcGetInputFocus, ReplyGetInputFocus, "bbs", "bbsii", exactSize(4), Route::kInputHead},
    {X_QueryKeymap, "QueryKeymap", nullptr, nullptr, "bbs", "bbsi", exactSize(4), Route::kInputHead},
};
// clang-format on

}  // namespace

const RowTable kInputRows = {kRows, rowCount(kRows)};

}  // namespace palvon
