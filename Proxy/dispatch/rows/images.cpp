// Rows of the image requests (opcodes 72 and 73). Image data is in the
// image byte order of the set-up, never swapped by a layout.
#include <X11/Xproto.h>

#include "Proxy/dispatch/rows.h"
#include "Proxy/requests/images.h"

namespace palvon {

namespace {

// clang-format off
constexpr RequestRow kRows[] = {
    {X_PutImage, "PutImage", ProcPutImage, nullptr, "bbsiissssbb", "", atLeastSize(24), Route::kEveryHead},
    {X_GetImage, "GetImage", ProcGetImage, ReplyGetImage, "bbsissssi", "bbsii", exactSize(20), Route::kMainHead},
};
// clang-format on

}  // namespace

const RowTable kImageRows = {kRows, rowCount(kRows)};

}  // namespace palvon
