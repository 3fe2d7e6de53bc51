// Rows of the colormap and colour requests (opcodes 78 to 92).
#include <X11/Xproto.h>

#include "Proxy/rows.h"

namespace palvon {

namespace {

// clang-format off
constexpr RequestRow kRows[] = {
    {X_CreateColormap, "CreateColormap", nullptr, nullptr, "bbsiii", "", exactSize(16), Route::kEveryHead},
    {X_FreeColormap, "FreeColormap", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_CopyColormapAndFree, "CopyColormapAndFree", nullptr, nullptr, "bbsii", "", exactSize(12), Route::kEveryHead},
    {X_InstallColormap, "InstallColormap", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_UninstallColormap, "UninstallColormap", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_ListInstalledColormaps, "ListInstalledColormaps", nullptr, nullptr, "bbsi", "bbsissiiiiiI", exactSize(8), Route::kColorHead},
    {X_AllocColor, "AllocColor", nullptr, nullptr, "bbsisss", "bbsissssi", exactSize(16), Route::kColorHead},
    {X_AllocNamedColor, "AllocNamedColor", nullptr, nullptr, "bbsis", "bbsiissssss", countedSize(12, 8, 2, 8), Route::kColorHead},
    {X_AllocColorCells, "AllocColorCells", nullptr, nullptr, "bbsiss", "bbsissiiiiiI", exactSize(12), Route::kColorHead},
    {X_AllocColorPlanes, "AllocColorPlanes", nullptr, nullptr, "bbsissss", "bbsissiiiiiI", exactSize(16), Route::kColorHead},
    {X_FreeColors, "FreeColors", nullptr, nullptr, "bbsiiI", "", listSize(12, 4), Route::kColorHead},
    {X_StoreColors, "StoreColors", nullptr, nullptr, "bbsi[isssbb]", "", listSize(8, 12), Route::kColorHead},
    {X_StoreNamedColor, "StoreNamedColor", nullptr, nullptr, "bbsiis", "", countedSize(16, 12, 2, 8), Route::kColorHead},
    {X_QueryColors, "QueryColors", nullptr, nullptr, "bbsiI", "bbsissiiiiiS", listSize(8, 4), Route::kColorHead},
    {X_LookupColor, "LookupColor", nullptr, nullptr, "bbsis", "bbsissssss", countedSize(12, 8, 2, 8), Route::kColorHead},
};
// clang-format on

}  // namespace

const RowTable kColorRows = {kRows, rowCount(kRows)};

}  // namespace palvon
