// Rows of the window requests (opcodes 1 to 15).
#include <X11/Xproto.h>

#include "Proxy/dispatch/rows.h"
#include "Proxy/requests/windows.h"

namespace palvon {

namespace {

// clang-format off
constexpr RequestRow kRows[] = {
    {X_CreateWindow, "CreateWindow", ProcCreateWindow, nullptr, "bbsiissssssiiI", "", maskSize(32, 28, 4), Route::kEveryHead},
    {X_ChangeWindowAttributes, "ChangeWindowAttributes", ProcChangeWindowAttributes, nullptr, "bbsiiI", "", maskSize(12, 8, 4), Route::kEveryHead},
    {X_GetWindowAttributes, "GetWindowAttributes", ProcGetWindowAttributes, ReplyGetWindowAttributes, "bbsi", "bbsiisbbiibbbbiiiss", exactSize(8), Route::kMainHead},
    {X_DestroyWindow, "DestroyWindow", ProcDestroyWindow, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_DestroySubwindows, "DestroySubwindows", ProcDestroySubwindows, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_ChangeSaveSet, "ChangeSaveSet", ProcChangeSaveSet, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_ReparentWindow, "ReparentWindow", ProcReparentWindow, nullptr, "bbsiiss", "", exactSize(16), Route::kEveryHead},
    {X_MapWindow, "MapWindow", ProcMapWindow, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_MapSubwindows, "MapSubwindows", ProcMapSubwindows, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_UnmapWindow, "UnmapWindow", ProcUnmapWindow, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_UnmapSubwindows, "UnmapSubwindows", ProcUnmapSubwindows, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_ConfigureWindow, "ConfigureWindow", ProcConfigureWindow, nullptr, "bbsissI", "", maskSize(12, 8, 2), Route::kEveryHead},
    {X_CirculateWindow, "CirculateWindow", ProcCirculateWindow, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_GetGeometry, "GetGeometry", ProcGetGeometry, ReplyGetGeometry, "bbsi", "bbsiisssss", exactSize(8), Route::kMainHead},
    {X_QueryTree, "QueryTree", ProcQueryTree, ReplyQueryTree, "bbsi", "bbsiiissiiiI", exactSize(8), Route::kMainHead},
};
// clang-format on

}  // namespace

const RowTable kWindowRows = {kRows, rowCount(kRows)};

}  // namespace palvon
