// Rows of the colormap and colour requests (opcodes 78 to 92).
#include <X11/Xproto.h>

#include "Proxy/dispatch/rows.h"
#include "Proxy/requests/colormaps.h"

namespace palvon {

namespace {

// clang-format off
constexpr RequestRow kRows[] = {
    {X_CreateColormap, "CreateColormap", ProcCreateColormap, nullptr, "bbsiii", "", exactSize(16), Route::kEveryHead},
    {X_FreeColormap, "FreeColormap", ProcFreeColormap, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_CopyColormapAndFree, "CopyColormapAndFree", ProcCopyColormapAndFree, nullptr, "bbsii", "", exactSize(12), Route::kEveryHead},
    {X_InstallColormap, "InstallColormap", ProcInstallColormap, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_UninstallColormap, "UninstallColormap", ProcUninstallColormap, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
    {X_ListInstalledColormaps, "ListInstalledColormaps", ProcListInstalledColormaps, ReplyListInstalledColormaps, "bbsi", "bbsissiiiiiI", exactSize(8), Route::kColorHead},
    {X_AllocColor, "AllocColor", ProcAllocColor, ReplyAllocColor, "bbsisss", "bbsissssi", exactSize(16), Route::kColorHead},
    {X_AllocNamedColor, "AllocNamedColor", ProcAllocNamedColor, ReplyAllocNamedColor, "bbsis", "bbsiissssss", countedSize(12, 8, 2, 8), Route::kColorHead},
    {X_AllocColorCells, "AllocColorCells", ProcAllocColorCells, ReplyAllocColorCells, "bbsiss", "bbsissiiiiiI", exactSize(12), Route::kColorHead},
    {X_AllocColorPlanes, "AllocColorPlanes", ProcAllocColorPlanes, ReplyAllocColorPlanes, "bbsissss", "bbsissiiiiiI", exactSize(16), Route::kColorHead},
    {X_FreeColors, "FreeColors", ProcFreeColors, nullptr, "bbsiiI", "", listSize(12, 4), Route::kColorHead},
    {X_StoreColors, "StoreColors", ProcStoreColors, nullptr, "bbsi[isssbb]", "", listSize(8, 12), Route::kColorHead},
    {X_StoreNamedColor, "StoreNamedColor", ProcStoreNamedColor, nullptr, "bbsiis", "", countedSize(16, 12, 2, 8), Route::kColorHead},
    {X_QueryColors, "QueryColors", ProcQueryColors, nullptr, "bbsiI", "bbsissiiiiiS", listSize(8, 4), Route::kColorHead},
    {X_LookupColor, "LookupColor", ProcLookupColor, nullptr, "bbsis", "bbsissssss", countedSize(12, 8, 2, 8), Route::kColorHead},
};
// clang-format on

}  // namespace

const RowTable kColorRows = {kRows, rowCount(kRows)};

}  // namespace palvon
