// Rows of the font and pixmap requests (opcodes 45 to 54).
#include <X11/Xproto.h>

#include "Proxy/rows.h"
#include "Proxy/serverqueries.h"

namespace palvon {

namespace {

// clang-format off
constexpr RequestRow kRows[] = {
    {X_OpenFont, "OpenFont", nullptr, nullptr, "bbsis", "", countedSize(12, 8, 2, 8), Route::kNone},
    {X_CloseFont, "CloseFont", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kNone},
    {X_QueryFont, "QueryFont", nullptr, nullptr, "bbsi", "H36", exactSize(8), Route::kFontHead},
    // The string is of byte pairs, which are not swapped.
    {X_QueryTextExtents, "QueryTextExtents", nullptr, nullptr, "bbsi", "bbsissssiii", atLeastSize(8), Route::kFontHead},
    {X_ListFonts, "ListFonts", nullptr, nullptr, "bbsss", "bbsis", countedSize(8, 6, 2, 8), Route::kFontHead},
    {X_ListFontsWithInfo, "ListFontsWithInfo", nullptr, nullptr, "bbsss", "H35", countedSize(8, 6, 2, 8), Route::kFontHead},
    {X_SetFontPath, "SetFontPath", nullptr, nullptr, "bbss", "", atLeastSize(8), Route::kNone},
    {X_GetFontPath, "GetFontPath", ProcForwardQuery, nullptr, "bbs", "bbsis", exactSize(4), Route::kFontHead},
    {X_CreatePixmap, "CreatePixmap", nullptr, nullptr, "bbsiiss", "", exactSize(16), Route::kNone},
    {X_FreePixmap, "FreePixmap", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kLocal},
};
// clang-format on

}  // namespace

const RowTable kFontRows = {kRows, rowCount(kRows)};

}  // namespace palvon
