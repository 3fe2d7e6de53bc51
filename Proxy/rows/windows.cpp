// Rows of the window requests (opcodes 1 to 15).
#include <X11/Xproto.h>

#include "Proxy/rows.h"

namespace palvon {

namespace {

// clang-format off
constexpr RequestRow kRows[] = {
    {X_CreateWindow, "CreateWindow", nullptr, nullptr, "bbsiissssssiiI", "", maskSize(32, 28, 4), Route::kEveryHead},
    {X_ChangeWindowAttributes, "ChangeWindowAttributes", nullptr, nullptr, "bbsiiI", "", maskSize(12, 8, 4), Route::kEveryHead},
    {X_GetWindowAttributes, "GetWindowAttributes", nullptr, nullptr, "bbsi", "bbsiisbbiibbbbiiiss", exactSize(8), Route::kMainHead},
    {X_DestroyWindow, "DestroyWindow", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_DestroySubwindows, "DestroySubwindows", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_ChangeSaveSet, "ChangeSaveSet", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_ReparentWindow, "ReparentWindow", nullptr, nullptr, "bbsiiss", "", exactSize(16), Route::kEveryHead},
    {X_MapWindow, "MapWindow", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_MapSubwindows, "MapSubwindows", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_UnmapWindow, "UnmapWindow", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_UnmapSubwindows, "UnmapSubwindows", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_ConfigureWindow, "ConfigureWindow", nullptr, nullptr, "bbsissI", "", maskSize(12, 8, 2), Route::kEveryHead},
    {X_CirculateWindow, "CirculateWindow", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_GetGeometry, "GetGeometry", nullptr, nullptr, "bbsi", "bbsiisssss", exactSize(8), Route::kMainHead},
    {X_QueryTree, "QueryTree", nullptr, nullptr, "bbsi", "bbsiiissiiiI", exactSize(8), Route::kMainHead},
};
// clang-format on

}  // namespace

const RowTable kWindowRows = {kRows, rowCount(kRows)};

}  // namespace palvon
