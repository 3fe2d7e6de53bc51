// Rows of the font and pixmap requests (opcodes 45 to 54).
#include <X11/Xproto.h>

#include "Proxy/dispatch/rows.h"
#include "Proxy/requests/fonts.h"

namespace palvon {

namespace {

// clang-format off
constexpr RequestRow kRows[] = {
    {X_OpenFont, "OpenFont", ProcOpenFont, nullptr, "bbsis", "", countedSize(12, 8, 2, 8), Route::kEveryScreen},
    {X_CloseFont, "CloseFont", ProcCloseFont, nullptr, "bbsi", "", exactSize(8), Route::kEveryScreen},
    {X_QueryFont, "QueryFont", ProcQueryFont, nullptr, "bbsi", "H36", exactSize(8), Route::kFontHead},
    // The string is of byte pairs, which are not swapped.
    {X_QueryTextExtents, "QueryTextExtents", ProcQueryTextExtents, nullptr, "bbsi", "bbsissssiii", atLeastSize(8), Route::kFontHead},
    {X_ListFonts, "ListFonts", ProcListFonts, nullptr, "bbsss", "bbsis", countedSize(8, 6, 2, 8), Route::kFontHead},
    {X_ListFontsWithInfo, "ListFontsWithInfo", ProcListFontsWithInfo, nullptr, "bbsss", "H35", countedSize(8, 6, 2, 8), Route::kFontHead},
    {X_SetFontPath, "SetFontPath", ProcSetFontPath, nullptr, "bbss", "", atLeastSize(8), Route::kEveryServer},
    {X_GetFontPath, "GetFontPath", ProcGetFontPath, nullptr, "bbs", "bbsis", exactSize(4), Route::kFontHead},
    {X_CreatePixmap, "CreatePixmap", ProcCreatePixmap, nullptr, "bbsiiss", "", exactSize(16), Route::kEveryHead},
    {X_FreePixmap, "FreePixmap", ProcFreePixmap, nullptr, "bbsi", "", exactSize(8), Route::kLocal},
};
// clang-format on

}  // namespace

const RowTable kFontRows = {kRows, rowCount(kRows)};

}  // namespace palvon
